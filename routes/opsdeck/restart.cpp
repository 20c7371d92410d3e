// POST /api/server/restart: start a successor server and end this process.
//
// The process ends only once a successor has been started: when the start
// fails the request is answered with the error and this server keeps
// serving, since ending it would leave the user without any server.  For
// the same reason the successor is looked at once more just before the
// exit, and one that has already died leaves this server running.
//
// One restart at a time: a burst of requests (a page that retries, a
// cross-site form posted many times) would otherwise start a successor per
// request, all but one of them fighting for the port.
#include "opsdeck.h"

namespace opsdeck {
namespace {

using namespace mf;

Site restart_site{"server_restart", __LINE__};
Site exit_site{"server_restart._exit", __LINE__};
Site opener_site{"server_restart._opener", __LINE__};

// Taken by the request that starts a restart, given back when the start
// fails or the successor turns out to have exited.  While taken, `successor`
// holds the Popen of the started successor.  Native state, so the module
// namespace carries no extra name.
PyMutex restart_lock{};
bool restart_taken = false;
PyObject *successor = nullptr;

bool take_restart() {
    Locked held(restart_lock);
    return !std::exchange(restart_taken, true);
}

void keep_successor(const Ref &child) {
    Locked held(restart_lock);
    Py_XSETREF(successor, Py_NewRef(child.get()));
}

Ref current_successor() {
    Locked held(restart_lock);
    return Ref::adopt(Py_XNewRef(successor));
}

// Also runs while an error is pending: dropping the Popen may run its
// finaliser, which must not see that error.  It is dropped after the lock
// is given back, as the finaliser may run any code.
void give_back_restart() noexcept {
    PyObject *child;
    {
        Locked held(restart_lock);
        child = std::exchange(successor, nullptr);
        restart_taken = false;
    }
    keeping_pending_error([&] { Py_XDECREF(child); });
}

PyObject *exit_soon(PyObject *, PyObject *) {
    return boundary(exit_site, [] {
        Ref pause = Ref::steal(PyFloat_FromDouble(0.5));
        call_method(global("time"_id), "sleep"_id, pause);
        // successor.poll(): a successor that cannot be asked is taken to run.
        Ref returncode;
        if (Ref child = current_successor())
            catch_ordinary([&] { returncode = call_method(child, "poll"_id); });
        if (returncode && returncode.get() != Py_None) {
            Ref line = Ref::steal(PyUnicode_FromFormat(
                "[restart] successor exited with status %S; this server keeps running", returncode.get()));
            give_back_restart();
            call(global("print"_id), line);
            return;
        }
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

// The opener of open_text: os.open(path, flags, 0o600).  The mode applies
// only when the file is created, in the same call, so the marker and the
// successor's log never exist readable by others, not even for a moment,
// and the process umask stays as other threads expect it.
PyObject *open_private(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return boundary(opener_site, [&] {
        if (nargs != 2) raise(PyExc_TypeError, "_opener() takes exactly 2 arguments");
        Ref mode = integer(0600);
        return call_method(global("os"_id), "open"_id, args[0], args[1], mode);
    });
}

PyMethodDef opener_def = {"_opener", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_private)),
                          METH_FASTCALL, nullptr};

// open(path, mode, encoding="utf-8", opener=_opener)
Ref open_text(const Ref &path, PyObject *mode) {
    Ref opener = function(&opener_def);
    return call_kw(global("open"_id), {path.get(), mode},
                   {{"encoding"_id, "utf-8"_id}, {"opener"_id, opener.get()}});
}

void write_marker() {
    Ref file = open_text(config_path("restart_marker.json"_id), "w"_id);
    with(file.get(), [&] {
        Ref pid = current_pid();
        Ref now = utc_now_isoformat();
        Ref marker = dict({{"pid"_id, pid.get()}, {"time"_id, now.get()}});
        call_method(file, "write"_id, call_method(global("json"_id), "dumps"_id, marker));
    });
}

}  // namespace

PyObject *server_restart(PyObject *, PyObject *) {
    return boundary(restart_site, [] {
        if (!take_restart()) return error_response("restart already in progress"_id, 409);
        // Given back on every way out except a scheduled exit.
        bool exit_scheduled = false;
        struct GiveBack {
            const bool &keep;
            ~GiveBack() {
                if (!keep) give_back_restart();
            }
        } give_back{exit_scheduled};

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
                    keep_successor(call_kw(attr(subprocess, "Popen"_id), {args.get()},
                                           {{"env"_id, env.get()},
                                            {"stdout"_id, log.get()},
                                            {"stderr"_id, attr(subprocess, "STDOUT"_id).get()},
                                            {"start_new_session"_id, Py_True}}));
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
                keeping_pending_error([&] {
                    schedule_exit();
                    exit_scheduled = true;
                });
                throw PyError{};
            }
            throw;
        }
        if (error) {
            Ref text = Ref::steal(PyObject_Str(error.get()));
            response = error_response(text.get(), 500);
        }
        if (started) {
            schedule_exit();
            exit_scheduled = true;
        }
        return response;
    });
}

}  // namespace opsdeck
