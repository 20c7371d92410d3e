"""The host application stand-in: configuration storage, log buffer, error
wrapper, addresses, git authentication refresh and the server process."""

import json
import os
import shutil
import socket
import stat
import subprocess
import threading
import time
import types

import pytest

from conftest import PYTHON, LiveServer, http, run_python, wait_for
from credential_common import PROGRAM, TOKEN, save
from test_logs_stream import settled_thread_count, thread_count


def test_config_round_trip_and_atomic_save(host):
    assert host.load_config() == {}
    doc = {"github_token": "tok", "workspace": "/w", "nested": {"a": [1, "é"]}}
    host.save_config(doc)
    assert host.load_config() == doc
    assert host.load_config() is not host.load_config()  # caller's own mapping
    # Only the document is left in the directory: no temporary files.
    assert os.listdir(host.CONFIG_DIR) == ["config.json"]


def test_readers_never_see_a_partial_document(host):
    host.save_config({"k": "x" * 200_000})
    stop = threading.Event()
    errors = []

    def reader():
        while not stop.is_set():
            try:
                host.load_config()
            except Exception as e:  # a torn read would fail to parse
                errors.append(e)

    t = threading.Thread(target=reader)
    t.start()
    for i in range(30):
        host.save_config({"k": str(i) * 200_000})
    stop.set()
    t.join(10)
    assert errors == []


@pytest.mark.parametrize("content", ["{not json", "[1, 2]", "\xff"])
def test_damaged_config_is_an_error_not_an_empty_document(host, content):
    with open(host.CONFIG_FILE, "w", encoding="latin-1") as f:
        f.write(content)
    with pytest.raises(ValueError):
        host.load_config()


def test_log_write_records_bounded_entries(host, capsys):
    for i in range(host.LOG_BUFFER_SIZE + 5):
        host.log_write(f"line {i}")
    assert len(host._log_buffer) == host.LOG_BUFFER_SIZE
    assert host._log_buffer[-1]["text"] == f"line {host.LOG_BUFFER_SIZE + 4}"
    assert host._log_buffer[0]["text"] == "line 5"
    assert set(host._log_buffer[0]) == {"time", "text"}
    assert capsys.readouterr().out.endswith(f"line {host.LOG_BUFFER_SIZE + 4}\n")


def test_handle_error_keeps_name_and_answers_500(app, host):
    def boom():
        raise KeyError("nope")

    wrapped = host.handle_error(boom)
    assert wrapped.__name__ == "boom" and wrapped.__wrapped__ is boom
    with app.test_request_context():
        resp, status = wrapped()
    assert status == 500 and resp.get_json() == {"ok": False, "error": "'nope'"}


def test_display_addresses_are_triples(host, monkeypatch):
    monkeypatch.setattr(host, "HOST", "127.0.0.1")
    assert host.get_display_addresses() == [("127.0.0.1", socket.AF_INET, "configured")]
    monkeypatch.setattr(host, "HOST", "0.0.0.0")
    addresses = host.get_display_addresses()
    assert ("127.0.0.1", socket.AF_INET, "local") in addresses
    assert all(len(a) == 3 for a in addresses)


def _git(*args, cwd):
    return subprocess.run(["git", *args], cwd=cwd, capture_output=True, text=True, check=True).stdout


def test_refresh_points_each_repository_at_the_helper(host, tmp_path, monkeypatch):
    import routes.git as git_routes
    workspace = tmp_path / "workspace"
    for name in ("alpha", "beta"):
        (workspace / name).mkdir(parents=True)
        _git("init", "-q", cwd=workspace / name)
    (workspace / "plain").mkdir()
    host.save_config({"workspace": str(workspace)})
    _git("config", "credential.helper", "store", cwd=workspace / "beta")

    assert git_routes._refresh_all_project_git_auth("tok") == 2
    for name in ("alpha", "beta"):
        assert _git("config", "--get-all", "credential.helper", cwd=workspace / name).split() \
            == [git_routes.HELPER_PATH]
    # Already pointed: nothing changes the second time.
    assert git_routes._refresh_all_project_git_auth("tok") == 0


# Environments whose paths hold what the shell would read as syntax.
VENV_NAMES = ["with space", "it's", 'say "hi"', "v;touch PWNED;x", "v$(touch PWNED)x", "$HOME", "back\\slash",
              "tick`touch PWNED`", "all ' \" ; $ \\ & | < > * ? ~ # !x"]


