"""POST /api/server/restart: a real successor, a real exit once it has taken
over, and the failures that must leave the server running."""

from http.client import HTTPConnection
import json
import os
import socket
import subprocess
import sys
import threading
import time
import types

import pytest

import routes.opsdeck as opsdeck
from conftest import (ROOT, SLOW, LiveServer, Recorder, environ_of, http, listening_pids, process_gone,
                      server_tree, stop_process, wait_for)


def test_restart_spawns_a_successor_and_ends_with_status_0(tmp_path):
    server = LiveServer(str(tmp_path), extra_env={"ZETADESK_TEST_INHERITED": "kept"}).wait_ready()
    workspace = str(tmp_path / "configured-workspace")
    with open(os.path.join(server.config_dir, "config.json"), "w") as f:
        json.dump({"workspace": workspace}, f)
    successor = None
    try:
        old_pid = server.proc.pid
        assert http("POST", server.url + "/api/server/restart") == (
            200, {"ok": True, "message": "Server restarting..."})
        asked = time.monotonic()
        assert server.proc.wait(timeout=SLOW) == 0  # once the successor has taken over
        assert time.monotonic() - asked >= 0.3  # the answer had its half second

        with open(os.path.join(server.config_dir, "restart_marker.json"), encoding="utf-8") as f:
            marker_text = f.read()
        marker = json.loads(marker_text)
        assert list(marker) == ["pid", "time"] and marker["pid"] == old_pid
        assert marker_text == json.dumps(marker) and marker["time"].endswith("+00:00")

        # The successor writes into server.log, among others its own listen line.
        successor = wait_for(lambda: listening_pids(server.log_path), timeout=SLOW)[-1]
        assert successor != old_pid
        wait_for(lambda: http("GET", server.url + "/api/health", timeout=1)[0] == 200, timeout=SLOW)
        assert os.getsid(successor) == successor  # its own session
        env = environ_of(successor)
        assert env["ZETADESK_PORT"] == str(server.port)
        assert env["ZETADESK_HOST"] == "127.0.0.1"
        assert env["ZETADESK_WORKSPACE"] == workspace
        assert env["ZETADESK_TEST_INHERITED"] == "kept"
        assert env["ZETADESK_CONFIG_DIR"] == server.config_dir
    finally:
        stop_process(successor)
        server.stop()


def test_failed_start_answers_500_and_keeps_serving(tmp_path):
    server = LiveServer(str(tmp_path)).wait_ready()
    try:
        os.mkdir(server.log_path)  # the successor's output cannot be opened
        status, answer = http("POST", server.url + "/api/server/restart")
        assert status == 500 and answer["ok"] is False
        assert answer["error"] == f"[Errno 21] Is a directory: '{server.log_path}'"
        time.sleep(1.2)
        assert server.proc.poll() is None
        assert http("GET", server.url + "/api/health")[0] == 200
        # The request was logged through the host's buffer.
        status, answer = http("POST", server.url + "/api/server/logs", {"count": 5})
        assert answer["source"] == "memory"
        assert answer["lines"][-1].endswith(" [SERVER] Restart requested, spawning new process...")
    finally:
        server.stop()


