// GET /api/server/logs/stream: new log output as server-sent events.
//
// The response body is a native iterator that behaves as the generator
// `generate` nested in the view would: each pull runs the polling loop up to
// the next event.  Events of one polling cycle are built together and handed
// out one per pull; nothing is locked and no file is open between pulls.
#include "opsdeck.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if !defined(_WIN32)
#include <poll.h>
#include <sys/socket.h>
#endif

namespace opsdeck {
namespace {

using namespace mf;

Site view_site{"server_logs_stream", __LINE__};
Site on_close_site{"server_logs_stream.on_close", __LINE__};
Site generate_site{"server_logs_stream.generate", __LINE__};

// ---- events: "data: " + json.dumps({...}) + "\n\n" ---------------------------

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

// The code point of the valid UTF-8 sequence at p, of length n.
inline uint32_t decode_utf8(const unsigned char *p, int n) {
    switch (n) {
    case 1: return p[0];
    case 2: return (p[0] & 0x1fu) << 6 | (p[1] & 0x3fu);
    case 3: return (p[0] & 0x0fu) << 12 | (p[1] & 0x3fu) << 6 | (p[2] & 0x3fu);
    default: return (p[0] & 0x07u) << 18 | (p[1] & 0x3fu) << 12 | (p[2] & 0x3fu) << 6 | (p[3] & 0x3fu);
    }
}

inline int utf8_length(unsigned char lead) { return lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4; }

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

Ref ascii_str(const std::string &text) {
    Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127));
    std::memcpy(PyUnicode_DATA(s.get()), text.data(), text.size());
    return s;
}

// One event for a buffer entry, appended to `out`.
void entry_event(std::string &out, PyObject *text, PyObject *time) {
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
    Ref object = dict({{"type"_id, "log"_id}, {"text"_id, text}, {"time"_id, time}});
    Ref dumped = call_method(global("json"_id), "dumps"_id, object);
    out.append("data: ");
    out.append(utf8(dumped.get()));
    out.append("\n\n");
}

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

// ---- per-request state: _client_alive and log_file -------------------------

struct StreamState {
    PyObject_HEAD
    PyObject *log_file;
    PyObject *peer;  // the client's socket when the server exposes it, else NULL
    bool alive;
};

void state_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    Py_CLEAR(reinterpret_cast<StreamState *>(self)->log_file);
    Py_CLEAR(reinterpret_cast<StreamState *>(self)->peer);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot state_slots[] = {{Py_tp_dealloc, reinterpret_cast<void *>(state_dealloc)}, {0, nullptr}};
PyType_Spec state_spec = {
    .name = "routes.opsdeck._StreamState",
    .basicsize = sizeof(StreamState),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = state_slots,
};

// A client that hung up without a word is only noticed by the server at its
// next failed write, and a silent stream writes nothing.  Where the server
// exposes the client's socket, a hang-up shows as end-of-file on it.
bool peer_gone(StreamState *st) {
#if defined(_WIN32)
    (void)st;
    return false;
#else
    if (!st->peer) return false;
    int fd = PyObject_AsFileDescriptor(st->peer);
    if (fd < 0) {  // closed by the server: the response is over
        PyErr_Clear();
        return true;
    }
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return false;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
    if (!(p.revents & POLLIN)) return false;
    char byte;
    // A pipelined request is data, not a hang-up: only end-of-file counts.
    return recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
#endif
}

// ---- the body iterator -----------------------------------------------------

enum Phase : uint8_t {
    fresh,         // not pulled yet
    test_flag,     // at the loop test
    after_buffer,  // buffer check done, file check next
    after_file,    // file check done, pause next
    done,
};

struct LogStream {
    PyObject_HEAD
    StreamState *state;
    PyObject *path;     // bytes path of log_file, NULL when it names no file
    PyObject *last;     // last buffer entry seen, NULL when none
    PyObject *events;   // list of events of the current cycle, NULL when drained
    PyObject *error;    // error to raise once the queued events are out
    Py_ssize_t next_event;
    Py_ssize_t idx;
    uint64_t file_size;
    Phase phase;
    bool running;
};

LogStream *as_stream(PyObject *o) { return reinterpret_cast<LogStream *>(o); }

// The end of the loop: the flag goes false, held objects go.
void finish(LogStream *s) {
    if (s->phase != fresh && s->phase != done) s->state->alive = false;
    s->phase = done;
    Py_CLEAR(s->events);
    Py_CLEAR(s->error);
    Py_CLEAR(s->last);
}

