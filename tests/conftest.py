"""Shared fixtures: an isolated host configuration, the Flask app of the
stand-in server, subprocess runners and a live server on 127.0.0.1."""

import contextlib
import json
import os
import pathlib
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import types
import urllib.request

import pytest
from hypothesis import HealthCheck, settings

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = sys.executable

# utils reads its directories when first imported: point them at a scratch
# area before any test imports the host modules.
_SESSION_DIR = tempfile.mkdtemp(prefix="zetadesk-tests-")
os.environ["ZETADESK_CONFIG_DIR"] = os.path.join(_SESSION_DIR, "config")
os.environ["ZETADESK_WORKSPACE"] = os.path.join(_SESSION_DIR, "workspace")
os.environ["HOME"] = os.path.join(_SESSION_DIR, "home")
os.makedirs(os.environ["HOME"], exist_ok=True)
# A restarted server of the suite may take far longer than 15 s to come up
# under emulation (the aarch64 run); tests of the bound set their own.
os.environ.setdefault("ZETADESK_TAKEOVER_SECONDS", "120")
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)


def _native_shortcuts():
    """False when the modules were built with ZETADESK_PORTABLE: every view
    then takes the Python path (which reads a large append to the log in
    one polling cycle)."""
    cache = os.path.join(ROOT, os.environ.get("ZETADESK_BUILD_DIR", "build"), "CMakeCache.txt")
    try:
        with open(cache, encoding="utf-8") as f:
            return "ZETADESK_PORTABLE:BOOL=ON" not in f.read()
    except OSError:
        return True


NATIVE_SHORTCUTS = _native_shortcuts()

# Under qemu-user (tools/variant.sh aarch64) an example costs many times its
# native time, a process start often seconds: property tests run a tenth
# of their examples there, the native runs keep the full count.
EMULATED = os.environ.get("ZETADESK_EMULATED") == "1"

# Under qemu-user, tests start programs only where ZETADESK_PROCESS_TESTS
# allows (tests/single_process.py).
if "ZETADESK_PROCESS_TESTS" in os.environ:
    pytest_plugins = ["single_process"]


