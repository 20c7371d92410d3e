// libFuzzer target for the log scanner behind POST /api/server/logs and the
// live stream's reads.
//
// Every input goes through every scanner path this CPU has (scalar, SSE2,
// AVX2 / NEON), read in chunks of a fuzzer-chosen size and counted in up to
// four parts at once, so that CR LF pairs, unfinished sequences and CR +
// dropped bytes + LF fall across chunk, block and part boundaries.  Line count and tail must equal a plain reference:
// decode as UTF-8 dropping invalid bytes (written here independently of the
// scanner's own table), then split at CR LF, CR and LF as universal newlines do.
#include "../../routes/opsdeck/scanner.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

namespace sc = opsdeck::scanner;

// Length of the valid UTF-8 sequence at d[i], or 0 when the byte there is
// dropped (invalid, or an unfinished sequence at the end of the input).
std::size_t valid_sequence(const uint8_t *d, std::size_t i, std::size_t n) {
    const uint8_t b = d[i];
    if (b < 0x80) return 1;
    std::size_t len;
    uint32_t cp;
    if ((b & 0xE0) == 0xC0) len = 2, cp = b & 0x1F;
    else if ((b & 0xF0) == 0xE0) len = 3, cp = b & 0x0F;
    else if ((b & 0xF8) == 0xF0) len = 4, cp = b & 0x07;
    else return 0;
    if (i + len > n) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((d[i + k] & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (d[i + k] & 0x3F);
    }
    static const uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

std::string decode_ignore(const uint8_t *d, std::size_t n) {
    std::string kept;
    for (std::size_t i = 0; i < n;) {
        const std::size_t len = valid_sequence(d, i, n);
        if (len) kept.append(reinterpret_cast<const char *>(d + i), len);
        i += len ? len : 1;
    }
    return kept;
}

std::vector<std::string> reference_lines(const uint8_t *d, std::size_t n) {
    const std::string kept = decode_ignore(d, n);
    std::vector<std::string> lines;
    std::string line;
    for (std::size_t i = 0; i < kept.size(); ++i) {
        const char c = kept[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < kept.size() && kept[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

[[noreturn]] void failure(const sc::Kernels &k, const char *what, std::size_t a, std::size_t b) {
    std::fprintf(stderr, "%s path: %s (%zu, expected %zu)\n", sc::name(k.isa), what, a, b);
    std::abort();
}

void check_path(const sc::Kernels &k, const uint8_t *data, std::size_t n, std::size_t chunk, unsigned parts,
                uint64_t size_hint, const std::vector<std::string> &expected, const std::vector<uint64_t> &firsts) {
    sc::Input in;
    in.data = data;
    in.data_size = n;
    const sc::Count count = sc::count_lines(in, k, chunk, parts, size_hint);
    if (count.size != n) failure(k, "bytes read", count.size, n);
    if (count.lines() != expected.size()) failure(k, "line count", count.lines(), expected.size());
    for (const uint64_t first : firsts) {
        const std::size_t want = first < expected.size() ? expected.size() - first : 0;
        // The tail's lines as ranges of the input, and each bounded (to a
        // small limit here) as the in-memory cut of its reference text.
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
        sc::tail_ranges(in, k, count, first, ranges);
        if (ranges.size() != want) failure(k, "tail ranges", ranges.size(), want);
        for (std::size_t i = 0; i < want; ++i) {
            const auto [a, b] = ranges[i];
            const std::string &line = expected[first + i];
            if (decode_ignore(data + a, static_cast<std::size_t>(b - a)) != line)
                failure(k, "range text differs at", first + i, first + i);
            if (i >= 24) continue;  // each bounded read costs buffers of its own
            const std::size_t limit = 4 + (n + first) % 16;
            sc::BoundedLine bounded;
            sc::bounded_line(in, k, a, limit, nullptr, bounded);
            std::string cut = line;
            std::size_t head, tail;
            const auto *text = reinterpret_cast<const unsigned char *>(line.data());
            if (sc::cut_points(text, line.size(), limit, head, tail))
                cut = line.substr(0, head) + sc::left_out_marker(tail - head) + line.substr(tail);
            if (bounded.text() != cut) failure(k, "bounded line differs at", first + i, limit);
        }
    }
}

// The live stream's reads, cap bytes at a time, one after the other: taken
// together (each terminator as LF) they are exactly the decoded file; a read
// stopped by the cap with more to come ends at a line break when its bytes
// hold one.
void check_stream_reads(const sc::Kernels &k, const uint8_t *data, std::size_t n, std::size_t cap) {
    sc::Input in;
    in.data = data;
    in.data_size = n;
    std::string joined;
    uint64_t offset = 0;
    for (;;) {
        sc::Pieces read;
        sc::read_pieces(in, k, offset, cap, read);
        if (read.consumed == 0) break;
        if (read.consumed > cap) failure(k, "read beyond the cap", read.consumed, cap);
        const std::size_t stop = static_cast<std::size_t>(offset + read.consumed);
        if (offset + cap < n) {
            bool any_break = false;
            for (std::size_t i = offset; i < offset + cap; ++i) any_break |= data[i] == '\r' || data[i] == '\n';
            if (any_break && data[stop - 1] != '\r' && data[stop - 1] != '\n') failure(k, "capped read ends inside a line", stop, 0);
        }
        for (std::size_t i = 0; i < read.pieces.size(); ++i) {
            if (i) joined += '\n';
            joined.append(reinterpret_cast<const char *>(read.text.data()) + read.pieces[i].first,
                          read.pieces[i].second - read.pieces[i].first);
        }
        offset += read.consumed;
    }
    if (n - offset > 3) failure(k, "bytes left unread", static_cast<std::size_t>(n - offset), 0);
    std::string expected = decode_ignore(data, n);
    for (char &c : expected)
        if (c == '\r') c = '\n';
    if (joined != expected) failure(k, "stream reads differ from the decoded file", joined.size(), expected.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *raw, std::size_t size) {
    if (size < 4) return 0;
    // raw[0]: which lines the tail asks for; raw[1]: chunk size; raw[2]: how
    // many parts are counted at once, and where they are cut (the expected
    // size, from none to twice the real one: a file that grew or shrank
    // since it was measured); then the file.
    const uint8_t *data = raw + 3;
    const std::size_t n = size - 3;
    const std::size_t chunk = raw[1] < 128 ? 1 + raw[1] : raw[1] < 192 ? 4096 + raw[1] : 16385;  // 16385: one chunk
    const unsigned parts = 1 + (raw[2] & 3);
    const uint64_t size_hint = (raw[2] & 0x80) ? n : n * (raw[2] >> 2 & 31) / 16;
    const std::vector<std::string> expected = reference_lines(data, n);
    const uint64_t lines = expected.size();
    const uint64_t want = raw[0] & 15;
    std::vector<uint64_t> firsts = {lines > want ? lines - want : 0, lines, 0};
    if (lines) firsts.push_back((raw[0] >> 4) * lines / 16);

    for (sc::Isa isa : {sc::Isa::scalar, sc::Isa::sse2, sc::Isa::avx2, sc::Isa::neon})
        if (sc::available(isa)) {
            check_path(sc::kernels(isa), data, n, chunk, parts, size_hint, expected, firsts);
            check_stream_reads(sc::kernels(isa), data, n, 4 + raw[1] % 200);
        }
    return 0;
}
