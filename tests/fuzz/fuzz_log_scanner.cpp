// libFuzzer target for the log scanner behind POST /api/server/logs.
//
// The input is split into pieces at fuzzer-chosen points and fed to the
// scanner as reads of a growing file would arrive; the line count and the
// collected tail must equal a plain reference: decode as UTF-8 dropping
// invalid bytes (written here independently of the scanner's own table),
// then split at CR LF, CR and LF as universal newlines do.
#include "../../routes/opsdeck/logs.cpp"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// The frame wants the module's identity; no module is made here.
namespace {
void no_body() {}
}  // namespace
const mf::ModuleInfo mf::this_module = {"fuzz", "fuzz", "fuzz", "", no_body};

namespace {

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

std::vector<std::string> reference_lines(const uint8_t *d, std::size_t n) {
    std::string kept;
    for (std::size_t i = 0; i < n;) {
        std::size_t len = valid_sequence(d, i, n);
        if (len) kept.append(reinterpret_cast<const char *>(d + i), len);
        i += len ? len : 1;
    }
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

// Feeds `data` in pieces cut at `cuts`, carrying unconsumed bytes as scan() does.
void feed_in_pieces(opsdeck::Scanner &scanner, const uint8_t *data, std::size_t n,
                    const std::vector<std::size_t> &cuts) {
    std::vector<unsigned char> buf;
    uint64_t pos = 0;
    std::size_t from = 0;
    for (std::size_t k = 0; k <= cuts.size(); ++k) {
        const std::size_t to = k < cuts.size() ? cuts[k] : n;
        buf.insert(buf.end(), data + from, data + to);
        from = to;
        const bool final = k == cuts.size();
        const std::size_t used = scanner.feed(buf.data(), buf.size(), pos, final);
        if (final && used != buf.size()) std::abort();
        pos += used;
        buf.erase(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(used));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *raw, std::size_t size) {
    if (size < 2) return 0;
    // First byte: how many lines the tail asks for; second: cut spacing.
    const std::size_t want = raw[0] % 8;
    const std::size_t spacing = 1 + raw[1] % 97;
    const uint8_t *data = raw + 2;
    const std::size_t n = size - 2;
    std::vector<std::size_t> cuts;
    for (std::size_t c = spacing; c < n; c += spacing) cuts.push_back(c);

    const std::vector<std::string> expected = reference_lines(data, n);

    opsdeck::Scanner counter;
    feed_in_pieces(counter, data, n, cuts);
    if (counter.lines() != expected.size()) {
        std::fprintf(stderr, "line count %llu, expected %zu\n",
                     static_cast<unsigned long long>(counter.lines()), expected.size());
        std::abort();
    }

    const uint64_t first = expected.size() > want ? expected.size() - want : 0;
    std::string text;
    std::vector<std::size_t> ends;
    opsdeck::Scanner tail;
    tail.collect_from = first;
    tail.text = &text;
    tail.ends = &ends;
    feed_in_pieces(tail, data, n, cuts);
    if (first < expected.size() && !tail.at_start) ends.push_back(text.size());
    if (ends.size() != expected.size() - first) std::abort();
    std::size_t begin = 0;
    for (std::size_t i = 0; i < ends.size(); ++i) {
        if (text.compare(begin, ends[i] - begin, expected[first + i]) != 0) {
            std::fprintf(stderr, "line %zu differs\n", static_cast<std::size_t>(first + i));
            std::abort();
        }
        begin = ends[i];
    }
    return 0;
}
