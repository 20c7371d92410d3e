// POST /api/server/restart: start a successor server and end this process.
//
// The process ends only once a successor has taken over: when the start
// fails the request is answered with the error and this server keeps
// serving, since ending it would leave the user without any server.
//
// Taking over: a host whose server says when it is about to serve offers
// utils.RESTART_TAKEOVER_SECONDS, the longest wait for that word.  The
// successor then inherits the write end of a pipe, named by
// ZETADESK_TAKEOVER_FD, and writes one byte to it; this process ends on
// that byte, and keeps serving when the pipe closes without it (the
// successor died, at import or on a bad setting) or when the time is up,
// stopping a successor that is still silent so that two servers never
// compete for the port.  With a host that offers no such word the successor
// is looked at once, just before the exit half a second after the answer,
// and one that has already died leaves this server running.  Windows has
// no descriptors to pass: there every host is treated the second way.
//
// Handing over the port: a host that also offers utils.RESTART_LISTENER,
// (its listening socket, a function that stops accepting on it), passes
// the socket itself to the successor beside the pipe (ZETADESK_LISTEN_FD),
// so the port is never free for another process to take: the successor
// serves on the same socket without binding, and this process stops
// accepting only on the takeover byte.  It then lets the requests it is
// serving finish, live streams end at their next poll (the page reconnects
// to the successor), and exits.  A successor that fails or stays silent
// leaves the socket with this server, which never stopped accepting.
//
// One restart at a time: a burst of requests (a page that retries, a
// cross-site form posted many times) would otherwise start a successor per
// request, all but one of them fighting for the port.
#include "opsdeck.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <optional>

#ifndef _WIN32
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#endif

