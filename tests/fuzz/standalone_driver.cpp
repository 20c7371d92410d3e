// Runs a libFuzzer target without libFuzzer: random inputs built from
// pieces that matter to the target (line breaks, multi-byte characters,
// invalid and cut-off sequences, long plain runs), for compilers and CPUs
// without libFuzzer, e.g. a cross build run under qemu:
//
//   aarch64-linux-gnu-g++ -std=c++20 -O1 tests/fuzz/standalone_driver.cpp tests/fuzz/fuzz_log_scanner.cpp
//       routes/opsdeck/scanner*.cpp -o fuzz-arm64 && qemu-aarch64 -L /usr/aarch64-linux-gnu ./fuzz-arm64 20000
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size);

int main(int argc, char **argv) {
    const long runs = argc > 1 ? std::atol(argv[1]) : 10000;
    const std::vector<std::string> pieces = {
        "a", "line", " ", "\r", "\n", "\r\n", "\r\xff\n", "\n\r", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
        "\xff", "\x80", "\xc3", "\xe2\x82", "\xf0\x9f\x98", "\xed\xa0\x80", "\r\xe2\x82\n", "\r\xf0\x9f\n",
        std::string(61, 'x'), std::string(4090, 'y'), std::string(1, '\0'), std::string(300, '\n'),
    };
    std::mt19937_64 rng(argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 13);
    for (long r = 0; r < runs; ++r) {
        std::string input;
        for (int header = 0; header < 3; ++header) input.push_back(static_cast<char>(rng()));
        const std::size_t count = rng() % (r % 10 == 0 ? 400 : 40);
        for (std::size_t i = 0; i < count; ++i) input += pieces[rng() % pieces.size()];
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.data()), input.size());
    }
    std::printf("%ld inputs, no difference\n", runs);
    return 0;
}