def test_helper_paths_reach_git_exactly(host, tmp_path, monkeypatch):
    import routes.git as git_routes
    workspace, home = tmp_path / "workspace", tmp_path / "home"
    (home / ".zetadesk").mkdir(parents=True)
    save(home)
    repo = workspace / "project"
    repo.mkdir(parents=True)
    _git("init", "-q", cwd=repo)
    host.save_config({"workspace": str(workspace)})
    env = {"HOME": str(home), "PATH": "/usr/bin:/bin", "GIT_CONFIG_NOSYSTEM": "1", "GIT_TERMINAL_PROMPT": "0"}
    for name in VENV_NAMES:
        venv = tmp_path / "venvs" / name
        subprocess.run([PYTHON, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)],
                       check=True, capture_output=True, timeout=60)
        # The program finds its module through its own location, links included.
        os.symlink(PROGRAM, venv / "bin" / "git-credential-zetadesk")
        monkeypatch.setattr(git_routes, "HELPER_PATH", str(venv / "bin" / "git-credential-zetadesk"))
        assert git_routes._refresh_all_project_git_auth("tok") == 1, name
        fill = subprocess.run(["git", "credential", "fill"], cwd=repo, env=env, capture_output=True, text=True,
                              input="protocol=https\nhost=github.com\n\n", timeout=30)
        assert (fill.returncode, fill.stderr) == (0, ""), name
        assert f"username=x-access-token\npassword={TOKEN}\n" in fill.stdout, name
        assert not any(p.name == "PWNED" for p in tmp_path.rglob("PWNED")), name


def test_plain_helper_paths_stay_as_they_are():
    import routes.git as git_routes
    for path in ("/usr/local/bin/git-credential-zetadesk", "/home/u/.venv-3.14/bin/git-credential-zetadesk",
                 "/data/data/com.termux/files/usr/bin/git-credential-zetadesk", "/a/b@c,d=e+f%g:h"):
        assert git_routes._helper_value(path) == path
    # Relative to the repository git runs in: never written.
    with pytest.raises(ValueError, match="not absolute"):
        git_routes._helper_value("relative/x")


@pytest.mark.parametrize("path_entries,found", [(".", "TMP/elsewhere/bin"), ("", "TMP/elsewhere/bin"),
                                                 ("bin:.:", "TMP/elsewhere/bin"), ("TMP/bin", "TMP/bin")])
def test_helper_found_on_path_only_by_absolute_directories(tmp_path, monkeypatch, path_entries, found):
    import routes.git as git_routes
    for where in (tmp_path, tmp_path / "bin"):
        where.mkdir(exist_ok=True)
        (where / git_routes.HELPER_NAME).write_text("#!/bin/sh\n")
        (where / git_routes.HELPER_NAME).chmod(0o755)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PATH", path_entries.replace("TMP", str(tmp_path)))
    monkeypatch.setattr(git_routes, "SERVER_DIR", str(tmp_path / "elsewhere"))  # no tree, no installation
    assert git_routes._helper_path() == os.path.join(found.replace("TMP", str(tmp_path)), git_routes.HELPER_NAME)


def _listening(port):
    """Local addresses of the TCP sockets listening on `port` (IPv4 and IPv6)."""
    found = set()
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        with open(table) as f:
            for row in f.readlines()[1:]:
                local, state = row.split()[1], row.split()[3]
                address, hex_port = local.split(":")
                if state == "0A" and int(hex_port, 16) == port:
                    raw = bytes.fromhex(address)
                    if len(raw) == 4:
                        found.add(socket.inet_ntop(socket.AF_INET, raw[::-1]))
                    else:
                        words = b"".join(raw[i:i + 4][::-1] for i in range(0, 16, 4))
                        found.add(socket.inet_ntop(socket.AF_INET6, words))
    return found


@pytest.mark.parametrize("value", ["", None], ids=["empty", "unset"])
def test_empty_or_unset_host_listens_on_loopback_only(tmp_path, value):
    server = LiveServer(str(tmp_path), extra_env={"ZETADESK_HOST": value})
    try:
        server.wait_ready()
        assert _listening(server.port) == {"127.0.0.1"}
    finally:
        server.stop()