@pytest.fixture
def no_exit(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(opsdeck, "threading", recorder)
    return recorder


def test_successor_start_in_process(host, client, no_exit, monkeypatch, tmp_path, capsys):
    # A stand-in server script that reports its command line and environment.
    server_dir = tmp_path / "server"
    server_dir.mkdir()
    (server_dir / "zetadesk_server.py").write_text(
        "import json, os, sys\n"
        "print(json.dumps({'argv': sys.argv, 'sid': os.getsid(0) == os.getpid(),"
        " 'env': {k: v for k, v in os.environ.items() if k.startswith('ZETADESK_')}}))\n")
    monkeypatch.setattr(opsdeck, "SERVER_DIR", str(server_dir))
    monkeypatch.setattr(opsdeck, "PORT", 4711)
    monkeypatch.setattr(opsdeck, "HOST", "")
    handed = []
    real_popen = subprocess.Popen

    def popen(*args, **kwargs):
        handed.append(kwargs["stdout"])
        child = real_popen(*args, **kwargs)
        child.wait(10)
        return child

    monkeypatch.setattr(opsdeck, "subprocess", types.SimpleNamespace(Popen=popen, STDOUT=subprocess.STDOUT))
    with open(os.path.join(host.CONFIG_DIR, "server.log"), "w") as f:
        f.write("earlier\n")

    resp = client.post("/api/server/restart")
    assert (resp.status_code, resp.get_json()) == (200, {"ok": True, "message": "Server restarting..."})
    assert handed[0].closed  # the parent's copy of the log file
    (thread,) = no_exit.threads
    assert thread.started and thread.kwargs["daemon"] is True
    target = thread.kwargs["target"]
    assert target.__name__ == "_exit" and target.__doc__ is None

    with open(os.path.join(host.CONFIG_DIR, "server.log")) as f:
        earlier, report = f.read().splitlines()
    report = json.loads(report)
    assert earlier == "earlier"
    assert report["argv"] == [str(server_dir / "zetadesk_server.py")] and report["sid"]
    assert report["env"]["ZETADESK_PORT"] == "4711" and report["env"]["ZETADESK_HOST"] == ""
    assert report["env"]["ZETADESK_WORKSPACE"] == host.WORKSPACE
    assert host._log_buffer[-1]["text"] == "[SERVER] Restart requested, spawning new process..."

    # That successor has already ended: the exit thread keeps this server and
    # restarts are accepted again.
    capsys.readouterr()
    target()
    assert capsys.readouterr().out.endswith(
        "[restart] successor exited with status 0; this server keeps running\n")


def test_unstartable_successor_schedules_no_exit(host, client, no_exit, monkeypatch):
    monkeypatch.setattr(opsdeck, "sys", types.SimpleNamespace(executable="/nonexistent/python"))
    ours = pipe_ends("self")
    resp = client.post("/api/server/restart")
    assert resp.status_code == 500
    assert resp.get_json() == {"ok": False, "error": "[Errno 2] No such file or directory: '/nonexistent/python'"}
    assert no_exit.threads == []
    assert pipe_ends("self") == ours  # the takeover pipe is closed again
    # A HOST that is not text cannot go into the environment either.
    monkeypatch.setattr(opsdeck, "sys", sys)
    monkeypatch.setattr(opsdeck, "HOST", None)
    resp = client.post("/api/server/restart")
    assert resp.status_code == 500 and resp.get_json()["ok"] is False
    assert no_exit.threads == []


def test_missing_config_dir_fails_before_anything_starts(host, client, no_exit, monkeypatch, tmp_path):
    monkeypatch.setattr(opsdeck, "CONFIG_DIR", str(tmp_path / "missing"))
    resp = client.post("/api/server/restart")
    assert resp.status_code == 500 and "restart_marker.json" in resp.get_json()["error"]
    assert no_exit.threads == [] and len(host._log_buffer) == 0


# ---- taking over: the old server ends once its successor says so ------------

REAL_SERVER = open(os.path.join(ROOT, "zetadesk_server.py"), encoding="utf-8").read()


def replace_script(server_dir, text):
    """What the next restart of a server started from `server_dir` runs."""
    tmp = os.path.join(server_dir, "zetadesk_server.py.new")
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, os.path.join(server_dir, "zetadesk_server.py"))


def output_lines(server):
    with open(os.path.join(os.path.dirname(server.config_dir), "stdout.log"), encoding="utf-8",
              errors="replace") as f:
        return f.read().splitlines()


def listener_inodes(port):
    """Inodes of the sockets listening on 127.0.0.1:`port`."""
    with open("/proc/net/tcp", encoding="ascii") as f:
        rows = [row.split() for row in f.readlines()[1:]]
    return [row[9] for row in rows if row[1] == f"0100007F:{port:04X}" and row[3] == "0A"]


def restart_kept(server, expected, before=None):
    """A restart whose successor never takes over: the old server answers as
    usual, keeps serving while it waits and after, on the same socket, and
    says `expected`.  `before`: the restart was asked for already, when the
    output had that many lines."""
    pid = server.proc.pid
    socket_before = listener_inodes(server.port)
    if before is None:
        before = len(output_lines(server))
        assert http("POST", server.url + "/api/server/restart") == (
            200, {"ok": True, "message": "Server restarting..."})
    assert http("GET", server.url + "/api/server/status")[1]["pid"] == pid
    said = wait_for(lambda: [line for line in output_lines(server)[before:] if line.startswith("[restart] ")],
                    timeout=SLOW)
    assert said == [f"[restart] {expected}; this server keeps running"]
    assert server.proc.poll() is None
    assert http("GET", server.url + "/api/server/status")[1]["pid"] == pid
    assert listener_inodes(server.port) == socket_before


