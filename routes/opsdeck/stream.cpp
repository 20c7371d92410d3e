// GET /api/server/logs/stream: new log output as server-sent events.
//
// The response body is a native iterator that behaves as the generator
// `generate` nested in the view would: each pull runs the polling loop up to
// the next event.  Events of one polling cycle are built together and handed
// out one per pull; nothing is locked and no file is open between pulls.
#include "events.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <span>

#if !ZETADESK_PORTABLE
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
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
    events::Text text;

    void event_done() {
        if (text.size() >= kItemBytes) flush();
    }
    void flush() {
        if (text.empty()) return;
        queue(s, text.str());
        text.clear();
    }
    // Runs `build`; when it fails, the events built before the failure
    // still go out first, as the generator would have yielded them.
    template <class F>
    void build(F &&body) {
        try {
            body();
        } catch (...) {
            translate_current_exception();
            keeping_pending_error([this] { flush(); });
            throw PyError{};
        }
        flush();
    }
};

// ---- the log file ------------------------------------------------------------

#if !ZETADESK_PORTABLE

// What str.strip() removes.
bool is_space(uint32_t c) { return Py_UNICODE_ISSPACE(c); }

// The new part of the file from `offset`, read and cut into pieces at every
// CR and LF by the log scanner (invalid UTF-8 dropped, a CR LF leaves an
// empty piece between the two), at most scanner::kStreamCap bytes of it:
// the rest follows in the next cycles, so a sudden large append costs no
// more memory than that.  `read.consumed` counts the bytes used (a
// character cut off at the end is left for the next read); `expect` is
// what the size query found.  Returns 0 or an errno value.  Runs without
// the GIL.
//
// A line that fills the whole cap is read on to its end instead, a chunk at
// a time, and comes back in `long_line` (its text stripped and bounded):
// its middle is never held in memory.
int read_new_pieces(const char *path, uint64_t offset, uint64_t expect, scanner::Pieces &read,
                    scanner::BoundedLine &long_line, bool &is_long) {
    Fd file;
    struct stat st;
    if (int err = open_log_fd(path, file, st)) return err;
    scanner::Input in;
    in.fd = file.fd;
    return scanner::reading([&] {
        scanner::read_pieces(in, scanner::active(), offset, scanner::kStreamCap, read, expect);
        is_long = read.pieces.size() == 1 && read.text.size() == scanner::kStreamCap;
        if (!is_long) return;
        read.text.reset(0);
        read.pieces.clear();
        scanner::bounded_line(in, scanner::active(), offset, scanner::kLineLimit, is_space, long_line);
        read.consumed = long_line.end - offset - long_line.unfinished;
    });
}

// Step 3.2.2 natively: the offset advances by the bytes used, so text
// appended after the size query is sent once, and a character cut off at
// the end is read again whole in the next cycle.
void read_growth(LogStream *s, uint64_t offset, uint64_t size) {
    scanner::Pieces read;
    scanner::BoundedLine long_line;
    bool is_long = false;
    int err = 0;
    const char *path = PyBytes_AS_STRING(s->path);
    Py_BEGIN_ALLOW_THREADS
    err = read_new_pieces(path, offset, size - offset, read, long_line, is_long);
    Py_END_ALLOW_THREADS
    if (err == kSpecialFile) raise_special_file(s->state->log_file);
    if (err) raise_errno(err, s->state->log_file);
    const auto how = events::Builders::for_lines();
    Batch batch{s, {}};
    batch.build([&] {
        if (is_long) {
            if (const std::string line = long_line.text(); !line.empty()) events::line_event(batch.text, line, how);
            return;
        }
        const auto *text = reinterpret_cast<const char *>(read.text.data());
        std::span<const events::Piece> rest(read.pieces);
        while (!rest.empty()) {
            rest = rest.subspan(events::piece_events(batch.text, text, rest, how, kItemBytes));
            batch.event_done();
        }
    });
    s->file_size = offset + read.consumed;
}

#endif  // !ZETADESK_PORTABLE

// A size or position that Python code answered, as an offset.
uint64_t file_offset(const Ref &answer) {
    const uint64_t n = PyLong_AsUnsignedLongLong(Ref::steal(PyNumber_Index(answer.get())).get());
    if (n == static_cast<uint64_t>(-1) && PyErr_Occurred()) fail();
    return n;
}

// How many of the bytes before `end`, none before `from`, begin a character
// the file does not finish yet, read through the same file object's binary
// buffer; 0 for a file object without one.
uint64_t unfinished_bytes(const Ref &f, uint64_t from, uint64_t end) {
    const uint64_t start = std::max(from, end >= 3 ? end - 3 : 0);
    if (start >= end) return 0;
    Ref buffer = optional_attr(f, "buffer"_id);
    if (!buffer) return 0;
    call_method(buffer, "seek"_id, Ref::steal(PyLong_FromUnsignedLongLong(start)));
    Ref last = call_method(buffer, "read"_id, Ref::steal(PyLong_FromUnsignedLongLong(end - start)));
    if (!PyBytes_Check(last.get())) return 0;
    const auto *p = reinterpret_cast<const unsigned char *>(PyBytes_AS_STRING(last.get()));
    const auto n = static_cast<std::size_t>(PyBytes_GET_SIZE(last.get()));
    return n - before_unfinished(p, n);
}