def test_server_process_serves_health_and_logs_its_start(live_server):
    status, body = http("GET", live_server.url + "/api/health")
    assert status == 200
    assert body == {"status": "ok", "version": "1.0.0", "port": live_server.port}
    with open(os.path.join(os.path.dirname(live_server.config_dir), "stdout.log"), encoding="utf-8") as f:
        assert f"listening on http://127.0.0.1:{live_server.port}" in f.read()


@pytest.mark.parametrize("value,bound", [("", 15.0), ("2.5", 2.5), ("off", None), ("15s", None)])
def test_restart_takeover_bound_from_the_environment(value, bound):
    code = "import utils; print(getattr(utils, 'RESTART_TAKEOVER_SECONDS', None))"
    result = run_python(code, env={"ZETADESK_TAKEOVER_SECONDS": value})
    # A value that is no number leaves the takeover out, said once; the server still starts.
    assert (result.returncode, result.stdout) == (0, f"{bound}\n")
    assert ("is not a number" in result.stderr) == (value == "15s")


# ---- the configuration directory, login codes --------------------------------


@pytest.mark.parametrize("owner,mode,refused", [
    (None, None, None), (0, 0o755, None), (65534, 0o700, "belongs to uid 65534, not to this user"),
    (0, 0o770, "is writable by group or others (mode 770)"), (0, 0o702, "is writable by group or others (mode 702)"),
])
def test_configuration_directory_is_the_users_alone(tmp_path, owner, mode, refused):
    if owner and os.getuid() != 0:
        pytest.skip("needs root to give a directory away")
    config = tmp_path / "config"
    if mode is not None:
        config.mkdir(mode)
        config.chmod(mode)
        os.chown(config, owner or os.getuid(), -1)
        (config / "config.json").write_text('{"allowed_hosts": ["evil.example"], "github_token": "planted"}')
    # Under umask 000, as reported; `login` mints a code and ends.
    code = "import os, sys; os.umask(0); sys.argv[1:] = ['login']; import zetadesk_server; zetadesk_server.main()"
    result = run_python(code, env={"ZETADESK_CONFIG_DIR": str(config)})
    if refused:
        assert (result.returncode, result.stdout, sorted(os.listdir(config))) == (1, "", ["config.json"])
        assert result.stderr.startswith(f"[SERVER] configuration directory {config} ") and refused in result.stderr
        assert "refusing to start" in result.stderr and "Traceback" not in result.stderr
    else:
        assert result.returncode == 0 and result.stdout.startswith("http://127.0.0.1:8765/#code=")
        assert [oct(p.stat().st_mode & 0o777) for p in (config, config / "login")] == [oct(mode or 0o700), "0o700"]


@pytest.mark.parametrize("case", ["fresh", "used", "wrong", "expired", "not-text", "no-body"])
def test_login_code_is_traded_once_for_the_token(app, host, tmp_path, monkeypatch, case):
    monkeypatch.setattr(host, "LOGIN_DIR", str(tmp_path / "config" / "login"))
    code = host.new_login_code()
    login = lambda body: app.test_client().post("/login", **({"json": body} if body else {}))  # noqa: E731
    if case == "used":
        assert login({"code": code}).status_code == 200
    if case == "expired":
        old = time.time() - host.LOGIN_CODE_SECONDS - 1
        os.utime(host._login_code_file(code), (old, old))
    body = {"wrong": {"code": code[::-1]}, "not-text": {"code": [code]}, "no-body": None}.get(case, {"code": code})
    resp = login(body)
    assert resp.headers["Cache-Control"] == "no-store"
    assert (resp.status_code, resp.get_json()) == ((200, {"ok": True, "token": host.ACCESS_TOKEN}) if case == "fresh"
                                                   else (401, {"ok": False, "error": "login link unknown, used or expired"}))
    # Good for one request, whatever that one got.
    assert login({"code": code}).status_code == (200 if case in ("wrong", "not-text", "no-body") else 401)


@pytest.mark.parametrize("name", ["restart_marker.json", "server.log"])
def test_restart_writes_through_no_symlink(client, host, tmp_path, monkeypatch, name):
    import routes.opsdeck as opsdeck
    victim = tmp_path / "victim"
    victim.write_text("precious\n")
    os.symlink(victim, os.path.join(host.CONFIG_DIR, name))
    started = []
    monkeypatch.setattr(opsdeck, "subprocess", types.SimpleNamespace(
        Popen=lambda *a, **k: started.append(a) or 1 / 0, STDOUT=subprocess.STDOUT))
    resp = client.post("/api/server/restart")
    assert victim.read_text() == "precious\n" and resp.status_code == 500
    marker = os.path.join(host.CONFIG_DIR, "restart_marker.json")
    if name == "server.log":  # refused before any successor starts
        assert "Too many levels of symbolic links" in resp.get_json()["error"] and started == []
    else:  # the marker took the link's place
        assert len(started) == 1 and json.load(open(marker))["pid"] == os.getpid()
        assert oct(os.lstat(marker).st_mode) == oct(stat.S_IFREG | 0o600)
    assert [n for n in os.listdir(host.CONFIG_DIR) if n.endswith(".tmp")] == []