namespace opsdeck {
namespace {

using namespace mf;

Site restart_site{"server_restart", __LINE__};
Site exit_site{"server_restart._exit", __LINE__};
Site opener_site{"server_restart._opener", __LINE__};

// Taken by the request that starts a restart, given back when the start
// fails or the successor does not take over.  While taken, `successor`
// holds the Popen of the started successor and, when the host's server
// signals its takeover, `takeover_fd` the read end of the pipe it signals
// on and `takeover_seconds` how long to wait for it.  Native state, so the
// module namespace carries no extra name.
PyMutex restart_lock{};
bool restart_taken = false;
PyObject *successor = nullptr;
int takeover_fd = -1;
double takeover_seconds = 0;
// The host's stop_accepting, when the successor was given the socket.
PyObject *listener_stop = nullptr;
// Set once the successor has the port: this process only finishes what it serves.
std::atomic<bool> port_handed_over{false};

// What the exit thread works on.
struct Handover {
    Ref child;
    int fd = -1;
    double seconds = 0;
    Ref stop;
};

bool take_restart() {
    Locked held(restart_lock);
    return !std::exchange(restart_taken, true);
}

void keep_successor(const Ref &child, int fd, double seconds, const Ref &stop) {
    Locked held(restart_lock);
    Py_XSETREF(successor, Py_NewRef(child.get()));
    Py_XSETREF(listener_stop, Py_XNewRef(stop.get()));
    takeover_fd = fd;
    takeover_seconds = seconds;
}

Handover current_handover() {
    Locked held(restart_lock);
    return {Ref::adopt(Py_XNewRef(successor)), takeover_fd, takeover_seconds,
            Ref::adopt(Py_XNewRef(listener_stop))};
}

// Also runs while an error is pending: dropping the Popen may run its
// finaliser, which must not see that error.  It is dropped after the lock
// is given back, as the finaliser may run any code.
void give_back_restart() noexcept {
    PyObject *child, *stop;
    int fd;
    {
        Locked held(restart_lock);
        child = std::exchange(successor, nullptr);
        stop = std::exchange(listener_stop, nullptr);
        fd = std::exchange(takeover_fd, -1);
        restart_taken = false;
        port_handed_over.store(false);  // this server keeps the port after all
    }
#ifndef _WIN32
    if (fd >= 0) close(fd);
#else
    (void)fd;
#endif
    keeping_pending_error([&] {
        Py_XDECREF(child);
        Py_XDECREF(stop);
    });
}

// The exit waits half a second whatever happens: the framework needs it to
// send the answer.
constexpr double answer_seconds = 0.5;
// A bound beyond a day is taken as a day: the wait must end.
constexpr double longest_takeover = 86400;

// utils.RESTART_TAKEOVER_SECONDS, looked up at each restart as the views do
// with host names; none when the host does not offer it (or on Windows).
std::optional<double> takeover_bound() {
#ifdef _WIN32
    return std::nullopt;
#else
    Ref value = import_optional("utils"_id, "RESTART_TAKEOVER_SECONDS"_id);
    if (!value) return std::nullopt;
    double seconds = PyFloat_AsDouble(value.get());
    if (seconds == -1.0 && PyErr_Occurred()) fail();
    if (std::isnan(seconds) || seconds < answer_seconds) return answer_seconds;
    return std::min(seconds, longest_takeover);
#endif
}

#ifndef _WIN32
// The socket and stop function of utils.RESTART_LISTENER, looked up at each
// restart; none when the host does not offer it.
struct Listener {
    Ref number;  // the socket's descriptor, for pass_fds
    Ref stop;
};

std::optional<Listener> offered_listener() {
    Ref offer = import_optional("utils"_id, "RESTART_LISTENER"_id);
    if (!offer || offer.get() == Py_None) return std::nullopt;
    Ref pair = Ref::steal(PySequence_Fast(offer.get(), "utils.RESTART_LISTENER must be (socket, stop_accepting)"));
    if (PySequence_Fast_GET_SIZE(pair.get()) != 2 || !PyCallable_Check(PySequence_Fast_GET_ITEM(pair.get(), 1)))
        raise(PyExc_TypeError, "utils.RESTART_LISTENER must be (socket, stop_accepting)");
    int fd = PyObject_AsFileDescriptor(PySequence_Fast_GET_ITEM(pair.get(), 0));  // sock.fileno()
    if (fd < 0) fail();
    return Listener{integer(fd), Ref::borrow(PySequence_Fast_GET_ITEM(pair.get(), 1))};
}

enum class Word { taken, closed, silent };

// Waits up to `seconds` for the successor's byte on `fd`, with the
// interpreter released: taken (the byte came), closed (every write end is
// closed without it: the successor has ended or given up) or silent.
Word wait_for_takeover(int fd, double seconds) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration<double>(seconds);
    ssize_t got = -1;
    Py_BEGIN_ALLOW_THREADS
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(std::max<decltype(left)>(left, 0)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready > 0) {
            char byte;
            do got = read(fd, &byte, 1);
            while (got < 0 && errno == EINTR);
        }
        break;
    }
    Py_END_ALLOW_THREADS
    return got > 0 ? Word::taken : got == 0 ? Word::closed : Word::silent;
}
#endif

// child.poll(), or child.wait(timeout) when `seconds` is given: the exit
// status, or none while it runs.  A successor that cannot be asked is taken
// to run.
Ref exit_status(const Ref &child, double seconds = -1) {
    Ref status;
    catch_ordinary([&] {
        if (seconds < 0) {
            status = call_method(child, "poll"_id);
        } else {
            Ref timeout = Ref::steal(PyFloat_FromDouble(seconds));
            status = call_kw(attr(child, "wait"_id), {}, {{"timeout"_id, timeout.get()}});
        }
    });
    return status && status.get() != Py_None ? status : Ref();
}

#ifndef _WIN32
// child.terminate(), then child.kill() if it is still there after a while;
// waited for, so that it leaves no zombie.
void stop(const Ref &child) {
    for (PyObject *how : {"terminate"_id, "kill"_id}) {
        catch_ordinary([&] { call_method(child, how); });
        if (exit_status(child, 5.0)) return;
    }
}
#endif

// Gives the restart back and says why on the output.
void keep_serving(const Ref &line) {
    give_back_restart();
    call(global("print"_id), line);
}

void exit_now() {
    Ref code = integer(0);
    call_method(global("os"_id), "_exit"_id, code);
}

#ifndef _WIN32
// How long the requests this server is serving get to finish once the
// successor has the port: a live stream ends within one poll.
constexpr double finish_seconds = 5;

