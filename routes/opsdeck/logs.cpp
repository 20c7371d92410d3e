// POST /api/server/logs: the tail of the server log file, or of the log
// buffer when the file cannot be read.
//
// The file is never turned into one string per line.  A first pass counts
// the lines as open(path, encoding="utf-8", errors="ignore").readlines()
// would (scanner.h), remembering a checkpoint per read chunk, a large file
// in parts on several threads at once (scan_parts); a second pass
// reads from the checkpoint before the first wanted line and decodes only
// the tail, a line longer than scanner::kLineLimit cut to its start and end
// without ever holding it whole.
#include "opsdeck.h"
#include "scanner.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#if !ZETADESK_PORTABLE  // POSIX: compiled out on Windows (modframe.h)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace opsdeck {

std::string fs_path(PyObject *path) {
    PyObject *bytes = nullptr;
    if (!PyUnicode_FSConverter(path, &bytes)) mf::fail();
    mf::Ref owned = mf::Ref::steal(bytes);
    return std::string(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes)));
}

namespace {

std::filesystem::path native_path(const std::string &fs) {
#if defined(_WIN32)
    // The file-system encoding of Windows is UTF-8.
    return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t *>(fs.data()), fs.size()));
#else
    return std::filesystem::path(fs);
#endif
}

}  // namespace

mf::Ref bound_line(PyObject *line) {
    using mf::Ref;
    if (!PyUnicode_Check(line)) return Ref::borrow(line);
    const int kind = PyUnicode_KIND(line);
    const void *data = PyUnicode_DATA(line);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(line);
    auto bytes = [&](Py_ssize_t i) -> std::size_t {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
    };
    uint64_t size = 0;
    if (kind == PyUnicode_1BYTE_KIND && PyUnicode_IS_ASCII(line)) {
        size = static_cast<uint64_t>(n);
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) size += bytes(i);
    }
    if (size <= scanner::kLineLimit) return Ref::borrow(line);
    std::size_t head_bytes = 0, tail_bytes = 0;
    Py_ssize_t head = 0, tail = n;
    while (head_bytes + bytes(head) <= scanner::kLineKeep) head_bytes += bytes(head++);
    while (tail_bytes + bytes(tail - 1) <= scanner::kLineKeep) tail_bytes += bytes(--tail);
    Ref start = Ref::steal(PyUnicode_Substring(line, 0, head));
    Ref marker = mf::str(scanner::left_out_marker(size - head_bytes - tail_bytes));
    Ref end = Ref::steal(PyUnicode_Substring(line, tail, n));
    Ref joined = Ref::steal(PyUnicode_Concat(start.get(), marker.get()));
    return Ref::steal(PyUnicode_Concat(joined.get(), end.get()));
}

void raise_special_file(PyObject *log_file) {
    mf::raise_format(PyExc_OSError, "not a regular file: %R", log_file);
}

void refuse_special_file(PyObject *log_file) {
    const std::string path = fs_path(log_file);
    std::error_code ec;
    std::filesystem::file_status st;
    Py_BEGIN_ALLOW_THREADS
    st = std::filesystem::status(native_path(path), ec);
    Py_END_ALLOW_THREADS
    if (ec || !std::filesystem::exists(st)) return;  // open() says what is wrong
    if (!std::filesystem::is_regular_file(st) && !std::filesystem::is_directory(st)) raise_special_file(log_file);
}

#if !ZETADESK_PORTABLE
int open_log_fd(const char *path, Fd &file, struct stat &st) {
    // O_NONBLOCK: a FIFO opens at once instead of waiting for a writer.
    file.reset();
    file.fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (file.fd < 0) return errno;
    if (fstat(file.fd, &st) < 0) return errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) return kSpecialFile;
    return 0;
}
#endif