def restart_taken_over(server, server_dir):
    """A restart of the real server: the old one ends with status 0 and the
    new one serves, on the same socket."""
    replace_script(server_dir, REAL_SERVER)
    old = server.proc.pid
    socket_before = listener_inodes(server.port)
    before = len(output_lines(server))
    assert http("POST", server.url + "/api/server/restart")[0] == 200
    assert server.proc.wait(timeout=SLOW) == 0
    successor = wait_for(lambda: [p for p in listening_pids(server.log_path) if p != old], timeout=SLOW)[-1]
    wait_for(lambda: http("GET", server.url + "/api/server/status", timeout=2)[1]["pid"] == successor,
             timeout=SLOW)
    assert not [line for line in output_lines(server)[before:] if line.startswith("[restart] ")]
    assert listener_inodes(server.port) == socket_before
    return successor


def started_from(server_dir):
    """Pids of the live processes running zetadesk_server.py of `server_dir`."""
    script = os.path.join(server_dir, "zetadesk_server.py").encode()
    found = set()
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                if script in f.read().split(b"\0") and not process_gone(int(entry)):
                    found.add(int(entry))
        except (FileNotFoundError, ProcessLookupError, PermissionError, NotADirectoryError, ValueError):
            continue
    return found


def test_successors_that_end_before_taking_over_leave_the_server_serving(tmp_path):
    server_dir = server_tree(tmp_path / "server")
    server = LiveServer(str(tmp_path), server_dir=server_dir).wait_ready()
    try:
        for seconds, status in ((0, 3), (1, 4), (5, 5)):
            replace_script(server_dir, f"import sys, time\ntime.sleep({seconds})\nsys.exit({status})\n")
            restart_kept(server, f"successor exited with status {status}")
        restart_taken_over(server, server_dir)  # accepted again, and works
    finally:
        for pid in started_from(server_dir):  # failed or not, none outlives the test
            stop_process(pid)
        server.stop()


def test_silent_successor_is_stopped_after_the_bound(tmp_path):
    server_dir = server_tree(tmp_path / "server")
    server = LiveServer(str(tmp_path), server_dir=server_dir,
                        extra_env={"ZETADESK_TAKEOVER_SECONDS": "3"}).wait_ready()
    silent = set()
    try:
        replace_script(server_dir, "import time\ntime.sleep(600)\n")
        old = {server.proc.pid}
        wait_for(lambda: started_from(server_dir) == old)
        before = len(output_lines(server))
        assert http("POST", server.url + "/api/server/restart")[0] == 200
        silent = started_from(server_dir) - old  # started before the answer
        assert len(silent) == 1
        restart_kept(server, "successor did not take over within 3.0 s and was stopped", before)
        assert started_from(server_dir) == old
        replace_script(server_dir, "import sys\nsys.exit(6)\n")
        restart_kept(server, "successor exited with status 6")  # accepted again
    finally:
        for pid in started_from(server_dir) | silent:
            stop_process(pid)
        server.stop()