// The successor serves on the socket: stop accepting on it and finish what
// is under way.  Whatever the host's stop does, the process ends after it.
void hand_over_port(const Ref &stop) {
    port_handed_over.store(true);
    Ref seconds = Ref::steal(PyFloat_FromDouble(finish_seconds));
    if (Ref error = catch_ordinary([&] { call(stop, seconds); })) {
        Ref text = Ref::steal(PyObject_Str(error.get()));
        call(global("print"_id), Ref::steal(PyUnicode_FromFormat("[restart] stop accepting failed: %U", text.get())));
    }
}
#endif

void keep_serving_exited(const Ref &status) {
    keep_serving(Ref::steal(PyUnicode_FromFormat(
        "[restart] successor exited with status %S; this server keeps running", status.get())));
}

PyObject *exit_soon(PyObject *, PyObject *) {
    return boundary(exit_site, [] {
        Ref pause = Ref::steal(PyFloat_FromDouble(answer_seconds));
        call_method(global("time"_id), "sleep"_id, pause);
        Handover h = current_handover();
        if (!h.child) return exit_now();
        if (h.fd < 0) {
            // No word to wait for: only a successor already dead keeps us.
            if (Ref status = exit_status(h.child)) return keep_serving_exited(status);
            return exit_now();
        }
#ifndef _WIN32
        Word word = wait_for_takeover(h.fd, h.seconds - answer_seconds);
        if (word == Word::taken) {
            if (h.stop) hand_over_port(h.stop);
            return exit_now();
        }
        // A closed pipe mostly means the successor is ending: give it a
        // moment to be reaped before calling it silent.
        if (Ref status = exit_status(h.child, word == Word::closed ? 2.0 : -1))
            return keep_serving_exited(status);
        stop(h.child);
        Ref bound = Ref::steal(PyFloat_FromDouble(h.seconds));
        keep_serving(Ref::steal(PyUnicode_FromFormat(
            "[restart] successor did not take over within %S s and was stopped; this server keeps running",
            bound.get())));
#endif
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

// The opener of open_text: os.open(path, flags | O_NOFOLLOW, 0o600).  The
// mode applies only when the file is created, in the same call, so the
// marker and the successor's log never exist readable by others, not even
// for a moment, and the process umask stays as other threads expect it.  A
// symlink at the name is refused rather than followed: the server must
// never write into a file that name points at.
PyObject *open_private(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return boundary(opener_site, [&] {
        if (nargs != 2) raise(PyExc_TypeError, "_opener() takes exactly 2 arguments");
        Ref mode = integer(0600);
#ifdef O_NOFOLLOW
        Ref no_follow = integer(O_NOFOLLOW);
        Ref flags = Ref::steal(PyNumber_Or(args[1], no_follow.get()));
        return call_method(global("os"_id), "open"_id, args[0], flags, mode);
#else
        return call_method(global("os"_id), "open"_id, args[0], args[1], mode);
#endif
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

// Written under a name of this process and renamed into place: a reader
// sees the old marker or the new one, never half, and whatever stands at
// the marker's name (a symlink too) is replaced, not written through.
void write_marker() {
    Ref path = config_path("restart_marker.json"_id);
    Ref pid = current_pid();
    Ref scratch = Ref::steal(PyUnicode_FromFormat("%U.%S.tmp", path.get(), pid.get()));
    try {
        Ref file = open_text(scratch, "w"_id);
        with(file.get(), [&] {
            Ref now = utc_now_isoformat();
            Ref marker = dict({{"pid"_id, pid.get()}, {"time"_id, now.get()}});
            call_method(file, "write"_id, call_method(global("json"_id), "dumps"_id, marker));
        });
        call_method(global("os"_id), "replace"_id, scratch, path);
    } catch (...) {
        translate_current_exception();
        keeping_pending_error([&] { call_method(global("os"_id), "unlink"_id, scratch); });
        throw PyError{};
    }
}

#ifndef _WIN32
// The pipe a successor signals its takeover on.  os.pipe() makes both ends
// non-inheritable: the read end stays here, and the write end reaches the
// successor alone, through Popen's pass_fds, never another child.
struct TakeoverPipe {
    Fd read_end, write_end;
    Ref write_number;  // the write end as os.pipe() gave it
    Ref pass_fds;      // (write_number,)

    void open() {
        Ref ends = call_method(global("os"_id), "pipe"_id);
        Ref r = Ref::steal(PySequence_GetItem(ends.get(), 0));
        Ref w = Ref::steal(PySequence_GetItem(ends.get(), 1));
        read_end.fd = descriptor(r);
        write_end.fd = descriptor(w);
        write_number = w;
        pass_fds = Ref::steal(PyTuple_Pack(1, w.get()));
    }

    static int descriptor(const Ref &number) {
        int fd = PyLong_AsInt(number.get());
        if (fd == -1 && PyErr_Occurred()) fail();
        return fd;
    }
};
#endif

}  // namespace

bool port_handed_over_to_successor() { return port_handed_over.load(std::memory_order_relaxed); }

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
        const std::optional<double> takeover = takeover_bound();
#ifndef _WIN32
        // Without the word the old server could not tell when to stop accepting.
        const std::optional<Listener> listener = takeover ? offered_listener() : std::nullopt;
#endif
        write_marker();
        call(global("log_write"_id), "[SERVER] Restart requested, spawning new process..."_id);
        Ref script = call_method(attr(global("os"_id), "path"_id), "join"_id, global("SERVER_DIR"_id),
                                 "zetadesk_server.py"_id);
        Ref env = call_method(attr(global("os"_id), "environ"_id), "copy"_id);
        set_item(env.get(), "ZETADESK_WORKSPACE"_id, workspace_setting(load_config).get());
        set_item(env.get(), "ZETADESK_PORT"_id, Ref::steal(PyObject_Str(global("PORT"_id).get())).get());
        set_item(env.get(), "ZETADESK_HOST"_id, global("HOST"_id).get());
        // Only a successor given a pipe below may find a descriptor here.
        call_method(env, "pop"_id, "ZETADESK_TAKEOVER_FD"_id, Py_None);
        call_method(env, "pop"_id, "ZETADESK_LISTEN_FD"_id, Py_None);

        bool started = false;
        Ref response;
        Ref error;
        try {
            error = catch_ordinary([&] {
                Ref args = list({attr(global("sys"_id), "executable"_id).get(), script.get()});
                Ref log = open_text(config_path("server.log"_id), "a"_id);
                try {
                    Ref subprocess = global("subprocess"_id);
#ifndef _WIN32
                    TakeoverPipe pipe;
                    if (takeover) {
                        pipe.open();
                        Ref number = Ref::steal(PyObject_Str(pipe.write_number.get()));
                        set_item(env.get(), "ZETADESK_TAKEOVER_FD"_id, number.get());
                        if (listener) {
                            // Passed under its own number.
                            Ref listen_number = Ref::steal(PyObject_Str(listener->number.get()));
                            set_item(env.get(), "ZETADESK_LISTEN_FD"_id, listen_number.get());
                            pipe.pass_fds = Ref::steal(PyTuple_Pack(2, pipe.write_number.get(),
                                                                    listener->number.get()));
                        }
                    }
#endif
                    Ref popen = attr(subprocess, "Popen"_id);
                    Ref merged = attr(subprocess, "STDOUT"_id);
                    Ref child;
#ifndef _WIN32
                    if (takeover)
                        child = call_kw(popen, {args.get()},
                                        {{"env"_id, env.get()},
                                         {"stdout"_id, log.get()},
                                         {"stderr"_id, merged.get()},
                                         {"start_new_session"_id, Py_True},
                                         {"pass_fds"_id, pipe.pass_fds.get()}});
                    else
#endif
                        child = call_kw(popen, {args.get()},
                                        {{"env"_id, env.get()},
                                         {"stdout"_id, log.get()},
                                         {"stderr"_id, merged.get()},
                                         {"start_new_session"_id, Py_True}});
#ifndef _WIN32
                    // Our copy of the write end closes on leaving this
                    // block: then the successor's end alone keeps it open.
                    keep_successor(child, pipe.read_end.release(), takeover.value_or(0),
                                   listener ? listener->stop : Ref());
#else
                    (void)takeover;  // never offered here
                    keep_successor(child, -1, 0, Ref());
#endif
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