def property_settings(count):
    """Hypothesis settings of a property test of `count` examples (a tenth
    under emulation, where generating an input may also be slow)."""
    checks_off = [HealthCheck.function_scoped_fixture] + ([HealthCheck.too_slow] if EMULATED else [])
    return settings(max_examples=max(5, count // 10) if EMULATED else count, deadline=None,
                    suppress_health_check=checks_off)


def pytest_sessionfinish(session, exitstatus):
    shutil.rmtree(_SESSION_DIR, ignore_errors=True)


@pytest.fixture
def host(tmp_path, monkeypatch):
    """The host modules with a fresh configuration directory and workspace.

    The route module bound CONFIG_DIR and WORKSPACE at import, so both
    modules are pointed at the test's own directories."""
    import utils
    import routes.opsdeck as opsdeck

    config_dir = tmp_path / "config"
    config_dir.mkdir()
    workspace = tmp_path / "workspace"
    for module in (utils, opsdeck):
        monkeypatch.setattr(module, "CONFIG_DIR", str(config_dir))
        monkeypatch.setattr(module, "WORKSPACE", str(workspace))
    monkeypatch.setattr(utils, "CONFIG_FILE", str(config_dir / "config.json"))
    with utils._log_lock:
        saved_log = list(utils._log_buffer)
        utils._log_buffer.clear()
    saved_processes = dict(utils.running_processes)
    utils.running_processes.clear()
    yield utils
    with utils._log_lock:
        utils._log_buffer.clear()
        utils._log_buffer.extend(saved_log)
    utils.running_processes.clear()
    utils.running_processes.update(saved_processes)


@pytest.fixture
def home(tmp_path):
    """A user's home with an empty ~/.zetadesk (credential_common.save fills it)."""
    (tmp_path / "home" / ".zetadesk").mkdir(parents=True)
    return tmp_path / "home"


def authenticated_client_class():
    """Flask's test client class, sending the host's access token as the page and scripts do."""
    from flask.testing import FlaskClient

    class AuthenticatedClient(FlaskClient):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            import utils
            self.environ_base["HTTP_AUTHORIZATION"] = f"Bearer {utils.ACCESS_TOKEN}"

    return AuthenticatedClient


@pytest.fixture
def app(host):
    import zetadesk_server

    app = zetadesk_server.create_app()
    app.testing = True
    app.test_client_class = authenticated_client_class()
    return app


@pytest.fixture
def client(app):
    return app.test_client()


def run_python(code, *, env=None, cwd=ROOT, timeout=60, input=None):
    """Run `code` in a fresh interpreter from the repository root."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([PYTHON, "-c", code], cwd=cwd, env=full_env, input=input,
                          capture_output=True, text=True, timeout=timeout)


# Android's rules for an app, as far as this machine reproduces them
# (tools/android-profile.sh): a test parametrised over PROFILES runs its
# programs both ways.  The launcher needs root and its mount namespace.
ANDROID_PROFILE = os.path.join(ROOT, "tools", "android-profile.sh")
ANDROID_FILES = "/data/data/com.termux/files"  # the app's data directory, as the profile shows it
ANDROID_OK = (not EMULATED and hasattr(os, "getuid") and os.getuid() == 0
              and all(shutil.which(p) for p in ("unshare", "mount", "setpriv", "c++")))
# The profile's set is marked `android`: `make test-android` runs it.
ANDROID_ONLY = [pytest.mark.android, pytest.mark.skipif(
    not ANDROID_OK, reason="the Android profile needs root, unshare, mount, setpriv and c++")]
PROFILES = ["linux", pytest.param("android", marks=ANDROID_ONLY)]


def in_profile(profile, argv, data):
    """(argv, extra environment) that run `argv` under `profile`; on Android
    with the directory `data` as the app's data directory ANDROID_FILES, and
    its HOME as data/home."""
    if profile == "linux":
        return list(argv), {}
    os.makedirs(data, exist_ok=True)
    return [ANDROID_PROFILE, *argv], {"ZETADESK_ANDROID_DATA": str(data)}


# Seconds for what waits on a server coming up: generous for the aarch64
# suite, where every interpreter runs under qemu-user.
SLOW = 90


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# Access token of each server a test started, by its origin ("http://127.0.0.1:PORT").
_tokens = {}


def remember_token(url, config_dir):
    """Reads the access token the server at `url` made in `config_dir`; http() sends it from then on."""
    with open(os.path.join(config_dir, "access_token"), encoding="ascii") as f:
        _tokens[url.rstrip("/")] = token = f.read().strip()
    return token


def http(method, url, body=None, timeout=10, headers=None, auth=True):
    """(status, parsed JSON body) of one request; error statuses are returned too.

    With `auth`, the request carries the access token of the server at that
    origin, when a test started it (remember_token)."""
    data = None if body is None else json.dumps(body).encode()
    all_headers = {"Content-Type": "application/json"} if data else {}
    origin = "/".join(url.split("/", 3)[:3])
    if auth and origin in _tokens:
        all_headers["Authorization"] = f"Bearer {_tokens[origin]}"
    all_headers.update(headers or {})
    req = urllib.request.Request(url, data=data, method=method, headers=all_headers)
    try:
        with urllib.request.urlopen(req, timeout=timeout) as resp:
            return resp.status, json.loads(resp.read() or b"null")
    except urllib.error.HTTPError as e:
        payload = e.read()
        try:
            return e.code, json.loads(payload)
        except ValueError:
            return e.code, payload


def wait_healthy(proc, url, timeout=20, step=0.05, output=None):
    """Waits until the server `proc` answers `url`/api/health with 200.
    RuntimeError if it exits first (with the text of the file `output`, if
    given), TimeoutError after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        if proc.poll() is not None:
            detail = f":\n{pathlib.Path(output).read_text(errors='replace')}" if output else ""
            raise RuntimeError(f"server exited with {proc.returncode}{detail}")
        with contextlib.suppress(OSError):
            if http("GET", url + "/api/health", timeout=1)[0] == 200:
                return
        if time.monotonic() >= deadline:
            raise TimeoutError("server did not answer /api/health")
        time.sleep(step)


def stop_proc(proc, timeout=5):
    """Terminates `proc` if it still runs; killed if it takes longer than `timeout`."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=timeout)


class LiveServer:
    """zetadesk_server.py running as its own process on 127.0.0.1.

    With `tty`, its output is a terminal (copied into stdout.log), as when a
    user starts it by hand: the start-up line then shows the page address
    with the access token."""

    def __init__(self, base_dir, port=None, extra_env=None, tty=False, server_dir=ROOT, profile="linux",
                 output_to_log=False):
        self.port = port or free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        env = dict(os.environ, ZETADESK_HOST="127.0.0.1", ZETADESK_PORT=str(self.port), PYTHONUNBUFFERED="1")
        argv, profile_env = in_profile(profile, [PYTHON, os.path.join(server_dir, "zetadesk_server.py")],
                                       os.path.join(base_dir, "android"))
        if profile == "linux":
            self.config_dir = os.path.join(base_dir, "config")
            self.workspace = os.path.join(base_dir, "workspace")
            os.makedirs(self.config_dir, exist_ok=True)
            env.update(ZETADESK_CONFIG_DIR=self.config_dir, ZETADESK_WORKSPACE=self.workspace)
        else:
            # The defaults below Termux's HOME, made by the server itself.
            home = os.path.join(base_dir, "android", "home")
            self.config_dir = os.path.join(home, ".zetadesk")
            self.workspace = os.path.join(home, "zetadesk-workspace")
            env.update(profile_env, ZETADESK_CONFIG_DIR=None, ZETADESK_WORKSPACE=None)
        self.log_path = os.path.join(self.config_dir, "server.log")
        # output_to_log: into server.log, as a restart starts a server.
        self.stdout_path = self.log_path if output_to_log else os.path.join(base_dir, "stdout.log")
        env.update(extra_env or {})
        # None in extra_env: the variable is not set at all.
        self.env = {k: v for k, v in env.items() if v is not None}
        self.output = open(self.stdout_path, "ab")
        self.copier = None
        out = self.output
        if tty:
            master, out = os.openpty()
            self.copier = threading.Thread(target=self._copy, args=(master,), daemon=True)
        self.proc = subprocess.Popen(argv, cwd=ROOT, env=self.env, stdout=out, stderr=subprocess.STDOUT)
        if tty:
            os.close(out)
            self.copier.start()

    def _copy(self, master):
        try:
            while chunk := os.read(master, 65536):
                self.output.write(chunk)
                self.output.flush()
        except OSError:
            pass  # EIO: the terminal's last writer is gone
        finally:
            os.close(master)

    def wait_ready(self, timeout=SLOW):
        try:
            wait_healthy(self.proc, self.url, timeout)
        except BaseException:
            self.stop()  # a server that never came up must not outlive the test
            raise
        self.token = remember_token(self.url, self.config_dir)
        return self

    def printed_url(self, timeout=10):
        """The page address of the start-up line (a tty server's, with its token)."""
        def find():
            with open(self.stdout_path, encoding="utf-8", errors="replace") as f:
                found = re.search(r"listening on (\S+) \(pid", f.read())
            return found and found.group(1)
        return wait_for(find, timeout=timeout)

    @property
    def auth(self):
        """The header that authenticates a request to this server."""
        return {"Authorization": f"Bearer {self.token}"}

    def stop(self):
        stop_proc(self.proc)
        if self.copier:
            self.copier.join(timeout=5)
        self.output.close()


@pytest.fixture
def live_server(tmp_path):
    server = LiveServer(str(tmp_path)).wait_ready()
    yield server
    server.stop()


# ---- processes a server starts (restarts) ------------------------------------


def wait_for(predicate, timeout=15, step=0.05):
    """The first true value of predicate(), asked every `step` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        assert time.monotonic() < deadline, "timed out"
        time.sleep(step)


def process_gone(pid):
    """Whether `pid` has ended (no such process, or a zombie)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ", 1)[1].startswith("Z")
    except FileNotFoundError:
        return True


def environ_of(pid):
    """The environment `pid` was started with."""
    with open(f"/proc/{pid}/environ", "rb") as f:
        return dict(item.decode(errors="surrogateescape").split("=", 1)
                    for item in f.read().split(b"\0") if b"=" in item)


def listening_pids(log_path):
    """Pids of the servers that wrote their listen line into the log, in order."""
    with open(log_path, encoding="utf-8", errors="ignore") as f:
        return [int(p) for p in re.findall(r"listening on .*\(pid (\d+)\)", f.read())]


def stop_process(pid):
    """Ends a process this test did not start as a child (a restart's successor)."""
    if pid and not process_gone(pid):
        os.kill(pid, signal.SIGTERM)
        wait_for(lambda: process_gone(pid), timeout=10)


def server_tree(path):
    """A server directory at `path`: this checkout through symlinks, but with
    its own copy of zetadesk_server.py, which a test may replace to decide
    what a restart of a server started from there runs."""
    os.makedirs(path)
    for name in os.listdir(ROOT):
        if name != "zetadesk_server.py" and not name.startswith("."):
            os.symlink(os.path.join(ROOT, name), os.path.join(path, name))
    shutil.copy(os.path.join(ROOT, "zetadesk_server.py"), path)
    return str(path)


class Recorder:
    """Stands in for threading: records the exit thread instead of running it."""

    def __init__(self):
        self.threads = []

    def Thread(self, **kwargs):
        thread = types.SimpleNamespace(kwargs=kwargs, started=False)
        thread.start = lambda: setattr(thread, "started", True)
        self.threads.append(thread)
        return thread


class OsProxy:
    """The module's os, with os.path.getsize replaced."""

    def __init__(self, getsize):
        self.path = types.SimpleNamespace(join=os.path.join, exists=os.path.exists, getsize=getsize)

    def __getattr__(self, name):
        return getattr(os, name)
