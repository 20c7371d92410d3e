// routes.opsdeck: the server-management API.  One file per endpoint group;
// module.cpp holds the module body and the route table.
#pragma once

#include "modframe.h"

#include <string>

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
}  // namespace originals

// Registers the check that runs before every view on `bp` (guard.cpp).
void register_guard();

// jsonify(mapping), looked up at call time like every module global.
inline mf::Ref jsonify(const mf::Ref &value) { return mf::call(mf::global("jsonify"_id), value); }

// (jsonify({"ok": False, "error": text}), status): an answer that refuses.
inline mf::Ref error_response(PyObject *text, int status) {
    mf::Ref body = jsonify(mf::dict({{"ok"_id, Py_False}, {"error"_id, text}}));
    mf::Ref code = mf::integer(status);
    return mf::Ref::steal(PyTuple_Pack(2, body.get(), code.get()));
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

// ---- reading log files as open(..., encoding="utf-8", errors="ignore") does ----

// The UTF-8 sequence at p: its length (1 to 4) when valid; 0 when the byte at
// p starts no valid sequence (the decoder drops that byte and looks again at
// the next one); -1 when the bytes up to `end` are a valid but unfinished
// prefix, which more data may complete.  Surrogates and overlong forms are
// invalid, as in CPython's decoder.
inline int utf8_sequence(const unsigned char *p, const unsigned char *end) noexcept {
    const unsigned char b = *p;
    if (b < 0x80) return 1;
    int need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 1;
    } else if (b == 0xE0) {
        need = 2, lo = 0xA0;
    } else if (b == 0xED) {
        need = 2, hi = 0x9F;
    } else if (b >= 0xE1 && b <= 0xEF) {
        need = 2;
    } else if (b == 0xF0) {
        need = 3, lo = 0x90;
    } else if (b == 0xF4) {
        need = 3, hi = 0x8F;
    } else if (b >= 0xF1 && b <= 0xF3) {
        need = 3;
    } else {
        return 0;
    }
    for (int i = 1; i <= need; ++i) {
        if (p + i >= end) return -1;
        const unsigned char c = p[i];
        if (i == 1 ? (c < lo || c > hi) : (c & 0xC0) != 0x80) return 0;
    }
    return need + 1;
}

// The file-system form of a path object (str, bytes or os.PathLike).
std::string fs_path(PyObject *path);  // logs.cpp

}  // namespace opsdeck
