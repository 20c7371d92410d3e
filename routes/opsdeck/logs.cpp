// POST /api/server/logs: the tail of the server log file, or of the log
// buffer when the file cannot be read.
//
// The file is never turned into one string per line.  A first pass counts
// the lines as open(path, encoding="utf-8", errors="ignore").readlines()
// would (invalid bytes dropped first, then CR, LF and CR LF each end a
// line), remembering where every 4096th line starts; a second pass starts
// at the checkpoint before the first wanted line and decodes only the tail.
#include "opsdeck.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#if !ZETADESK_PORTABLE  // POSIX: compiled out on Windows (modframe.h)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace opsdeck {

std::string fs_path(PyObject *path) {
    PyObject *bytes = nullptr;
    if (!PyUnicode_FSConverter(path, &bytes)) mf::fail();
    mf::Ref owned = mf::Ref::steal(bytes);
    return std::string(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

namespace {

using namespace mf;

#if !ZETADESK_PORTABLE

constexpr uint64_t kStride = 4096;         // lines between checkpoints
constexpr std::size_t kChunk = 1 << 20;    // read size
constexpr std::size_t kCarry = 4;          // room for an unfinished sequence

// Where line k*kStride starts: just after the terminator that ends the line
// before it; `pending_cr` when that terminator was a CR whose LF may follow.
struct Checkpoint {
    uint64_t offset;
    bool pending_cr;
};

// Line splitting over the byte stream that survives the dropping of invalid
// UTF-8.  A line is counted at its terminator, and the unterminated rest
// counts as one more line when it holds anything.
struct Scanner {
    uint64_t terms = 0;       // terminators seen
    bool at_start = true;     // nothing kept since the last terminator
    bool pending_cr = false;  // the last kept byte was a CR
    // Pass 1 records checkpoints; pass 2 collects the lines from `collect_from` on.
    std::vector<Checkpoint> *checkpoints = nullptr;
    uint64_t collect_from = UINT64_MAX;
    std::string *text = nullptr;         // kept bytes of collected lines, no terminators
    std::vector<std::size_t> *ends = nullptr;  // end of each collected line in `text`

    uint64_t lines() const { return terms + (at_start ? 0 : 1); }
    bool collecting() const { return terms >= collect_from; }

    void terminator(uint64_t after, bool cr) {
        if (collecting()) ends->push_back(text->size());
        ++terms;
        at_start = true;
        pending_cr = cr;
        if (checkpoints && terms % kStride == 0) checkpoints->push_back({after, cr});
    }

    // One kept sequence of n bytes at p (file offset `at`).
    void kept(const unsigned char *p, int n, uint64_t at) {
        if (pending_cr) {
            pending_cr = false;
            if (*p == '\n') return;  // the LF of a CR LF
        }
        if (*p == '\n') {
            terminator(at + 1, false);
        } else if (*p == '\r') {
            terminator(at + 1, true);
        } else {
            at_start = false;
            if (collecting()) text->append(reinterpret_cast<const char *>(p), static_cast<std::size_t>(n));
        }
    }

    // A 64-byte block without CR and without non-ASCII bytes, with `nl` LFs:
    // taken whole unless it crosses a checkpoint or is being collected.
    bool fast_block(const unsigned char *p, unsigned nl) {
        if (pending_cr || collecting() || (checkpoints && terms % kStride + nl >= kStride)) return false;
        if (collect_from != UINT64_MAX && terms + nl >= collect_from) return false;
        terms += nl;
        at_start = p[63] == '\n';
        return true;
    }

    // Feeds buf[0, len) that starts at file offset `base`; returns how many
    // bytes were consumed (less than len only when the buffer ends inside a
    // sequence that more data may complete and `final` is false).
    std::size_t feed(const unsigned char *buf, std::size_t len, uint64_t base, bool final) {
        const unsigned char *const end = buf + len;
        const unsigned char *p = buf;
        while (p < end) {
            if (end - p >= 64) {
                unsigned nl = 0;
                if (plain_block(p, nl) && fast_block(p, nl)) {
                    p += 64;
                    continue;
                }
                // Byte by byte up to the next block boundary.
                const unsigned char *stop = p + 64;
                while (p < stop) {
                    const unsigned char *next = step(p, end, base + static_cast<uint64_t>(p - buf), final);
                    if (next == p) return static_cast<std::size_t>(p - buf);
                    p = next;
                }
                continue;
            }
            const unsigned char *next = step(p, end, base + static_cast<uint64_t>(p - buf), final);
            if (next == p) break;  // unfinished sequence: wait for more data
            p = next;
        }
        return static_cast<std::size_t>(p - buf);
    }

private:
    const unsigned char *step(const unsigned char *p, const unsigned char *end, uint64_t at, bool final) {
        const int n = utf8_sequence(p, end);
        if (n > 0) {
            kept(p, n, at);
            return p + n;
        }
        if (n < 0 && !final) return p;
        return p + 1;  // dropped, as errors="ignore" does
    }

    static bool plain_block(const unsigned char *p, unsigned &nl) {
#if defined(__SSE2__)
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 32));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 48));
        if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d)))) return false;
        const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n');
        const __m128i crs = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(a, cr), _mm_cmpeq_epi8(b, cr)),
                                         _mm_or_si128(_mm_cmpeq_epi8(c, cr), _mm_cmpeq_epi8(d, cr)));
        if (_mm_movemask_epi8(crs)) return false;
        const uint64_t m = static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, lf)))) |
                           static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, lf)))) << 16 |
                           static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(c, lf)))) << 32 |
                           static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(d, lf)))) << 48;
        nl = static_cast<unsigned>(__builtin_popcountll(m));
        return true;
