// libFuzzer target for the credential program's fast-path parsers: git's
// request, the host rule and the configuration file's JSON.
//
// The first input byte picks the target and its options; the rest is the
// input.  Each parser is checked against plain references written here
// independently (code-point tables instead of byte ranges, a second JSON
// encoding of every token read), and ASan/UBSan watch every read.
#include "../../scripts/git-credential-zetadesk/fastpath_parse.cpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace fastpath;

#define CHECK(cond)                                                        \
    do {                                                                   \
        if (!(cond)) {                                                     \
            std::fprintf(stderr, "check failed: %s (line %d)\n", #cond, __LINE__); \
            std::abort();                                                  \
        }                                                                  \
    } while (0)

// Decodes to code points, or false where Python's strict decoder fails.
bool reference_decode(std::string_view s, std::vector<char32_t> &out) {
    out.clear();
    for (std::size_t i = 0; i < s.size();) {
        unsigned char b = s[i];
        std::size_t len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
        if (!len || i + len > s.size()) return false;
        char32_t cp = len == 1 ? b : b & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (s[i + k] & 0x3F);
        }
        static const char32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        out.push_back(cp);
        i += len;
    }
    return true;
}

bool reference_space(char32_t c) {
    static const char32_t spaces[] = {0x9,    0xA,    0xB,    0xC,    0xD,    0x1C,   0x1D,   0x1E,
                                      0x1F,   0x20,   0x85,   0xA0,   0x1680, 0x2000, 0x2001, 0x2002,
                                      0x2003, 0x2004, 0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A,
                                      0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    for (char32_t s : spaces)
        if (s == c) return true;
    return false;
}

std::string encode(const std::vector<char32_t> &cps, std::size_t from, std::size_t to) {
    std::string out;
    char buf[4];
    for (std::size_t i = from; i < to; ++i) out.append(buf, append_utf8(cps[i], buf));
    return out;
}

std::string reference_strip(std::string_view s) {
    std::vector<char32_t> cps;
    CHECK(reference_decode(s, cps));
    std::size_t a = 0, b = cps.size();
    while (a < b && reference_space(cps[a])) ++a;
    while (b > a && reference_space(cps[b - 1])) --b;
    return encode(cps, a, b);
}

// _parse_input over a whole decoded text: (found, value) for one key.
struct Found {
    bool has_host = false, has_protocol = false;
    std::string host, protocol;
};

Found reference_parse(std::string_view text) {
    Found f;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::string line(text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos));
        if (line.empty()) break;
        if (std::size_t eq = line.find('='); eq != std::string::npos) {
            std::string key = reference_strip(std::string_view(line).substr(0, eq));
            if (key == "host") f.has_host = true, f.host = line.substr(eq + 1);
            if (key == "protocol") f.has_protocol = true, f.protocol = line.substr(eq + 1);
        }
        if (nl == std::string_view::npos) break;
        pos = nl + 1;
    }
    return f;
}

void check_request(std::string_view chunk, bool eof) {
    std::vector<char32_t> cps;
    const bool valid = reference_decode(chunk, cps);
    CHECK(valid_utf8(chunk) == valid);
    Request r;
    Parse p = parse_request(chunk, eof, r);
    if (!valid) CHECK(p == Parse::unsure);
    if (p != Parse::complete) return;
    // Complete: a blank line, or the end of input with eof.
    CHECK(eof || chunk.rfind("\n\n") != std::string_view::npos || chunk.substr(0, 1) == "\n");
    Found f = reference_parse(chunk);
    CHECK(r.has_host == f.has_host && r.host == f.host);
    CHECK(r.has_protocol == f.has_protocol && r.protocol == f.protocol);
    CHECK(r.host.empty() || (r.host.data() >= chunk.data() && r.host.data() + r.host.size() <= chunk.data() + chunk.size()));

    Host h = classify_host(r.host);
    // The module's rule on the stripped value, drawn up afresh with std::string.
    std::string name = reference_strip(r.host);
    std::size_t colon = name.rfind(':');
    if (colon != std::string::npos && colon + 1 < name.size() &&
        name.find_first_not_of("0123456789", colon + 1) == std::string::npos)
        name.resize(colon);
    for (char &c : name) c = (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
    const bool module_answers = name == "github.com" || name.ends_with(".github.com");
    if (h == Host::other) CHECK(!module_answers);
    if (h == Host::github) {
        CHECK(module_answers);
        CHECK(std::string_view(r.host).find_first_not_of(
                  "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-:") == std::string_view::npos);
        CHECK(r.host.find("..") == std::string_view::npos && r.host.front() != '.');
    }
}

// JSON text of a token, escaped differently from most inputs: every
// non-ASCII code point as \uXXXX (surrogate pairs above the BMP).
std::string reference_json_string(const std::vector<char32_t> &cps) {
    std::string out = "\"";
    char buf[16];
    for (char32_t c : cps) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else if (c < 0x10000) {
            std::snprintf(buf, sizeof buf, "\\u%04x", unsigned(c));
            out += buf;
        } else {
            char32_t v = c - 0x10000;
            std::snprintf(buf, sizeof buf, "\\u%04X\\u%04X", unsigned(0xD800 + (v >> 10)), unsigned(0xDC00 + (v & 0x3FF)));
            out += buf;
        }
    }
    return out + "\"";
}

void check_config(std::string_view doc) {
    static char out[8192], again[8192];
    std::size_t size = 0;
    std::vector<char32_t> cps;
    const bool valid = reference_decode(doc, cps);
    Token t = read_token(doc, out, sizeof out, &size);
    if (!valid) CHECK(t == Token::unsure);
    if (t != Token::text) return;
    CHECK(size > 0 && size <= sizeof out);
    std::vector<char32_t> token;
    CHECK(reference_decode(std::string_view(out, size), token));
    for (char32_t c : token) CHECK(c >= 0x20 && !(c >= 0x7F && c <= 0x9F) && c != 0x2028 && c != 0x2029);
    // The same token written another way reads back the same.
    std::string other = "{\"x\": [1, {\"github_token\": 2}], \"github_token\": " + reference_json_string(token) + "}";
    std::size_t size2 = 0;
    CHECK(read_token(other, again, sizeof again, &size2) == Token::text);
    CHECK(size2 == size && std::memcmp(out, again, size) == 0);
    // And a second member makes it unsure.
    other.insert(1, "\"github\\u005ftoken\": \"\", ");
    CHECK(read_token(other, again, sizeof again, &size2) == Token::unsure);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const uint8_t mode = data[0];
    std::string_view input(reinterpret_cast<const char *>(data + 1), size - 1);
    if (mode & 1) {
        check_config(input);
    } else {
        if (input.size() > stdin_chunk) input = input.substr(0, stdin_chunk);
        check_request(input, mode & 2);
        check_config(input);  // the reader on request-shaped text too
    }
    return 0;
}
