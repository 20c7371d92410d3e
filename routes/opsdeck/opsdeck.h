// routes.opsdeck: the server-management API.  One file per endpoint group;
// module.cpp holds the module body and the route table.
#pragma once

#include "modframe.h"

#include <cstdint>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace opsdeck {

using mf::operator""_id;

// View functions (METH_NOARGS), in route-table order.
PyObject *health_check(PyObject *, PyObject *);        // module.cpp
PyObject *get_config(PyObject *, PyObject *);          // config.cpp
PyObject *update_config(PyObject *, PyObject *);       // config.cpp
PyObject *server_status(PyObject *, PyObject *);       // status.cpp
PyObject *server_restart(PyObject *, PyObject *);      // restart.cpp
PyObject *server_logs(PyObject *, PyObject *);         // logs.cpp
PyObject *server_logs_stream(PyObject *, PyObject *);  // stream.cpp
PyObject *system_info(PyObject *, PyObject *);         // info.cpp
PyObject *platform_info(PyObject *, PyObject *);       // info.cpp

// The objects that native shortcuts stand in for, as the views name them;
// the module body captures them after its imports.
namespace originals {
inline mf::Original open{"open", "io.open"};
inline mf::Original exists{"os.path.exists", "os.path.exists"};
inline mf::Original getsize{"os.path.getsize", "os.path.getsize"};
inline mf::Original dumps{"json.dumps", "json.dumps"};
inline mf::Original datetime{"datetime", "datetime.datetime"};
inline mf::Original timezone{"timezone", "datetime.timezone"};
// Every one of them, for the module body to capture.
inline mf::Original *const all[] = {&open, &exists, &getsize, &dumps, &datetime, &timezone};
}  // namespace originals

// Whether a restart has handed the listening socket to the successor, which
// now serves: open live streams end (restart.cpp).
bool port_handed_over_to_successor();

// Registers the check that runs before every view on `bp` (guard.cpp).
void register_guard();

// jsonify(mapping), looked up at call time like every module global.
inline mf::Ref jsonify(const mf::Ref &value) { return mf::call(mf::global("jsonify"_id), value); }

// datetime.now(timezone.utc).isoformat(), through the module's globals and
// in Python's order of evaluation.
inline mf::Ref utc_now_isoformat() {
    mf::Ref now = mf::attr(mf::global("datetime"_id), "now"_id);
    mf::Ref utc = mf::attr(mf::global("timezone"_id), "utc"_id);
    return mf::call_method(mf::call(now, utc), "isoformat"_id);
}

// (jsonify({"ok": False, "error": text}), status[, headers]): an answer that refuses.
inline mf::Ref error_response(PyObject *text, int status, PyObject *headers = nullptr) {
    mf::Ref body = jsonify(mf::dict({{"ok"_id, Py_False}, {"error"_id, text}}));
    mf::Ref code = mf::integer(status);
    return mf::Ref::steal(headers ? PyTuple_Pack(3, body.get(), code.get(), headers)
                                  : PyTuple_Pack(2, body.get(), code.get()));
}

// os.getpid(), through the module's `os`.
inline mf::Ref current_pid() { return mf::call_method(mf::global("os"_id), "getpid"_id); }

// _load_config().get('workspace', WORKSPACE): the configured workspace or the
// host's default.  WORKSPACE is looked up after the load, as Python would.
inline mf::Ref workspace_setting(const mf::Ref &load_config) {
    mf::Ref config = mf::call(load_config);
    return mf::call_method(config, "get"_id, "workspace"_id, mf::global("WORKSPACE"_id));
}

// os.path.join(CONFIG_DIR, name), with both looked up at call time.
inline mf::Ref config_path(PyObject *name) {
    mf::Ref path = mf::attr(mf::global("os"_id), "path"_id);
    return mf::call_method(path, "join"_id, mf::global("CONFIG_DIR"_id), name);
}

// open(log_file, 'r', encoding='utf-8', errors='ignore'), through the
// module's `open`: how the log views read the server log in Python.
inline mf::Ref open_log(PyObject *log_file) {
    return mf::call_kw(mf::global("open"_id), {log_file, "r"_id},
                       {{"encoding"_id, "utf-8"_id}, {"errors"_id, "ignore"_id}});
}

}  // namespace opsdeck

// Reading log files as open(..., encoding="utf-8", errors="ignore") does:
// utf8_sequence and the line scanner.
#include "scanner.h"

namespace opsdeck {

// The file-system form of a path object (str, bytes or os.PathLike).
std::string fs_path(PyObject *path);  // logs.cpp

// A log line as answered: `line` itself when it is no str or its text
// fits in scanner::kLineLimit bytes of UTF-8, else its start and end around
// the marker of what was left out, as bounded_line cuts (logs.cpp).
mf::Ref bound_line(PyObject *line);

// Reading a FIFO blocks in open() and a device never ends: a log file that
// exists and is neither a regular file nor a directory (which fails on its
// own) raises OSError instead of being opened.  (logs.cpp)
void refuse_special_file(PyObject *log_file);
[[noreturn]] void raise_special_file(PyObject *log_file);

#ifndef _WIN32
// A file descriptor closed when it goes out of scope (-1: none).
struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int fd) : fd(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
    int release() { return std::exchange(fd, -1); }
};

// The log file opened for reading without blocking on a FIFO; 0, an errno
// value, or kSpecialFile when it is neither a regular file nor a directory
// (`st` is its fstat).  Runs without the GIL.  (logs.cpp)
constexpr int kSpecialFile = -1;
int open_log_fd(const char *path, Fd &file, struct stat &st);
#endif

}  // namespace opsdeck
