"""Reference and memory-block leaks of the native modules.

Runs only under the debug interpreter (tools/variant.sh debug), which counts
every reference: each driver repeats one path of a module many times, and a
leak shows as reference or block totals that grow with the number of calls.
"""

import gc
import io
import os
import sys

import pytest

from conftest import OsProxy, Recorder

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs the debug interpreter (tools/variant.sh debug)")

CALLS = 2000
ROUNDS = 3
SLACK = 40  # caches filled lazily (interned names, code objects) settle in the warm-up


def totals():
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def assert_no_leak(action, calls=CALLS):
    for _ in range(calls // 4):  # warm-up
        action()
    growth = []
    for _ in range(ROUNDS):
        refs0, blocks0 = totals()
        for _ in range(calls):
            action()
        refs1, blocks1 = totals()
        growth.append((refs1 - refs0, blocks1 - blocks0))
    # A leak grows in every round, by about `calls` per leaked object.
    leaking = [g for g in growth if g[0] > SLACK or g[1] > SLACK]
    assert len(leaking) < ROUNDS, f"totals grew in every round: {growth}"


ENDPOINTS = [
    ("GET", "/api/health", None),
    ("GET", "/api/config", None),
    ("POST", "/api/config", {"editor": "dark"}),
    ("POST", "/api/config", {"github_token": "same"}),
    ("GET", "/api/server/status", None),
    ("POST", "/api/server/logs", {"count": 5}),
    ("POST", "/api/server/logs", {"count": "x"}),  # fails through handle_error
    ("GET", "/api/platform/info", None),
    ("GET", "/api/nowhere", None),
]


@pytest.mark.parametrize("method,url,body", ENDPOINTS)
def test_endpoints(client, host, method, url, body):
    host.save_config({"github_token": "same"})
    with open(os.path.join(host.CONFIG_DIR, "server.log"), "w", encoding="utf-8") as f:
        f.write("".join(f"line {i}\n" for i in range(50)))

    def action():
        client.open(url, method=method, json=body).close()

    assert_no_leak(action, calls=CALLS // 2)


def test_system_info(client, host, monkeypatch):
    # Each call starts a shell; fewer calls keep the run short.
    assert_no_leak(lambda: client.get("/api/system/info").close(), calls=200)


def replace_names(opsdeck, monkeypatch):
    """open, os, json and datetime replaced by pass-through stand-ins, so the
    views take their Python paths."""
    import builtins
    import datetime
    import json
    import types

    class Clock(datetime.datetime):
        pass

    monkeypatch.setattr(opsdeck, "open", lambda *a, **k: builtins.open(*a, **k), raising=False)
    monkeypatch.setattr(opsdeck, "json", types.SimpleNamespace(dumps=lambda o: json.dumps(o)))
    monkeypatch.setattr(opsdeck, "datetime", Clock)
    monkeypatch.setattr(opsdeck, "os", OsProxy(lambda p: os.path.getsize(p)))


def test_log_retrieval_python_path(client, host, monkeypatch):
    import routes.opsdeck as opsdeck
    replace_names(opsdeck, monkeypatch)
    with open(os.path.join(host.CONFIG_DIR, "server.log"), "w", encoding="utf-8") as f:
        f.write("".join(f"line {i}\n" for i in range(50)))
    assert_no_leak(lambda: client.post("/api/server/logs", json={"count": 5}).close(), calls=CALLS // 2)


@pytest.mark.parametrize("replaced", [False, True])
def test_stream_open_poll_close(client, host, monkeypatch, replaced):
    import collections
    import routes.opsdeck as opsdeck
    if replaced:
        replace_names(opsdeck, monkeypatch)
    buffer = collections.deque(maxlen=8)  # steady size: growth means a leak

    class Clock:
        # The pause of each polling cycle logs a line instead of sleeping,
        # so every cycle has an event to send.
        @staticmethod
        def sleep(seconds):
            buffer.append({"time": "t", "text": "é"})

    monkeypatch.setattr(opsdeck, "time", Clock)
    monkeypatch.setattr(opsdeck, "_log_buffer", buffer)
    with open(os.path.join(host.CONFIG_DIR, "server.log"), "w", encoding="utf-8") as f:
        f.write("old\n")

    def action():
        resp = client.get("/api/server/logs/stream")
        body = iter(resp.response)
        with open(os.path.join(host.CONFIG_DIR, "server.log"), "a", encoding="utf-8") as f:
            f.write("new line\n")
        next(body)
        next(body)
        resp.close()

    assert_no_leak(action, calls=CALLS // 4)


def test_credential_helper_paths(tmp_path, monkeypatch):
    import scripts.git_credential_zetadesk as helper
    config = tmp_path / "config.json"
    config.write_text('{"github_token": "tok"}', encoding="utf-8")
    monkeypatch.setattr(helper, "CONFIG_PATH", str(config))

    saved = sys.stdin, sys.stdout
    try:
        for host_line in ("host=github.com\n\n", "host=example.org\n\n"):
            def action():
                sys.stdin = io.StringIO("protocol=https\n" + host_line)
                sys.stdout = io.StringIO()
                helper.cmd_get()
            assert_no_leak(action)
    finally:
        sys.stdin, sys.stdout = saved


def test_packaging_predicates(monkeypatch):
    import setuptools
    monkeypatch.setattr(setuptools, "setup", lambda **kw: None)
    monkeypatch.delenv("ZETADESK_CYTHON_BUILD", raising=False)
    import zetadesk_setup as zs

    def action():
        zs._should_exclude_dir("node_modules")
        zs._should_exclude_dir("routes")
        zs._should_exclude_file("setup.py")
        zs._should_keep_as_py("routes/opsdeck.py")
        zs._should_keep_as_py(rel_path="a/scripts/x.py")
        try:
            zs._should_exclude_dir(1)
        except TypeError:
            pass

    assert_no_leak(action)


GUARDED = [
    ("GET", "/api/config", None, {"HTTP_HOST": "ide.example"}),  # allowed through the configuration
    ("GET", "/api/config", None, {"HTTP_HOST": "foreign.example:80"}),
    ("GET", "/api/health", None, {"HTTP_HOST": "[::1"}),
    ("POST", "/api/config", {"a": 1}, {"HTTP_ORIGIN": "http://localhost"}),
    ("POST", "/api/config", {"a": 1}, {"HTTP_ORIGIN": "http://evil.example"}),
    ("POST", "/api/config", {"a": 1}, {"HTTP_SEC_FETCH_SITE": "cross-site"}),
    ("POST", "/api/config", {"github_token": "a\nb"}, {}),
    ("POST", "/api/config", {"allowed_hosts": ["x", 1]}, {}),
    ("POST", "/api/config", {"workspace": []}, {}),
    # The access token: refused, also when a cookie carries it.
    ("GET", "/api/config", None, {"HTTP_AUTHORIZATION": "Bearer wrong"}),
    ("GET", "/api/platform/info", None, {"HTTP_AUTHORIZATION": "", "HTTP_COOKIE": "a=1; zetadesk_token=x"}),
    ("GET", "/api/platform/info", None, {"HTTP_AUTHORIZATION": "", "HTTP_COOKIE": "zetadesk_token=TOKEN"}),
    ("GET", "/api/health", None, {"HTTP_AUTHORIZATION": ""}),
]


@pytest.mark.parametrize("method,url,body,environ", GUARDED)
def test_guard_and_refused_updates(client, host, method, url, body, environ):
    host.save_config({"allowed_hosts": ["ide.example"]})
    environ = {k: v.replace("TOKEN", host.ACCESS_TOKEN) for k, v in environ.items()}
    assert_no_leak(lambda: client.open(url, method=method, json=body, environ_overrides=environ).close(),
                   calls=CALLS // 2)


@pytest.mark.parametrize("offer", ["socket", "takeover-word", "half-second"])
def test_restart_in_progress(client, host, monkeypatch, capsys, request, offer):
    import socket
    import types
    import routes.opsdeck as opsdeck
    if offer == "half-second":
        monkeypatch.delattr(host, "RESTART_TAKEOVER_SECONDS")
    if offer == "socket":
        listening = socket.socket()
        request.addfinalizer(listening.close)
        monkeypatch.setattr(host, "RESTART_LISTENER", (listening, lambda seconds: None), raising=False)
    recorder = Recorder()
    monkeypatch.setattr(opsdeck, "threading", recorder)
    # A successor that has exited: the pipe closes, and it is reaped at once.
    monkeypatch.setattr(opsdeck, "subprocess", types.SimpleNamespace(
        Popen=lambda *a, **kw: types.SimpleNamespace(poll=lambda: 0, wait=lambda timeout=None: 0), STDOUT=-2))
    assert client.post("/api/server/restart").status_code == 200
    assert_no_leak(lambda: client.post("/api/server/restart").close())
    monkeypatch.setattr(opsdeck, "time", types.SimpleNamespace(sleep=lambda s: None))
    monkeypatch.setattr(opsdeck, "log_write", lambda text: None)  # the host's buffer would grow
    recorder.threads[0].kwargs["target"]()  # the successor "exited": restarts are accepted again

    def restart_and_give_back():
        client.post("/api/server/restart").close()
        recorder.threads.pop().kwargs["target"]()
    assert_no_leak(restart_and_give_back, calls=CALLS // 4)


def test_credential_helper_refusals(tmp_path, monkeypatch):
    import scripts.git_credential_zetadesk as helper
    config = tmp_path / "config.json"
    config.write_text('{"github_token": "to\\nk"}', encoding="utf-8")
    monkeypatch.setattr(helper, "CONFIG_PATH", str(config))
    saved = sys.stdin, sys.stdout, sys.stderr
    try:
        for request in ("protocol=http\nhost=github.com\n\n", "host=x_y.github.com\n\n", "host=github.com\n\n"):
            def action():
                sys.stdin = io.StringIO(request)
                sys.stdout = sys.stderr = io.StringIO()
                helper.cmd_get()
            assert_no_leak(action)
        monkeypatch.setattr(helper, "CONFIG_PATH", None)  # HOME relative or empty
        assert_no_leak(action)
    finally:
        sys.stdin, sys.stdout, sys.stderr = saved
