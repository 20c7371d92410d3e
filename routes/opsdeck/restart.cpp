// POST /api/server/restart: start a successor server and end this process.
//
// The process ends only once a successor has been started: when the start
// fails the request is answered with the error and this server keeps
// serving, since ending it would leave the user without any server.
#include "opsdeck.h"

namespace opsdeck {
namespace {

using namespace mf;

Site restart_site{"server_restart", __LINE__};
Site exit_site{"server_restart._exit", __LINE__};

PyObject *exit_soon(PyObject *, PyObject *) {
    return boundary(exit_site, [] {
        Ref pause = Ref::steal(PyFloat_FromDouble(0.5));
        call_method(global("time"_id), "sleep"_id, pause);
        Ref status = integer(0);
        call_method(global("os"_id), "_exit"_id, status);
    });
}

PyMethodDef exit_def = {"_exit", exit_soon, METH_NOARGS, nullptr};

// threading.Thread(target=_exit, daemon=True).start()
void schedule_exit() {
    Ref target = function(&exit_def);
    Ref thread = call_kw(attr(global("threading"_id), "Thread"_id), {},
                         {{"target"_id, target.get()}, {"daemon"_id, Py_True}});
    call_method(thread, "start"_id);
}

// open(path, mode, encoding="utf-8")
Ref open_text(const Ref &path, PyObject *mode) {
    return call_kw(global("open"_id), {path.get(), mode}, {{"encoding"_id, "utf-8"_id}});
}

void write_marker() {
    Ref file = open_text(config_path("restart_marker.json"_id), "w"_id);
    with(file.get(), [&] {
        Ref pid = current_pid();
        Ref utc = attr(global("timezone"_id), "utc"_id);
        Ref now = call_method(call_method(global("datetime"_id), "now"_id, utc), "isoformat"_id);
        Ref marker = dict({{"pid"_id, pid.get()}, {"time"_id, now.get()}});
        call_method(file, "write"_id, call_method(global("json"_id), "dumps"_id, marker));
    });
}

}  // namespace

PyObject *server_restart(PyObject *, PyObject *) {
    return boundary(restart_site, [] {
        auto [load_config] = import_from("utils"_id, "load_config"_id);
        write_marker();
        call(global("log_write"_id), "[SERVER] Restart requested, spawning new process..."_id);
        Ref script = call_method(attr(global("os"_id), "path"_id), "join"_id, global("SERVER_DIR"_id),
                                 "zetadesk_server.py"_id);
        Ref env = call_method(attr(global("os"_id), "environ"_id), "copy"_id);
        set_item(env.get(), "ZETADESK_WORKSPACE"_id, workspace_setting(load_config).get());
        set_item(env.get(), "ZETADESK_PORT"_id, Ref::steal(PyObject_Str(global("PORT"_id).get())).get());
        set_item(env.get(), "ZETADESK_HOST"_id, global("HOST"_id).get());

        bool started = false;
        Ref response;
        Ref error;
        try {
            error = catch_ordinary([&] {
                Ref args = list({attr(global("sys"_id), "executable"_id).get(), script.get()});
                Ref log = open_text(config_path("server.log"_id), "a"_id);
                try {
                    Ref subprocess = global("subprocess"_id);
                    call_kw(attr(subprocess, "Popen"_id), {args.get()},
                            {{"env"_id, env.get()},
                             {"stdout"_id, log.get()},
                             {"stderr"_id, attr(subprocess, "STDOUT"_id).get()},
                             {"start_new_session"_id, Py_True}});
                } catch (...) {
                    translate_current_exception();
                    keeping_pending_error([&] { call_method(log, "close"_id); });
                    throw PyError{};
                }
                started = true;
                // The successor holds its own copy of the log file.
                call_method(log, "close"_id);
                response = jsonify(dict({{"ok"_id, Py_True}, {"message"_id, "Server restarting..."_id}}));
            });
        } catch (...) {
            // Not an ordinary error: a started successor still takes over.
            if (started) {
                translate_current_exception();
                keeping_pending_error([] { schedule_exit(); });
                throw PyError{};
            }
            throw;
        }
        if (error) {
            Ref text = Ref::steal(PyObject_Str(error.get()));
            Ref status = integer(500);
            response = Ref::steal(PyTuple_Pack(
                2, jsonify(dict({{"ok"_id, Py_False}, {"error"_id, text.get()}})).get(), status.get()));
        }
        if (started) schedule_exit();
        return response;
    });
}

}  // namespace opsdeck
