"""POST /api/server/restart: a real successor, a real exit, and the failure
that must leave the server running."""

import json
import os
import subprocess
import sys
import time
import types

import pytest

import routes.opsdeck as opsdeck
from conftest import LiveServer, Recorder, environ_of, http, listening_pids, stop_process, wait_for


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
        assert server.proc.wait(timeout=10) == 0
        assert time.monotonic() - asked >= 0.3  # the answer had its half second

        with open(os.path.join(server.config_dir, "restart_marker.json"), encoding="utf-8") as f:
            marker_text = f.read()
        marker = json.loads(marker_text)
        assert list(marker) == ["pid", "time"] and marker["pid"] == old_pid
        assert marker_text == json.dumps(marker) and marker["time"].endswith("+00:00")

        # The successor writes into server.log, among others its own listen line.
        successor = wait_for(lambda: listening_pids(server.log_path))[-1]
        assert successor != old_pid
        wait_for(lambda: http("GET", server.url + "/api/health", timeout=1)[0] == 200)
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
    resp = client.post("/api/server/restart")
    assert resp.status_code == 500
    assert resp.get_json() == {"ok": False, "error": "[Errno 2] No such file or directory: '/nonexistent/python'"}
    assert no_exit.threads == []
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