# Another user's process binding the port as soon as it is free.
SQUATTER = """
import socket, sys, time
deadline = time.monotonic() + float(sys.argv[2])
while time.monotonic() < deadline:
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("127.0.0.1", int(sys.argv[1])))
        except OSError:
            continue
        print("bound", flush=True)
        s.listen()
        time.sleep(max(0, deadline - time.monotonic()))
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root to run the squatter as another user")
def test_port_is_never_free_across_restarts(tmp_path):
    server = LiveServer(str(tmp_path)).wait_ready()
    squatter = subprocess.Popen(["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", sys.executable,
                                 "-c", SQUATTER, str(server.port), str(30 * SLOW)],
                                cwd="/", stdout=subprocess.PIPE, text=True)
    pids, answers, failures, done = [server.proc.pid], [], [], threading.Event()

    def client():  # one request after another, each its own connection
        while not done.is_set():
            try:
                answers.append(http("GET", server.url + "/api/server/status", timeout=SLOW)[1]["pid"])
            except Exception as e:
                failures.append(repr(e))

    polling = threading.Thread(target=client)
    polling.start()
    try:
        listening = listener_inodes(server.port)
        for _ in range(10):
            stream = HTTPConnection("127.0.0.1", server.port, timeout=SLOW)
            stream.request("GET", "/api/server/logs/stream", headers=server.auth)
            assert http("POST", server.url + "/api/server/restart")[0] == 200
            events = stream.getresponse()  # its first event, or its end, sends the headers
            pids.append(wait_for(lambda: (pid := http("GET", server.url + "/api/server/status")[1]["pid"]) != pids[-1]
                                 and pid, timeout=SLOW))
            events.read()  # the stream ends with its last chunk, not cut off
            stream.close()
            wait_for(lambda: process_gone(pids[-2]), timeout=SLOW)
            assert listener_inodes(server.port) == listening
        assert server.proc.wait(timeout=SLOW) == 0
        assert squatter.poll() is None  # it tried all along
    finally:
        done.set()
        polling.join(SLOW)
        squatter.kill()
        stop_process(pids[-1])
        server.stop()
    assert squatter.communicate(timeout=SLOW)[0] == ""
    assert failures == [] and len(answers) > 10 and set(answers) <= set(pids)


def test_slow_successor_is_waited_for(tmp_path):
    server_dir = server_tree(tmp_path / "server")
    server = LiveServer(str(tmp_path), server_dir=server_dir).wait_ready()
    try:
        # Three seconds before it even starts to come up.
        replace_script(server_dir, "import time\ntime.sleep(3)\n" + REAL_SERVER)
        old = server.proc.pid
        assert http("POST", server.url + "/api/server/restart")[0] == 200
        time.sleep(1.5)  # past the half second after which a restart used to end
        assert server.proc.poll() is None
        assert http("GET", server.url + "/api/server/status")[1]["pid"] == old
        assert server.proc.wait(timeout=SLOW) == 0
        successor = wait_for(lambda: [p for p in listening_pids(server.log_path) if p != old], timeout=SLOW)[-1]
        wait_for(lambda: http("GET", server.url + "/api/server/status", timeout=2)[1]["pid"] == successor,
                 timeout=SLOW)
    finally:
        for pid in started_from(server_dir):  # failed or not, none outlives the test
            stop_process(pid)
        server.stop()


# ---- the same in-process: what the successor gets, what the exit does --------


class Exited(BaseException):
    """Raised in place of os._exit, so the test process survives the exit."""


class ExitingOs:
    """The module's os, with os._exit raising Exited."""

    def __init__(self):
        self.exits = []

    def __getattr__(self, name):
        return getattr(os, name)

    def _exit(self, status):
        self.exits.append(status)
        raise Exited(status)


@pytest.fixture
def successors(host, no_exit, monkeypatch, tmp_path):
    """In-process restarts that start `successors.script` for real; every
    Popen call's keywords and child are kept, and leftovers stopped."""
    server_dir = tmp_path / "server"
    server_dir.mkdir()
    monkeypatch.setattr(opsdeck, "SERVER_DIR", str(server_dir))
    exiting = ExitingOs()
    monkeypatch.setattr(opsdeck, "os", exiting)
    started = types.SimpleNamespace(calls=[], threads=no_exit.threads,
                                    script=lambda text: (server_dir / "zetadesk_server.py").write_text(text))

    def popen(*args, **kwargs):
        child = subprocess.Popen(*args, **kwargs)
        started.calls.append((kwargs, child))
        return child

    monkeypatch.setattr(opsdeck, "subprocess", types.SimpleNamespace(Popen=popen, STDOUT=subprocess.STDOUT))
    yield started
    for _, child in started.calls:
        if child.poll() is None:
            child.kill()
            child.wait(10)
    if exiting.exits:
        # This process lives on, still restarting: with its successor gone,
        # the exit thread gives the restart back.
        started.threads[-1].kwargs["target"]()


def pipe_ends(pid):
    """{pipe inode: [descriptors]} of the pipes process `pid` holds."""
    ends = {}
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except FileNotFoundError:
            continue
        if target.startswith("pipe:"):
            ends.setdefault(target, []).append(int(fd))
    return ends


SILENT = "import time\ntime.sleep(600)\n"