#else
        unsigned count = 0, odd = 0;
        for (int i = 0; i < 64; ++i) {
            odd |= (p[i] & 0x80) | (p[i] == '\r');
            count += p[i] == '\n';
        }
        nl = count;
        return !odd;
#endif
    }
};

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) close(fd);
    }
};

// Runs `scanner` over the file from `offset` up to `limit` bytes in total
// (or to the end when limit is UINT64_MAX); returns the offset reached, or
// sets `err` to an errno value.
uint64_t scan(int fd, Scanner &scanner, uint64_t offset, uint64_t limit, int &err) {
    std::unique_ptr<unsigned char[]> buf(new unsigned char[kChunk + kCarry]);
    std::size_t held = 0;  // unfinished sequence carried to the front
    uint64_t pos = offset;  // file offset of buf[0]
    for (;;) {
        std::size_t want = kChunk;
        if (limit != UINT64_MAX) {
            const uint64_t left = limit - (pos + held);
            if (left < want) want = static_cast<std::size_t>(left);
        }
        ssize_t got = 0;
        if (want) {
            got = pread(fd, buf.get() + held, want, static_cast<off_t>(pos + held));
            if (got < 0) {
                if (errno == EINTR) continue;
                err = errno;
                return pos;
            }
        }
        const std::size_t len = held + static_cast<std::size_t>(got);
        const bool final = got == 0;
        const std::size_t used = scanner.feed(buf.get(), len, pos, final);
        pos += used;
        held = len - used;
        if (final) return pos;
        std::memmove(buf.get(), buf.get() + used, held);
    }
}

[[noreturn]] void raise_errno(int err, PyObject *path) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    fail();
}

// Steps 5 and 6: the answer from the log file.
Ref from_file(PyObject *log_file, PyObject *count) {
    const std::string path = fs_path(log_file);
    Fd file;
    int err = 0;
    struct stat st;
    Py_BEGIN_ALLOW_THREADS
    file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0)
        err = errno;
    else if (fstat(file.fd, &st) < 0)
        err = errno;
    else if (S_ISDIR(st.st_mode))
        err = EISDIR;
    Py_END_ALLOW_THREADS
    if (err) raise_errno(err, log_file);

    // Pass 1: count, with checkpoints.
    std::vector<Checkpoint> checkpoints{{0, false}};
    Scanner counter;
    counter.checkpoints = &checkpoints;
    uint64_t size = 0;
    Py_BEGIN_ALLOW_THREADS
    size = scan(file.fd, counter, 0, UINT64_MAX, err);
    Py_END_ALLOW_THREADS
    if (err) raise_errno(err, log_file);
    const uint64_t total = counter.lines();

    // all_lines[-count:], with Python's own slice rules.
    Ref start_index = Ref::steal(PyNumber_Negative(count));
    Ref slice = Ref::steal(PySlice_New(start_index.get(), nullptr, nullptr));
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (total > static_cast<uint64_t>(PY_SSIZE_T_MAX)) raise(PyExc_OverflowError, "log file has too many lines");
    if (PySlice_Unpack(slice.get(), &start, &stop, &step) < 0) fail();
    PySlice_AdjustIndices(static_cast<Py_ssize_t>(total), &start, &stop, step);
    const uint64_t first = static_cast<uint64_t>(start);

    // Pass 2: decode lines first..total-1, starting at the checkpoint before `first`.
    std::string text;
    std::vector<std::size_t> ends;
    if (first < total) {
        const Checkpoint &from = checkpoints[first / kStride];
        Scanner tail;
        tail.terms = first / kStride * kStride;
        tail.pending_cr = from.pending_cr;
        tail.collect_from = first;
        tail.text = &text;
        tail.ends = &ends;
        Py_BEGIN_ALLOW_THREADS
        scan(file.fd, tail, from.offset, size, err);
        Py_END_ALLOW_THREADS
        if (err) raise_errno(err, log_file);
        if (!tail.at_start) ends.push_back(text.size());
    }
    close(file.fd);
    file.fd = -1;

    Ref lines = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ends.size())));
    std::size_t begin = 0;
    for (std::size_t i = 0; i < ends.size(); ++i) {
        PyObject *line = PyUnicode_DecodeUTF8(text.data() + begin, static_cast<Py_ssize_t>(ends[i] - begin), nullptr);
        if (!line) fail();
        PyList_SET_ITEM(lines.get(), static_cast<Py_ssize_t>(i), line);
        begin = ends[i];
    }
    Ref total_obj = Ref::steal(PyLong_FromUnsignedLongLong(total));
    return jsonify(dict({{"lines"_id, lines.get()}, {"source"_id, "file"_id}, {"total"_id, total_obj.get()}}));
}