def _open_stream(server):
    sock = socket.create_connection(("127.0.0.1", server.port), timeout=10)
    sock.sendall(b"GET /api/server/logs/stream HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                 b"Authorization: Bearer " + server.token.encode() + b"\r\n\r\n")
    return sock


def _stream_shows(sock, server, text):
    """Appends `text` to the server's log and waits for the stream to send it."""
    with open(server.log_path, "a") as f:
        f.write(text + "\n")
    seen = b""
    while text.encode() not in seen:
        chunk = sock.recv(1 << 20)
        assert chunk, "stream ended"
        seen += chunk


def test_server_log_is_rotated_and_followed(tmp_path):
    # The server's output is server.log (as after a restart), and every
    # request adds a line: past 20 kB the file starts again.
    server = LiveServer(str(tmp_path), output_to_log=True,
                        extra_env={"ZETADESK_LOG_MAX_BYTES": "20000"}).wait_ready()
    sock = _open_stream(server)
    try:
        time.sleep(0.7)  # the stream has taken its starting offset
        for kept in (".1", ".2"):
            for _ in range(2000):
                if os.path.exists(server.log_path + kept):
                    break
                http("GET", server.url + "/api/server/status")
            assert os.path.getsize(server.log_path + ".1") >= 20000
            assert os.path.getsize(server.log_path) < 1000 and not os.path.exists(server.log_path + ".3")
        assert os.stat(server.log_path).st_mode & 0o777 == 0o600
        # The log view and the stream read the new file, the stream from its start.
        status, answer = http("POST", server.url + "/api/server/logs", {"count": 1})
        assert status == 200 and answer["total"] < 5 and "/api/server/status" in answer["lines"][0]
        _stream_shows(sock, server, "after the rotation")
    finally:
        sock.close()
        server.stop()


def _owner_answered_within_a_second(server):
    started = time.monotonic()
    assert http("GET", server.url + "/api/server/status", timeout=5)[0] == 200
    return time.monotonic() - started < 1


IDLE_SOCKETS = """
import socket, sys
socks = [socket.create_connection(("127.0.0.1", int(sys.argv[1]))) for _ in range(int(sys.argv[2]))]
print("open", flush=True)
sys.stdin.readline()
"""


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("setpriv"), reason="needs root and setpriv for another uid")
@pytest.mark.parametrize("cap,idle", [(None, 300), (20, 19)], ids=["300 idle", "at the cap"])
def test_idle_connections_are_bounded(tmp_path, cap, idle):
    env = {"ZETADESK_REQUEST_SECONDS": "3"}
    if cap:
        env["ZETADESK_MAX_CONNECTIONS"] = str(cap)
    server = LiveServer(str(tmp_path), extra_env=env).wait_ready()
    try:
        normal = settled_thread_count(server.proc.pid)
        stream = _open_stream(server)
        # Another user's idle sockets: no token, no request.
        other = subprocess.Popen(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                  PYTHON, "-c", IDLE_SOCKETS, str(server.port), str(idle)],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            assert other.stdout.readline() == "open\n"
            if cap:  # the stream and the idle ones fill it: one more is refused at once
                with socket.create_connection(("127.0.0.1", server.port), timeout=5) as refused:
                    assert refused.recv(4096).startswith(b"HTTP/1.1 503")
            else:
                assert _owner_answered_within_a_second(server)
            # Not sent in time: closed.  The stream is past its request and goes on.
            time.sleep(3.5)
            assert thread_count(server.proc.pid) <= normal + 2
            assert _owner_answered_within_a_second(server)
            _stream_shows(stream, server, "still streaming")
        finally:
            other.communicate("", timeout=10)
        stream.close()
        wait_for(lambda: settled_thread_count(server.proc.pid) == normal, timeout=10)
    finally:
        server.stop()
