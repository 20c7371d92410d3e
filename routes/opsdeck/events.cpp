// Events of the live log stream.  json.dumps with its default settings
// writes every character outside ASCII as a \u escape, so an event is ASCII
// text; the native escaping below writes the same bytes json.dumps would.
#include "events.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace opsdeck::events {
namespace {

using namespace mf;

constexpr std::string_view event_start = "data: ";
constexpr std::string_view event_end = "\n\n";

#if !ZETADESK_PORTABLE

const char hex_digits[] = "0123456789abcdef";

void escape_unit(std::string &out, uint32_t u) {
    char buf[6] = {'\\', 'u', hex_digits[(u >> 12) & 15], hex_digits[(u >> 8) & 15],
                   hex_digits[(u >> 4) & 15], hex_digits[u & 15]};
    out.append(buf, 6);
}

// One code point as json.dumps writes it with ensure_ascii.
inline void escape_code_point(std::string &out, uint32_t c) {
    if (c >= 0x20 && c <= 0x7e) {
        if (c == '"' || c == '\\') out.push_back('\\');
        out.push_back(static_cast<char>(c));
        return;
    }
    switch (c) {
    case '\n': out.append("\\n"); return;
    case '\r': out.append("\\r"); return;
    case '\t': out.append("\\t"); return;
    case '\b': out.append("\\b"); return;
    case '\f': out.append("\\f"); return;
    default: break;
    }
    if (c >= 0x10000) {
        c -= 0x10000;
        escape_unit(out, 0xd800 | (c >> 10));
        escape_unit(out, 0xdc00 | (c & 0x3ff));
        return;
    }
    escape_unit(out, c);
}

// Bytes that json.dumps writes unchanged.
constexpr auto plain_table = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c <= 0x7e; ++c) t[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    return t;
}();
inline bool plain_ascii(unsigned char c) { return plain_table[c]; }

// Appends the longest run of bytes that need no escape; returns its end.
inline const unsigned char *plain_run(std::string &out, const unsigned char *p, const unsigned char *end) {
    const unsigned char *run = p;
    while (p < end && plain_ascii(*p)) ++p;
    out.append(reinterpret_cast<const char *>(run), static_cast<std::size_t>(p - run));
    return p;
}

void json_string(std::string &out, PyObject *s) {
    out.push_back('"');
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) {
        const unsigned char *p = PyUnicode_1BYTE_DATA(s), *const end = p + n;
        while ((p = plain_run(out, p, end)) < end) escape_code_point(out, *p++);
    } else {
        const int kind = PyUnicode_KIND(s);
        const void *data = PyUnicode_DATA(s);
        for (Py_ssize_t i = 0; i < n; ++i) escape_code_point(out, PyUnicode_READ(kind, data, i));
    }
    out.push_back('"');
}

void json_utf8(std::string &out, const unsigned char *p, const unsigned char *end) {
    out.push_back('"');
    while ((p = plain_run(out, p, end)) < end) {
        const int n = utf8_length(*p);
        escape_code_point(out, decode_utf8(p, n));
        p += n;
    }
    out.push_back('"');
}

// A value as json.dumps writes it; false for types left to json.dumps itself.
bool json_value(std::string &out, PyObject *v) {
    if (v == Py_None) {
        out.append("null");
    } else if (v == Py_True) {
        out.append("true");
    } else if (v == Py_False) {
        out.append("false");
    } else if (PyUnicode_Check(v)) {
        json_string(out, v);
    } else if (PyLong_Check(v)) {
        out.append(utf8(Ref::steal(PyLong_Type.tp_repr(v)).get()));
    } else if (PyFloat_Check(v)) {
        const double d = PyFloat_AS_DOUBLE(v);
        if (std::isnan(d))
            out.append("NaN");
        else if (std::isinf(d))
            out.append(d > 0 ? "Infinity" : "-Infinity");
        else
            out.append(utf8(Ref::steal(PyFloat_Type.tp_repr(v)).get()));
    } else {
        return false;
    }
    return true;
}

constexpr std::string_view event_head = "data: {\"type\": \"log\", \"text\": ";
constexpr std::string_view event_middle = ", \"time\": ";
constexpr std::string_view event_tail = "}\n\n";

// datetime.now(timezone.utc).isoformat(); the date and time of day are
// formatted once per second (callers hold the GIL).
void utc_now_iso(std::string &out) {
    static time_t cached_second = -1;
    static char prefix[32];
    static std::size_t prefix_length = 0;
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    if (ts.tv_sec != cached_second) {
        const time_t secs = ts.tv_sec;
        tm t;
        gmtime_r(&secs, &t);
        const int n = std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02dT%02d:%02d:%02d", t.tm_year + 1900,
                                    t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
        prefix_length = static_cast<std::size_t>(n);
        cached_second = ts.tv_sec;
    }
    out.append(prefix, prefix_length);
    long micros = ts.tv_nsec / 1000;
    if (micros) {
        char fraction[7];
        fraction[0] = '.';
        for (int i = 6; i >= 1; --i, micros /= 10) fraction[i] = static_cast<char>('0' + micros % 10);
        out.append(fraction, 7);
    }
    out.append("+00:00");
}

