// Parsing for the fast path; see fastpath_parse.h.  No allocation: the
// program must not pull in libstdc++ (start-up time).
#include "fastpath_parse.h"

#include <cstdint>

#include "host_rule.h"

namespace fastpath {
namespace {

bool in(unsigned char c, unsigned char lo, unsigned char hi) { return c >= lo && c <= hi; }

// s[pos, pos + len) clipped to s, without string_view::substr's throwing
// check (which would link libstdc++ into the program).
std::string_view part(std::string_view s, std::size_t pos, std::size_t len = std::string_view::npos) {
    if (pos > s.size()) pos = s.size();
    return {s.data() + pos, len < s.size() - pos ? len : s.size() - pos};
}

// Code point at s[i] of valid UTF-8, with its length in *len.
char32_t decode(std::string_view s, std::size_t i, std::size_t *len) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    if (b(0) < 0x80) return *len = 1, b(0);
    if (b(0) < 0xE0) return *len = 2, char32_t(b(0) & 0x1F) << 6 | (b(1) & 0x3F);
    if (b(0) < 0xF0) return *len = 3, char32_t(b(0) & 0x0F) << 12 | char32_t(b(1) & 0x3F) << 6 | (b(2) & 0x3F);
    return *len = 4,
           char32_t(b(0) & 0x07) << 18 | char32_t(b(1) & 0x3F) << 12 | char32_t(b(2) & 0x3F) << 6 | (b(3) & 0x3F);
}

// Python's str.isspace(): Unicode White_Space plus the four ASCII
// information separators.
bool is_space(char32_t c) {
    switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x1C: case 0x1D: case 0x1E: case 0x1F:
    case 0x20: case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F:
    case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

std::size_t append_utf8(char32_t c, char *out) {
    if (c < 0x80) return out[0] = char(c), 1;
    if (c < 0x800) return out[0] = char(0xC0 | c >> 6), out[1] = char(0x80 | (c & 0x3F)), 2;
    if (c < 0x10000) {
        out[0] = char(0xE0 | c >> 12), out[1] = char(0x80 | (c >> 6 & 0x3F)), out[2] = char(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = char(0xF0 | c >> 18), out[1] = char(0x80 | (c >> 12 & 0x3F));
    out[2] = char(0x80 | (c >> 6 & 0x3F)), out[3] = char(0x80 | (c & 0x3F));
    return 4;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits at s[i]; -1 when they are not all there.
long hex4(std::string_view s, std::size_t i) {
    if (i + 4 > s.size()) return -1;
    long v = 0;
    for (std::size_t k = 0; k < 4; ++k) {
        int h = hex_value(s[i + k]);
        if (h < 0) return -1;
        v = v << 4 | h;
    }
    return v;
}

// The text of a JSON string body (between the quotes, already checked by
// the reader) as Python's scanner builds it: a high surrogate escape joins
// a directly following low one.  false on overflow or a lone surrogate,
// which no answer of ours may contain.
bool unescape(std::string_view raw, char *out, std::size_t cap, std::size_t *size) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < raw.size();) {
        if (n + 4 > cap) return false;
        if (raw[i] != '\\') {
            out[n++] = raw[i++];
            continue;
        }
        char e = raw[i + 1];
        i += 2;
        if (e != 'u') {
            switch (e) {
            case 'b': out[n++] = '\b'; break;
            case 'f': out[n++] = '\f'; break;
            case 'n': out[n++] = '\n'; break;
            case 'r': out[n++] = '\r'; break;
            case 't': out[n++] = '\t'; break;
            default: out[n++] = e;  // " \ /
            }
            continue;
        }
        char32_t c = char32_t(hex4(raw, i));
        i += 4;
        if (c >= 0xD800 && c <= 0xDBFF && i + 6 <= raw.size() && raw[i] == '\\' && raw[i + 1] == 'u') {
            long low = hex4(raw, i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + char32_t(low - 0xDC00);
                i += 6;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) return false;
        n += append_utf8(c, out + n);
    }
    *size = n;
    return true;
}

// A strict JSON reader for the grammar json.loads accepts, minus what it
// does not need to be sure of: NaN and Infinity, integers long enough to
// meet Python's digit limit, deep nesting.  Whitespace is " \t\n\r" only,
// as in Python (the text layer's newline translation turns CR into LF,
// which changes nothing here).
class Reader {
public:
    explicit Reader(std::string_view s) : s_(s) {}

    // The document: one object, only whitespace around it.  Records the
    // top-level github_token members.
    bool document() {
        space();
        if (!at('{') || !object(true)) return false;
        space();
        return i_ == s_.size();
    }

    int token_members = 0;
    std::string_view token_value;  // the JSON text of the last one

private:
    static constexpr int max_depth = 64;
    static constexpr std::size_t max_int_digits = 1000;  // Python refuses more than 4300

    std::string_view s_;
    std::size_t i_ = 0;
    int depth_ = 0;

    bool at(char c) const { return i_ < s_.size() && s_[i_] == c; }
    bool digit() const { return i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9'; }

    void space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
    }

    bool value() {
        if (i_ >= s_.size()) return false;
        switch (s_[i_]) {
        case '{': return object(false);
        case '[': return array();
        case '"': { std::string_view body; return string(&body); }
        case 't': return word("true");
        case 'f': return word("false");
        case 'n': return word("null");
        default: return number();
        }
    }

    bool word(std::string_view w) {
        if (part(s_, i_, w.size()) != w) return false;
        i_ += w.size();
        return true;
    }

    bool number() {
        if (at('-')) ++i_;
        if (at('0')) {
            ++i_;
        } else {
            std::size_t start = i_;
            while (digit()) ++i_;
            if (i_ == start || i_ - start > max_int_digits) return false;
        }
        if (at('.')) {
            ++i_;
            if (!digit()) return false;
            while (digit()) ++i_;
        }
        if (at('e') || at('E')) {
            ++i_;
            if (at('+') || at('-')) ++i_;
            if (!digit()) return false;
            while (digit()) ++i_;
        }
        return true;
    }

    // At a quote: the string's body, escapes checked but not decoded.
    bool string(std::string_view *body) {
        std::size_t start = ++i_;
        while (i_ < s_.size()) {
            unsigned char c = static_cast<unsigned char>(s_[i_]);
            if (c == '"') {
                *body = part(s_, start, i_ - start);
                ++i_;
                return true;
            }
            if (c < 0x20) return false;
            if (c != '\\') {
                ++i_;
                continue;
            }
            if (i_ + 1 >= s_.size()) return false;
            char e = s_[i_ + 1];
            if (e == 'u') {
                if (hex4(s_, i_ + 2) < 0) return false;
                i_ += 6;
            } else if (e == '"' || e == '\\' || e == '/' || e == 'b' || e == 'f' || e == 'n' || e == 'r' ||
                       e == 't') {
                i_ += 2;
            } else {
                return false;
            }
        }
        return false;
    }

    bool array() {
        if (++depth_ > max_depth) return false;
        ++i_;
        space();
        if (at(']')) return ++i_, --depth_, true;
        for (;;) {
            if (!value()) return false;
            space();
            if (at(']')) return ++i_, --depth_, true;
            if (!at(',')) return false;
            ++i_;
            space();
        }
    }

    static bool is_token_key(std::string_view body) {
        constexpr std::string_view name = "github_token";
        if (body.size() > 6 * name.size()) return false;  // each character at most one \uXXXX
        char text[6 * name.size()];
        std::size_t n;
        return unescape(body, text, sizeof text, &n) && std::string_view(text, n) == name;
    }

    bool object(bool top) {
        if (++depth_ > max_depth) return false;
        ++i_;
        space();
        if (at('}')) return ++i_, --depth_, true;
        for (;;) {
            std::string_view key;
            if (!at('"') || !string(&key)) return false;
            space();
            if (!at(':')) return false;
            ++i_;
            space();
            std::size_t start = i_;
            if (!value()) return false;
            if (top && is_token_key(key)) {
                ++token_members;
                token_value = part(s_, start, i_ - start);
            }
            space();
            if (at('}')) return ++i_, --depth_, true;
            if (!at(',')) return false;
            ++i_;
            space();
        }
    }
};

}  // namespace

bool valid_utf8(std::string_view s) {
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
        const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
        unsigned char c = b(0);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
        if (in(c, 0xC2, 0xDF)) len = 2;
        else if (c == 0xE0) len = 3, lo = 0xA0;
        else if (c == 0xED) len = 3, hi = 0x9F;  // no surrogates
        else if (in(c, 0xE1, 0xEF)) len = 3;
        else if (c == 0xF0) len = 4, lo = 0x90;
        else if (c == 0xF4) len = 4, hi = 0x8F;  // nothing above U+10FFFF
        else if (in(c, 0xF1, 0xF3)) len = 4;
        else return false;
        if (i + len > n || !in(b(1), lo, hi)) return false;
        for (std::size_t k = 2; k < len; ++k)
            if (!in(b(k), 0x80, 0xBF)) return false;
        i += len;
    }
    return true;
}

std::string_view strip(std::string_view s) {
    std::size_t len;
    while (!s.empty() && is_space(decode(s, 0, &len))) s.remove_prefix(len);
    while (!s.empty()) {
        std::size_t start = s.size() - 1;
        while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
        if (!is_space(decode(s, start, &len))) break;
        s.remove_suffix(s.size() - start);
    }
    return s;
}

Parse parse_request(std::string_view chunk, bool eof, Request &out) {
    out = Request{};
    // Python decodes the whole chunk, the bytes after the blank line too.
    if (chunk.size() > stdin_chunk || !valid_utf8(chunk)) return Parse::unsure;
    std::size_t pos = 0;
    while (pos < chunk.size()) {
        std::size_t nl = chunk.find('\n', pos);
        if (nl == std::string_view::npos && !eof) return Parse::unsure;  // the module reads on
        std::string_view line = part(chunk, pos, nl == std::string_view::npos ? nl : nl - pos);
        if (line.empty()) return Parse::complete;
        if (std::size_t eq = line.find('='); eq != std::string_view::npos) {
            std::string_view key = strip(part(line, 0, eq)), value = part(line, eq + 1);
            if (key == "host") out.has_host = true, out.host = value;
            else if (key == "protocol") out.has_protocol = true, out.protocol = value;
        }
        if (nl == std::string_view::npos) break;
        pos = nl + 1;
    }
    return eof ? Parse::complete : Parse::unsure;
}

Host classify_host(std::string_view host) {
    for (char c : host)
        if (!in(static_cast<unsigned char>(c), 0x21, 0x7E)) return Host::unsure;
    // On printable ASCII without spaces strip() changes nothing, and the
    // module's rule (host_rule.h) applies to the bytes as they are: without
    // one ":<digits>", the name must be github.com or end in .github.com.
    const auto at = [&](std::size_t i) -> char32_t { return static_cast<unsigned char>(host[i]); };
    const std::size_t end = host_rule::name_end(at, host.size());
    const bool port = end < host.size();
    if (!host_rule::names_github(at, end)) return Host::other;

    // The module answers if the name holds host characters only; be sure
    // that a stricter host rule would too: DNS labels of letters, digits and
    // '-', and a port from 1 to 65535.
    if (port) {
        std::string_view p = part(host, end + 1);
        if (p.size() > 5 || p[0] == '0') return Host::unsure;
        long v = 0;
        for (char c : p) v = v * 10 + (c - '0');
        if (v > 65535) return Host::unsure;
    }
    std::size_t label = 0;
    for (char c : part(host, 0, end)) {
        if (c == '.') {
            if (label == 0) return Host::unsure;
            label = 0;
        } else if (host_rule::is_host_char(static_cast<unsigned char>(c))) {
            ++label;
        } else {
            return Host::unsure;
        }
    }
    return Host::github;
}

Token read_token(std::string_view doc, char *out, std::size_t cap, std::size_t *size) {
    if (!valid_utf8(doc)) return Token::unsure;
    Reader reader(doc);
    if (!reader.document() || reader.token_members > 1) return Token::unsure;
    if (reader.token_members == 0) return Token::none;
    std::string_view v = reader.token_value;
    if (v == "null" || v == "false") return Token::none;
    if (v[0] != '"') return Token::unsure;  // true, numbers, lists, objects: printed through format()
    if (!unescape(part(v, 1, v.size() - 2), out, cap, size)) return Token::unsure;
    if (*size == 0) return Token::none;
    // Line breaks and NUL must never reach git; other controls are odd
    // enough to leave to the module as well.
    std::string_view text(out, *size);
    for (std::size_t i = 0, len; i < text.size(); i += len) {
        char32_t c = decode(text, i, &len);
        if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029) return Token::unsure;
    }
    return Token::text;
}

}  // namespace fastpath