// os.path.exists(log_file) and os.path.getsize(log_file) in one stat.
bool file_size_now(LogStream *s, uint64_t &size) {
    if (!s->path) return false;
    struct stat st;
    if (stat(PyBytes_AS_STRING(s->path), &st) < 0) return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

Ref log_buffer_last(PyObject *buffer) {
    Ref minus_one = integer(-1);
    return Ref::steal(PyObject_GetItem(buffer, minus_one.get()));
}

void queue(LogStream *s, const Ref &event) {
    if (!s->events) {
        s->events = PyList_New(0);
        if (!s->events) fail();
        s->next_event = 0;
    }
    append(s->events, event.get());
}

// Events of one cycle, handed to the framework as items of whole events: one
// event per item in ordinary use, several (up to kItemBytes) when a cycle
// finds a burst of output, so a burst does not cost one write per line.
constexpr std::size_t kItemBytes = 64 * 1024;

struct Batch {
    LogStream *s;
    std::string text;

    void event_done() {
        if (text.size() >= kItemBytes) flush();
    }
    void flush() {
        if (text.empty()) return;
        queue(s, ascii_str(text));
        text.clear();
    }
    // Queues what is complete, keeping the pending exception.
    void flush_keeping_error() {
        keeping_pending_error([this] { flush(); });
    }
};

// Steps 1 and 2: where the stream starts.
void start(LogStream *s) {
    if (!s->path) {
        Ref path;
        if (!catch_ordinary([&] {
                PyObject *bytes = nullptr;
                if (!PyUnicode_FSConverter(s->state->log_file, &bytes)) fail();
                path = Ref::steal(bytes);
            }))
            s->path = path.release();
    }
    uint64_t size = 0;
    s->file_size = file_size_now(s, size) ? size : 0;
    Ref buffer = global("_log_buffer"_id);
    s->idx = PyObject_Size(buffer.get());
    if (s->idx < 0) fail();
    if (s->idx > 0) {
        Ref last;
        if (!catch_ordinary([&] { last = log_buffer_last(buffer.get()); })) s->last = last.release();
    }
}

// Step 3.1: new buffer entries.  Besides the length, the last entry seen is
// tracked by identity, so a bounded buffer that drops its oldest entries
// keeps delivering; while the buffer only grows this sends entries[idx:].
void buffer_check(LogStream *s) {
    Ref buffer = global("_log_buffer"_id);
    const Py_ssize_t n = PyObject_Size(buffer.get());
    if (n < 0) fail();
    bool changed = n > s->idx;
    if (!changed && n > 0 && s->last) {
        Ref newest;
        if (!catch_ordinary([&] { newest = log_buffer_last(buffer.get()); })) changed = newest.get() != s->last;
    }
    if (!changed) return;

    Ref entries;
    with(global("_log_lock"_id).get(), [&] { entries = Ref::steal(PySequence_List(global("_log_buffer"_id).get())); });
    const Py_ssize_t len = PyList_GET_SIZE(entries.get());
    PyObject *const *items = PySequence_Fast_ITEMS(entries.get());
    Py_ssize_t from = std::min(s->idx, len);
    if (s->last && !(from > 0 && items[from - 1] == s->last)) {
        from = 0;  // all of them are newer unless the last one seen is still there
        for (Py_ssize_t j = std::min(s->idx, len) - 1; j >= 0; --j)
            if (items[j] == s->last) {
                from = j + 1;
                break;
            }
    }
    s->idx = len;
    Py_XSETREF(s->last, len ? Py_NewRef(items[len - 1]) : nullptr);

    Batch batch{s, {}};
    try {
        for (Py_ssize_t i = from; i < len; ++i) {
            Ref text = Ref::steal(PyObject_GetItem(items[i], "text"_id));
            Ref time = Ref::steal(PyObject_GetItem(items[i], "time"_id));
            entry_event(batch.text, text.get(), time.get());
            batch.event_done();
        }
    } catch (...) {
        // The events before the failing entry still go out first.
        translate_current_exception();
        batch.flush_keeping_error();
        throw PyError{};
    }
    batch.flush();
}

// One piece of new file content between line breaks: stripped as str.strip()
// does, and sent unless empty.
void file_piece(Batch &batch, const unsigned char *p, const unsigned char *end) {
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
    if (p == end) return;
    std::string &out = batch.text;
    out.append(event_head);
    json_utf8(out, p, end);
    out.append(event_middle);
    out.push_back('"');
    utc_now_iso(out);
    out.push_back('"');
    out.append(event_tail);
    batch.event_done();
}

// Step 3.2.2: the new part of the file, read and cut into pieces by the log
// scanner, at most scanner::kStreamCap bytes per cycle (the rest follows in
// the next cycles, so a sudden large append costs no more memory than that).
// The offset advances by the bytes used, so text appended after the size
// query is sent once, and a character cut off at the end of the read is
// read again whole in the next cycle.
void read_growth(LogStream *s) {
    scanner::Pieces read;
    int err = 0;
    const char *path = PyBytes_AS_STRING(s->path);
    const uint64_t offset = s->file_size;
    Py_BEGIN_ALLOW_THREADS
    scanner::Input in;
    in.fd = open(path, O_RDONLY | O_CLOEXEC);
    if (in.fd < 0) {
        err = errno;
    } else {
        err = scanner::reading([&] { scanner::read_pieces(in, scanner::active(), offset, scanner::kStreamCap, read); });
        close(in.fd);
    }
    Py_END_ALLOW_THREADS
    if (err) {
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, s->state->log_file);
        fail();
    }
    Batch batch{s, {}};
    const auto *text = reinterpret_cast<const unsigned char *>(read.text.data());
    for (const auto [a, b] : read.pieces) file_piece(batch, text + a, text + b);
    batch.flush();
    s->file_size = offset + read.consumed;
}

