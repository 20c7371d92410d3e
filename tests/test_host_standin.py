"""The host application stand-in: configuration storage, log buffer, error
wrapper, addresses, git authentication refresh and the server process."""

import json
import os
import socket
import subprocess
import threading

import pytest

from conftest import http


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


def test_server_process_serves_health_and_logs_its_start(live_server):
    status, body = http("GET", live_server.url + "/api/health")
    assert status == 200
    assert body == {"status": "ok", "version": "1.0.0", "port": live_server.port}
    with open(os.path.join(os.path.dirname(live_server.config_dir), "stdout.log"), encoding="utf-8") as f:
        assert f"listening on http://127.0.0.1:{live_server.port}" in f.read()