// A file line's event with the current time; `escape` writes the line.
template <class F>
void stamped_line(std::string &out, F &&escape) {
    out.append(event_head);
    escape(out);
    out.append(event_middle);
    out.push_back('"');
    utc_now_iso(out);
    out.push_back('"');
    out.append(event_tail);
}

#endif  // !ZETADESK_PORTABLE

// The current time as the stream's steps write it.
Ref now_text(const Builders &how) {
#if !ZETADESK_PORTABLE
    if (how.native_clock) {
        std::string text;
        utc_now_iso(text);
        return str(text);
    }
#else
    (void)how;
#endif
    return utc_now_isoformat();
}

}  // namespace

void entry_event(Text &events, PyObject *text, PyObject *time, const Builders &how) {
#if !ZETADESK_PORTABLE
    if (how.native_json) {
        std::string &out = events.bytes;
        const std::size_t mark = out.size();
        out.append(event_head);
        if (json_value(out, text)) {
            out.append(event_middle);
            if (json_value(out, time)) {
                out.append(event_tail);
                return;
            }
        }
        out.resize(mark);
    }
#else
    (void)how;
#endif
    // f"data: {json.dumps({'type': 'log', 'text': text, 'time': time})}\n\n"
    Ref dumps = attr(global("json"_id), "dumps"_id);
    Ref object = dict({{"type"_id, "log"_id}, {"text"_id, text}, {"time"_id, time}});
    Ref dumped = Ref::steal(PyObject_Format(call(dumps, object).get(), nullptr));
    std::string &out = events.bytes;
    out.append(event_start);
    out.append(utf8(dumped.get()));
    out.append(event_end);
    if (!PyUnicode_IS_ASCII(dumped.get())) events.ascii = false;
}

void line_event(Text &events, PyObject *line, const Builders &how) {
#if !ZETADESK_PORTABLE
    if (how.native_json && how.native_clock && PyUnicode_Check(line)) {
        stamped_line(events.bytes, [&](std::string &out) { json_string(out, line); });
        return;
    }
#endif
    entry_event(events, line, now_text(how).get(), how);
}

void line_event(Text &events, std::string_view line, const Builders &how) {
#if !ZETADESK_PORTABLE
    if (how.native_json && how.native_clock) {
        const auto *p = reinterpret_cast<const unsigned char *>(line.data());
        stamped_line(events.bytes, [&](std::string &out) { json_utf8(out, p, p + line.size()); });
        return;
    }
#endif
    line_event(events, mf::str(line).get(), how);
}

#if !ZETADESK_PORTABLE

namespace {

// A piece without surrounding whitespace, as str.strip() leaves it.
std::string_view strip(std::string_view piece) {
    const auto *p = reinterpret_cast<const unsigned char *>(piece.data());
    const unsigned char *end = p + piece.size();
    while (p < end) {
        const int n = utf8_length(*p);
        if (!Py_UNICODE_ISSPACE(decode_utf8(p, n))) break;
        p += n;
    }
    while (end > p) {
        const unsigned char *q = end - 1;
        while (q > p && (*q & 0xc0) == 0x80) --q;
        if (!Py_UNICODE_ISSPACE(decode_utf8(q, utf8_length(*q)))) break;
        end = q;
    }
    return {reinterpret_cast<const char *>(p), static_cast<std::size_t>(end - p)};
}

// The stripped line as it is sent: cut, into `scratch`, when longer than
// scanner::kLineLimit.
std::string_view bounded(std::string_view line, std::string &scratch) {
    std::size_t head, tail;
    const auto *p = reinterpret_cast<const unsigned char *>(line.data());
    if (!scanner::cut_points(p, line.size(), scanner::kLineLimit, head, tail)) return line;
    scratch.assign(line.substr(0, head));
    scratch += scanner::left_out_marker(line.size() - head - (line.size() - tail));
    scratch.append(line.substr(tail));
    return scratch;
}

}  // namespace

std::size_t piece_events(Text &out, const char *text, std::span<const Piece> pieces, const Builders &how,
                         std::size_t limit) {
    auto piece = [&](std::size_t i) {
        return std::string_view(text + pieces[i].first, pieces[i].second - pieces[i].first);
    };
    std::size_t used = 0;
    if (how.native_json && how.native_clock) {
        // The usual case as one loop the compiler sees whole: no call and
        // no check of `how` per line.
        std::string &bytes = out.bytes;
        std::string scratch;
        while (used < pieces.size() && bytes.size() < limit) {
            const std::string_view line = bounded(strip(piece(used++)), scratch);
            if (line.empty()) continue;
            const auto *p = reinterpret_cast<const unsigned char *>(line.data());
            stamped_line(bytes, [&](std::string &o) { json_utf8(o, p, p + line.size()); });
        }
        return used;
    }
    std::string scratch;
    while (used < pieces.size() && out.size() < limit) {
        const std::string_view line = bounded(strip(piece(used++)), scratch);
        if (!line.empty()) line_event(out, line, how);
    }
    return used;
}

#endif  // !ZETADESK_PORTABLE

Ref Text::str() const {
    if (!ascii) return mf::str(bytes);
    Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(bytes.size()), 127));
    std::memcpy(PyUnicode_DATA(s.get()), bytes.data(), bytes.size());
    return s;
}

}  // namespace opsdeck::events