// Step 3.2: the existence and size query are not guarded; the read is, and
// its failure only ends this step (the same range is tried next cycle).
void file_check(LogStream *s) {
    uint64_t size = 0;
    if (!file_size_now(s, size) || size <= s->file_size) return;
    const Py_ssize_t queued = s->events ? PyList_GET_SIZE(s->events) : 0;
    if (catch_ordinary([&] { read_growth(s); }) && s->events) {
        // Nothing of a failed read is sent.
        if (PyList_SetSlice(s->events, queued, PyList_GET_SIZE(s->events), nullptr) < 0) fail();
    }
}

Ref pop_event(LogStream *s) {
    if (!s->events) return Ref();
    if (s->next_event >= PyList_GET_SIZE(s->events)) {
        Py_CLEAR(s->events);
        return Ref();
    }
    Ref event = Ref::borrow(PyList_GET_ITEM(s->events, s->next_event++));
    if (s->next_event >= PyList_GET_SIZE(s->events)) Py_CLEAR(s->events);
    return event;
}

// Runs one step of the loop under the loop's guard: an error ends the
// stream, after the events built before it are out.
template <class F>
void guarded(LogStream *s, F &&step) {
    try {
        step();
    } catch (...) {
        translate_current_exception();
        if (s->events) {
            Py_XSETREF(s->error, PyErr_GetRaisedException());
            return;
        }
        finish(s);
        throw PyError{};
    }
}

// The next event, or an empty Ref when the stream has ended.
Ref advance(LogStream *s) {
    for (;;) {
        if (Ref event = pop_event(s)) return event;
        if (s->error) {
            PyObject *error = std::exchange(s->error, nullptr);
            finish(s);
            PyErr_SetRaisedException(error);
            fail();
        }
        switch (s->phase) {
        case fresh:
            try {
                start(s);
            } catch (...) {
                s->phase = done;
                throw;
            }
            s->phase = test_flag;
            break;
        case test_flag:
            if (s->state->alive && peer_gone(s->state)) s->state->alive = false;
            if (!s->state->alive) {
                finish(s);
                return Ref();
            }
            s->phase = after_buffer;
            guarded(s, [&] { buffer_check(s); });
            break;
        case after_buffer:
            s->phase = after_file;
            guarded(s, [&] { file_check(s); });
            break;
        case after_file:
            s->phase = test_flag;
            guarded(s, [&] {
                Ref pause = Ref::steal(PyFloat_FromDouble(0.5));
                call_method(global("time"_id), "sleep"_id, pause);
            });
            break;
        case done:
            return Ref();
        }
    }
}