// Step 3.2.2 through the objects it names:
//     with open(log_file, 'r', encoding='utf-8', errors='ignore') as f:
//         f.seek(offset)
//         new_content = f.read()
//         end = f.tell() - <bytes of a character the file does not finish yet>
//     for line in new_content.split('\n'): ...
//     file_size = end
// As natively, the offset moves by what was read, not by the size query,
// so text appended in between is sent once, and a character cut by the end
// of the file is read again whole in the next cycle.  A host's file object
// without tell() moves it to the size query, as the plain step does.
void read_growth_python(LogStream *s, uint64_t offset, uint64_t size) {
    refuse_special_file(s->state->log_file);
    Ref file = open_log(s->state->log_file);
    Ref new_content;
    uint64_t end = size;
    with(file.get(), [&](const Ref &f) {
        call_method(f, "seek"_id, Ref::steal(PyLong_FromUnsignedLongLong(offset)));
        new_content = call_method(f, "read"_id);
        if (Ref tell = optional_attr(f, "tell"_id)) {
            end = file_offset(call(tell));
            end -= unfinished_bytes(f, offset, end);
        }
    });
    Ref pieces = Ref::steal(PyObject_GetIter(call_method(new_content, "split"_id, "\n"_id).get()));
    const auto how = events::Builders::for_lines();
    Batch batch{s, {}};
    batch.build([&] {
        while (Ref piece = Ref::adopt(PyIter_Next(pieces.get()))) {
            Ref line = call_method(piece, "strip"_id);
            if (!truthy(line)) continue;
            events::line_event(batch.text, bound_line(line.get()).get(), how);
            batch.event_done();
        }
        if (PyErr_Occurred()) fail();
    });
    s->file_size = end;
}

// os.path.exists(log_file) and then os.path.getsize(log_file): whether the
// file exists, and its size.  Natively one stat(), so no file can vanish
// between the two.
bool measure(LogStream *s, bool native, uint64_t &size) {
#if !ZETADESK_PORTABLE
    if (native) {
        struct stat st;
        if (stat(PyBytes_AS_STRING(s->path), &st) < 0) return false;
        size = static_cast<uint64_t>(st.st_size);
        return true;
    }
#else
    (void)native;
#endif
    PyObject *log_file = s->state->log_file;
    if (!truthy(call_method(attr(global("os"_id), "path"_id), "exists"_id, log_file))) return false;
    size = file_offset(call_method(attr(global("os"_id), "path"_id), "getsize"_id, log_file));
    return true;
}

// Whether the size query may be one stat().
bool native_size(LogStream *s) { return s->path && originals::exists.holds() && originals::getsize.holds(); }

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
    s->file_size = measure(s, native_size(s), size) ? size : 0;
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

    const auto how = events::Builders::for_entries();
    Batch batch{s, {}};
    batch.build([&] {
        for (Py_ssize_t i = from; i < len; ++i) {
            Ref text = Ref::steal(PyObject_GetItem(items[i], "text"_id));
            Ref time = Ref::steal(PyObject_GetItem(items[i], "time"_id));
            events::entry_event(batch.text, text.get(), time.get(), how);
            batch.event_done();
        }
    });
}

// Step 3.2: the existence and size query are not guarded; the read is, and
// its failure only ends this step (the same range is tried next cycle).
// The stat, read and split stand in for os.path.exists, os.path.getsize and
// open together: when any of them is replaced the whole step goes through
// the Python objects.
void file_check(LogStream *s) {
#if !ZETADESK_PORTABLE
    const bool native = native_size(s) && originals::open.holds();
#else
    const bool native = false;
#endif
    uint64_t size = 0;
    if (!measure(s, native, size)) return;
    // Smaller than what was read: truncated, or replaced by another file.
    // It is read from its start, as tail -F does, and the offset moves only
    // when that read succeeds: a directory put in the file's place for a
    // while does not make the file's old lines new.
    const uint64_t from = size < s->file_size ? 0 : s->file_size;
    if (size <= from) {
        s->file_size = std::min(s->file_size, size);
        return;
    }
#if !ZETADESK_PORTABLE
    if (native) {
        const Py_ssize_t queued = s->events ? PyList_GET_SIZE(s->events) : 0;
        if (catch_ordinary([&] { read_growth(s, from, size); }) && s->events) {
            // Nothing of a failed native read is sent.
            if (PyList_SetSlice(s->events, queued, PyList_GET_SIZE(s->events), nullptr) < 0) fail();
        }
        return;
    }
#endif
    catch_ordinary([&] { read_growth_python(s, from, size); });
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
            if (s->state->alive && (peer_gone(s->state) || port_handed_over_to_successor())) s->state->alive = false;
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
        Ref wsgi_env = attr(global("request"_id), "environ"_id);
        Ref peer = call_method(wsgi_env, "get"_id, "werkzeug.socket"_id);
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