#endif  // !ZETADESK_PORTABLE

// Steps 5 and 6 through the objects they name, for an `open` that is not
// the builtin one:
//     with open(log_file, 'r', encoding='utf-8', errors='ignore') as f:
//         all_lines = f.readlines()
//     last_n = all_lines[-count:]
Ref from_file_python(PyObject *log_file, PyObject *count) {
    Ref file = call_kw(global("open"_id), {log_file, "r"_id}, {{"encoding"_id, "utf-8"_id}, {"errors"_id, "ignore"_id}});
    Ref all_lines;
    with(file.get(), [&](const Ref &f) { all_lines = call_method(f, "readlines"_id); });
    Ref start = Ref::steal(PyNumber_Negative(count));
    Ref slice = Ref::steal(PySlice_New(start.get(), nullptr, nullptr));
    Ref last_n = Ref::steal(PyObject_GetItem(all_lines.get(), slice.get()));
    Ref lines = list();
    Ref it = Ref::steal(PyObject_GetIter(last_n.get()));
    while (Ref line = Ref::adopt(PyIter_Next(it.get())))
        append(lines.get(), call_method(line, "rstrip"_id, "\n"_id).get());
    if (PyErr_Occurred()) fail();
    const Py_ssize_t total = PyObject_Size(all_lines.get());
    if (total < 0) fail();
    return jsonify(dict({{"lines"_id, lines.get()}, {"source"_id, "file"_id}, {"total"_id, integer(total).get()}}));
}

// The file's answer: natively while `open` is the builtin one.
Ref file_answer(PyObject *log_file, PyObject *count) {
#if !ZETADESK_PORTABLE
    if (originals::open.holds()) return from_file(log_file, count);
#endif
    return from_file_python(log_file, count);
}

Ref buffer_length() {
    const Py_ssize_t n = PyObject_Size(global("_log_buffer"_id).get());
    if (n < 0) fail();
    return integer(n);
}

// Step 7: the answer from the log buffer.
Ref from_buffer(PyObject *count) {
    Ref entries = Ref::steal(PySequence_List(global("_log_buffer"_id).get()));
    const Py_ssize_t n = PyList_GET_SIZE(entries.get());
    Ref negated = Ref::steal(PyNumber_Negative(count));
    Py_ssize_t start = PyNumber_AsSsize_t(negated.get(), PyExc_OverflowError);
    if (start == -1 && PyErr_Occurred()) fail();
    if (start < 0) start = std::max<Py_ssize_t>(start + n, 0);
    Ref lines = list();
    Ref empty = Ref::steal(PyUnicode_FromStringAndSize("", 0));
    for (Py_ssize_t i = start; i < n; ++i) {
        PyObject *entry = PyList_GET_ITEM(entries.get(), i);
        Ref when = Ref::steal(PyObject_GetItem(entry, "time"_id));
        Ref when_text = Ref::steal(PyObject_Format(when.get(), empty.get()));
        Ref what = Ref::steal(PyObject_GetItem(entry, "text"_id));
        Ref what_text = Ref::steal(PyObject_Format(what.get(), empty.get()));
        append(lines.get(), Ref::steal(PyUnicode_FromFormat("%U %U", when_text.get(), what_text.get())).get());
    }
    Ref total = buffer_length();
    return jsonify(dict({{"lines"_id, lines.get()}, {"source"_id, "memory"_id}, {"total"_id, total.get()}}));
}

Site server_logs_site{"server_logs", __LINE__};

}  // namespace

PyObject *server_logs(PyObject *, PyObject *) {
    return boundary(server_logs_site, [] {
        Ref body = attr(global("request"_id), "json"_id);
        if (!truthy(body)) body = dict({});
        Ref hundred = integer(100);
        Ref count = call_method(body, "get"_id, "count"_id, hundred);
        Ref log_file = config_path("server.log"_id);
        if (!truthy(call_method(attr(global("os"_id), "path"_id), "exists"_id, log_file))) {
            Ref none_yet = list();
            Ref total = buffer_length();
            return jsonify(dict({{"lines"_id, none_yet.get()}, {"source"_id, "memory"_id}, {"total"_id, total.get()}}));
        }
        Ref answer;
        if (catch_ordinary([&] { answer = file_answer(log_file.get(), count.get()); })) return from_buffer(count.get());
        return answer;
    });
}

}  // namespace opsdeck