PyObject *stream_next(PyObject *self) {
    LogStream *s = as_stream(self);
    if (s->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (s->phase == done) return nullptr;
    s->running = true;
    PyObject *result = nullptr;
    try {
        result = advance(s).release();
    } catch (...) {
        translate_current_exception();
        add_traceback(generate_site);
    }
    s->running = false;
    return result;
}

// close(): a generator's close.  At a suspension point the close ends the
// loop normally (the flag goes false); before the first pull it only marks
// the body as finished.
PyObject *stream_close(PyObject *self, PyObject *) {
    LogStream *s = as_stream(self);
    if (s->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    finish(s);
    Py_RETURN_NONE;
}

void stream_finalize(PyObject *self) {
    LogStream *s = as_stream(self);
    if (s->phase == done || s->running) return;
    PyObject *pending = PyErr_GetRaisedException();
    finish(s);
    PyErr_SetRaisedException(pending);
}

int stream_traverse(PyObject *self, visitproc visit, void *arg) {
    LogStream *s = as_stream(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(reinterpret_cast<PyObject *>(s->state));
    Py_VISIT(s->last);
    Py_VISIT(s->events);
    Py_VISIT(s->error);
    return 0;
}

int stream_clear(PyObject *self) {
    LogStream *s = as_stream(self);
    Py_CLEAR(s->state);
    Py_CLEAR(s->path);
    Py_CLEAR(s->last);
    Py_CLEAR(s->events);
    Py_CLEAR(s->error);
    return 0;
}

void stream_dealloc(PyObject *self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    stream_clear(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyMethodDef stream_methods[] = {
    {"close", stream_close, METH_NOARGS, "close()\n\nEnd the stream, as a generator's close() does."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_iter, reinterpret_cast<void *>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void *>(stream_next)},
    {Py_tp_methods, stream_methods},
    {Py_tp_finalize, reinterpret_cast<void *>(stream_finalize)},
    {Py_tp_traverse, reinterpret_cast<void *>(stream_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(stream_clear)},
    {Py_tp_dealloc, reinterpret_cast<void *>(stream_dealloc)},
    {0, nullptr},
};
PyType_Spec stream_spec = {
    .name = "routes.opsdeck._LogStream",
    .basicsize = sizeof(LogStream),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
             Py_TPFLAGS_IMMUTABLETYPE,
    .slots = stream_slots,
};

// Created on first use and kept for the life of the process.
PyTypeObject *type_of(PyType_Spec &spec, PyObject *&cache) {
    if (!cache) {
        Ref type = new_type(&spec);
        if (!cache) cache = type.release();
    }
    return reinterpret_cast<PyTypeObject *>(cache);
}
PyObject *state_type = nullptr;
PyObject *stream_type = nullptr;

// ---- the nested functions ---------------------------------------------------

PyObject *on_close(PyObject *self, PyObject *) {
    return boundary(on_close_site, [&] { reinterpret_cast<StreamState *>(self)->alive = false; });
}

PyObject *generate(PyObject *self, PyObject *) {
    return boundary(generate_site, [&] {
        PyTypeObject *tp = type_of(stream_spec, stream_type);
        Ref body = Ref::steal(tp->tp_alloc(tp, 0));
        LogStream *s = as_stream(body.get());
        s->state = reinterpret_cast<StreamState *>(Py_NewRef(self));
        s->phase = fresh;
        return body;
    });
}

PyMethodDef on_close_def = {"on_close", on_close, METH_NOARGS, nullptr};
PyMethodDef generate_def = {"generate", generate, METH_NOARGS, nullptr};

}  // namespace

PyObject *server_logs_stream(PyObject *, PyObject *) {
    return boundary(view_site, [] {
        Ref log_file = config_path("server.log"_id);
        PyTypeObject *tp = type_of(state_spec, state_type);
        Ref state = Ref::steal(tp->tp_alloc(tp, 0));
        auto *st = reinterpret_cast<StreamState *>(state.get());
        st->log_file = log_file.release();
        st->alive = true;
        Ref environ = attr(global("request"_id), "environ"_id);
        Ref peer = call_method(environ, "get"_id, "werkzeug.socket"_id);
        if (peer.get() != Py_None) st->peer = peer.release();

        Ref close_callback = function(&on_close_def, state.get());
        // Flask's Request has no call_on_close; a host's request may.
        PyObject *register_on_request = nullptr;
        if (PyObject_GetOptionalAttr(global("request"_id).get(), "call_on_close"_id, &register_on_request) < 0) fail();
        Ref on_request = Ref::adopt(register_on_request);
        if (on_request) call(on_request, close_callback);

        Ref generator = function(&generate_def, state.get());
        Ref body = call(generator);
        Ref headers = dict({{"Cache-Control"_id, "no-cache"_id}, {"X-Accel-Buffering"_id, "no"_id}});
        Ref response = call_kw(global("Response"_id), {body.get()},
                               {{"mimetype"_id, "text/event-stream"_id}, {"headers"_id, headers.get()}});
        if (!on_request) call_method(response, "call_on_close"_id, close_callback);
        return response;
    });
}

}  // namespace opsdeck