namespace {

using namespace mf;

// The answer: {"lines": ..., "source": ..., "total": ...}, in that order.
Ref logs_answer(PyObject *lines, PyObject *source, PyObject *total) {
    return jsonify(dict({{"lines"_id, lines}, {"source"_id, source}, {"total"_id, total}}));
}

#if !ZETADESK_PORTABLE

// Whether `now` describes the same file as `before`, unchanged: the same
// inode, size and modification and change times.
bool unchanged(const struct stat &before, const struct stat &now) {
#if defined(__APPLE__)
    const auto &m0 = before.st_mtimespec, &m1 = now.st_mtimespec;
    const auto &c0 = before.st_ctimespec, &c1 = now.st_ctimespec;
#else
    const auto &m0 = before.st_mtim, &m1 = now.st_mtim;
    const auto &c0 = before.st_ctim, &c1 = now.st_ctim;
#endif
    return before.st_dev == now.st_dev && before.st_ino == now.st_ino && before.st_size == now.st_size &&
           m0.tv_sec == m1.tv_sec && m0.tv_nsec == m1.tv_nsec && c0.tv_sec == c1.tv_sec && c0.tv_nsec == c1.tv_nsec;
}

// Lines of at most this many bytes are read together, to be decoded one by one.
constexpr std::size_t kBatch = 1024 * 1024;

// The text of each line in[a, b) of `ranges`, as readlines() would give it
// with its line break removed, each bounded (bounded_line).  Short lines are
// read a batch at a time and decoded on their own: each drops exactly what
// decoding the whole file would, since no sequence spans a CR or LF.  A long
// one is read in chunks and never held whole.
Ref tail_lines(const scanner::Input &in, const std::vector<std::pair<uint64_t, uint64_t>> &ranges, PyObject *log_file) {
    Ref lines = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ranges.size())));
    scanner::Buffer batch;
    auto is_long = [&](std::size_t i) { return ranges[i].second - ranges[i].first > scanner::kLineLimit; };
    for (std::size_t i = 0; i < ranges.size();) {
        const uint64_t a = ranges[i].first;
        int err = 0;
        if (is_long(i)) {
            scanner::BoundedLine line;
            Py_BEGIN_ALLOW_THREADS
            err = scanner::reading([&] { scanner::bounded_line(in, scanner::active(), a, scanner::kLineLimit, nullptr, line); });
            Py_END_ALLOW_THREADS
            if (err) raise_errno(err, log_file);
            PyList_SET_ITEM(lines.get(), static_cast<Py_ssize_t>(i++), str(line.text()).release());
            continue;
        }
        std::size_t j = i + 1;
        while (j < ranges.size() && !is_long(j) && ranges[j].second - a <= kBatch) ++j;
        const auto want = static_cast<std::size_t>(ranges[j - 1].second - a);
        std::size_t got = 0;
        Py_BEGIN_ALLOW_THREADS
        err = scanner::reading([&] {
            batch.reset(want);
            got = in.read_at(a, batch.data(), want);
        });
        Py_END_ALLOW_THREADS
        if (err) raise_errno(err, log_file);
        const auto *text = reinterpret_cast<const char *>(batch.data());
        for (; i < j; ++i) {
            const std::size_t from = static_cast<std::size_t>(ranges[i].first - a);
            const std::size_t to = std::max(from, std::min(got, static_cast<std::size_t>(ranges[i].second - a)));
            PyObject *line = PyUnicode_DecodeUTF8(text + from, static_cast<Py_ssize_t>(to - from), "ignore");
            if (!line) fail();
            PyList_SET_ITEM(lines.get(), static_cast<Py_ssize_t>(i), line);
        }
    }
    return lines;
}

// How often the count is made again when the file changed before its tail
// was read a second time; after that the file is read into memory once.
constexpr int kRecounts = 2;