def test_takeover_pipe_reaches_the_successor_alone_and_is_closed_after(successors, host, client, monkeypatch,
                                                                       capsys):
    monkeypatch.setattr(host, "RESTART_TAKEOVER_SECONDS", 1.5)
    monkeypatch.setenv("ZETADESK_TAKEOVER_FD", "99")  # this server's own, long closed
    successors.script(SILENT)
    ours = pipe_ends("self")
    assert client.post("/api/server/restart").status_code == 200
    (kwargs, child), = successors.calls
    fd = int(kwargs["env"]["ZETADESK_TAKEOVER_FD"])
    assert kwargs["pass_fds"] == (fd,)
    pipe = os.readlink(f"/proc/{child.pid}/fd/{fd}")
    assert pipe.startswith("pipe:")
    # The successor holds the write end, under the number it was told.
    wait_for(lambda: pipe_ends(child.pid).get(pipe) == [fd])
    # Here only the read end is left, and no other child gets it.
    (read_end,) = pipe_ends("self")[pipe]
    assert not os.get_inheritable(read_end)
    other = subprocess.run(["ls", "-l", "/proc/self/fd/"], capture_output=True, text=True, close_fds=False)
    assert pipe not in other.stdout

    capsys.readouterr()
    successors.threads[0].kwargs["target"]()  # returns: this server keeps running
    assert capsys.readouterr().out == (
        "[restart] successor did not take over within 1.5 s and was stopped; this server keeps running\n")
    assert child.returncode is not None  # stopped and reaped
    assert pipe_ends("self") == ours  # nothing left open

    # Accepted again; a successor that closes the pipe by ending is told apart.
    successors.script("import sys\nsys.exit(7)\n")
    monkeypatch.setattr(host, "RESTART_TAKEOVER_SECONDS", SLOW)  # however slowly it starts
    assert client.post("/api/server/restart").status_code == 200
    capsys.readouterr()
    successors.threads[1].kwargs["target"]()
    assert capsys.readouterr().out == "[restart] successor exited with status 7; this server keeps running\n"
    assert pipe_ends("self") == ours


def test_host_without_the_word_exits_after_half_a_second(successors, host, client, monkeypatch):
    monkeypatch.delattr(host, "RESTART_TAKEOVER_SECONDS")
    monkeypatch.setenv("ZETADESK_TAKEOVER_FD", "99")
    successors.script(SILENT)
    ours = pipe_ends("self")
    assert client.post("/api/server/restart").status_code == 200
    (kwargs, child), = successors.calls
    assert "pass_fds" not in kwargs and "ZETADESK_TAKEOVER_FD" not in kwargs["env"]
    assert pipe_ends("self") == ours
    with pytest.raises(Exited) as exited:
        successors.threads[0].kwargs["target"]()  # does not wait for a word it will never get
    assert exited.value.args == (0,) and child.poll() is None


@pytest.mark.parametrize("name, value", [("RESTART_TAKEOVER_SECONDS", "soon"), ("RESTART_LISTENER", (0, None)),
                                         ("RESTART_LISTENER", (-1, print)), ("RESTART_LISTENER", "socket")])
def test_unusable_offer_fails_before_anything_starts(successors, host, client, monkeypatch, name, value):
    monkeypatch.setattr(host, name, value, raising=False)
    resp = client.post("/api/server/restart")
    assert resp.status_code == 500 and resp.get_json()["ok"] is False
    assert successors.calls == [] and successors.threads == []
    assert not os.path.exists(os.path.join(host.CONFIG_DIR, "restart_marker.json"))
    monkeypatch.delattr(host, "RESTART_LISTENER", raising=False)
    monkeypatch.setattr(host, "RESTART_TAKEOVER_SECONDS", 1.0)
    successors.script("import sys\nsys.exit(0)\n")
    assert client.post("/api/server/restart").status_code == 200  # given back
    successors.threads[0].kwargs["target"]()  # and, that successor gone, given back again


# ---- the stand-in's side: the word, then the port ----------------------------


def test_stand_in_binds_as_soon_as_the_port_is_free(app):
    import zetadesk_server
    holder = socket.create_server(("127.0.0.1", 0))
    port = holder.getsockname()[1]
    with pytest.raises(SystemExit):  # held all along: werkzeug's own report, at the end
        zetadesk_server._bind(app, "127.0.0.1", port, wait_seconds=0.3)
    threading.Timer(0.5, holder.close).start()
    server = zetadesk_server._bind(app, "127.0.0.1", port, wait_seconds=SLOW)
    try:
        assert server.port == port
    finally:
        server.server_close()