// Steps 5 and 6: the answer from the log file.
//
// readlines() reads the file once, so its lines and their number come from
// the same bytes.  Here the lines are counted first and the tail collected
// after; the tail is taken from the last chunk that the count read, kept in
// memory, whenever it lies within it (a few hundred lines), else read again.
// The answer is used only if the file is still as it was when counting
// began: a count that runs into a rewrite joins two versions of the file.
// Otherwise (truncated, rewritten, appended to in the meantime) everything
// is done again, and in the end from one copy of the file in memory.  A
// file renamed over the log is read as it was opened.
Ref from_file(PyObject *log_file, PyObject *count) {
    const std::string path = fs_path(log_file);
    Fd file;
    int err = 0;
    struct stat st;
    Py_BEGIN_ALLOW_THREADS
    err = open_log_fd(path.c_str(), file, st);
    Py_END_ALLOW_THREADS
    if (err == kSpecialFile) raise_special_file(log_file);
    if (err) raise_errno(err, log_file);

    // all_lines[-count:], with Python's own slice rules.
    Ref start_index = Ref::steal(PyNumber_Negative(count));
    Ref slice = Ref::steal(PySlice_New(start_index.get(), nullptr, nullptr));
    Py_ssize_t start = 0, stop = 0, step = 0;
    if (PySlice_Unpack(slice.get(), &start, &stop, &step) < 0) fail();

    const scanner::Kernels &kernels = scanner::active();
    scanner::Count counted;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    Ref lines;
    scanner::Buffer copy;  // the whole file, on the last attempt
    for (int attempt = 0;; ++attempt) {
        const bool in_memory = attempt == kRecounts;
        scanner::Input in;
        in.fd = file.fd;
        const auto size = static_cast<uint64_t>(st.st_size);
        // A small file needs no full-size chunk (the file may still grow: more chunks then).
        const std::size_t chunk = static_cast<std::size_t>(std::clamp<uint64_t>(size + 64, 4096, scanner::kChunk));
        // Pass 1: count, with checkpoints.
        Py_BEGIN_ALLOW_THREADS
        err = scanner::reading([&] {
            if (in_memory) {
                copy.reset(static_cast<std::size_t>(size), static_cast<std::size_t>(size));
                const std::size_t n = in.read_at(0, copy.data(), copy.size());
                in = scanner::Input{};
                in.data = copy.data();
                in.data_size = n;
            }
            counted = scanner::count_lines(in, kernels, chunk, scanner::scan_parts(size), size);
        });
        Py_END_ALLOW_THREADS
        if (err) raise_errno(err, log_file);
        const uint64_t total = counted.lines();
        if (total > static_cast<uint64_t>(PY_SSIZE_T_MAX)) raise(PyExc_OverflowError, "log file has too many lines");
        Py_ssize_t first = start, last = stop;
        PySlice_AdjustIndices(static_cast<Py_ssize_t>(total), &first, &last, step);

        // Pass 2: where lines first..total-1 lie, then their text.
        struct stat now;
        bool same = true;
        Py_BEGIN_ALLOW_THREADS
        err = scanner::reading([&] { scanner::tail_ranges(in, kernels, counted, static_cast<uint64_t>(first), ranges); });
        Py_END_ALLOW_THREADS
        if (err) raise_errno(err, log_file);
        lines = tail_lines(counted.counted(in), ranges, log_file);
        Py_BEGIN_ALLOW_THREADS
        if (!in_memory) {
            if (fstat(file.fd, &now) < 0)
                err = errno;
            else
                same = unchanged(st, now);
        }
        Py_END_ALLOW_THREADS
        if (err) raise_errno(err, log_file);
        if (same) break;
        st = now;
    }
    file.reset();
    copy.reset(0);

    Ref total_obj = Ref::steal(PyLong_FromUnsignedLongLong(counted.lines()));
    return logs_answer(lines.get(), "file"_id, total_obj.get());
}

#endif  // !ZETADESK_PORTABLE

// Steps 5 and 6 through the objects they name, for an `open` that is not
// the builtin one:
//     with open(log_file, 'r', encoding='utf-8', errors='ignore') as f:
//         all_lines = f.readlines()
//     last_n = all_lines[-count:]
Ref from_file_python(PyObject *log_file, PyObject *count) {
    refuse_special_file(log_file);
    Ref file = open_log(log_file);
    Ref all_lines;
    with(file.get(), [&](const Ref &f) { all_lines = call_method(f, "readlines"_id); });
    Ref start = Ref::steal(PyNumber_Negative(count));
    Ref slice = Ref::steal(PySlice_New(start.get(), nullptr, nullptr));
    Ref last_n = Ref::steal(PyObject_GetItem(all_lines.get(), slice.get()));
    Ref lines = list();
    Ref it = Ref::steal(PyObject_GetIter(last_n.get()));
    while (Ref line = Ref::adopt(PyIter_Next(it.get())))
        append(lines.get(), bound_line(call_method(line, "rstrip"_id, "\n"_id).get()).get());
    if (PyErr_Occurred()) fail();
    const Py_ssize_t total = PyObject_Size(all_lines.get());
    if (total < 0) fail();
    return logs_answer(lines.get(), "file"_id, integer(total).get());
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
    return logs_answer(lines.get(), "memory"_id, total.get());
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
            return logs_answer(none_yet.get(), "memory"_id, total.get());
        }
        Ref answer;
        if (catch_ordinary([&] { answer = file_answer(log_file.get(), count.get()); })) return from_buffer(count.get());
        return answer;
    });
}

}  // namespace opsdeck
