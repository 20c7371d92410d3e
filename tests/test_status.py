"""GET /api/server/status: members, uptime, memory fallbacks, managed
processes and listen addresses."""

import io
import itertools
import json
import os
import resource
import socket
import sys
import traceback
import types

import pytest

import routes.opsdeck as opsdeck

MEMBERS = ["status", "version", "uptime_seconds", "uptime", "pid", "port", "host",
           "listen_addresses", "python", "platform", "workspace", "memory",
           "connected_processes", "config_dir", "server_dir"]


def status(client):
    resp = client.get("/api/server/status")
    assert resp.status_code == 200, resp.data
    return json.loads(resp.data)  # keeps the order of the bytes


def test_members_in_order(client, host, monkeypatch):
    answer = status(client)
    assert list(answer) == MEMBERS
    assert answer["status"] == "running" and answer["version"] == "2.0.0"
    assert answer["pid"] == os.getpid() and answer["port"] == opsdeck.PORT
    assert answer["python"] == sys.version.split()[0] and answer["platform"] == sys.platform
    assert answer["workspace"] == host.WORKSPACE
    assert (answer["config_dir"], answer["server_dir"]) == (opsdeck.CONFIG_DIR, opsdeck.SERVER_DIR)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    assert isinstance(answer["memory"]["rss_mb"], float) and 0 < answer["memory"]["rss_mb"] <= peak + 0.1
    assert list(answer["listen_addresses"][0]) == ["address", "family", "type"]

    host.save_config({"workspace": "/elsewhere"})
    monkeypatch.setattr(opsdeck, "HOST", "")
    monkeypatch.setattr(opsdeck, "PORT", "not-a-number")
    answer = status(client)
    assert answer["workspace"] == "/elsewhere"
    assert answer["host"] == "auto" and answer["port"] == "not-a-number"
    monkeypatch.setattr(opsdeck, "HOST", None)
    assert status(client)["host"] == "auto"


@pytest.mark.parametrize("uptime,seconds,text", [
    (0.0, 0, "0h 0m 0s"),
    (42.9, 42, "0h 0m 42s"),
    (3725.9, 3725, "1h 2m 5s"),
    (90061.0, 90061, "25h 1m 1s"),
    (-0.5, 0, "0h 0m 0s"),
    (-5.5, -5, "-1h 59m 55s"),
    (-3600.0, -3600, "-1h 0m 0s"),
    (-3601.0, -3601, "-2h 59m 59s"),
    (1e7 * 3600 + 59, 10**7 * 3600 + 59, "10000000h 0m 59s"),
])
def test_uptime(client, host, monkeypatch, uptime, seconds, text):
    monkeypatch.setattr(opsdeck, "SERVER_START_TIME", 1_000_000.0)
    monkeypatch.setattr(opsdeck, "time", types.SimpleNamespace(time=lambda: 1_000_000.0 + uptime))
    answer = status(client)
    assert (answer["uptime_seconds"], answer["uptime"]) == (seconds, text)


class FakePopen(list):
    """os.popen answering with `output`; records the commands."""

    def __init__(self, monkeypatch):
        super().__init__()
        self.monkeypatch = monkeypatch

    def install(self, output):
        def fake_popen(command):
            self.append(command)
            if isinstance(output, Exception):
                raise output
            return io.StringIO(output)
        self.monkeypatch.setattr(os, "popen", fake_popen)


def test_uptime_beyond_machine_integers(client, host, monkeypatch):
    clock = types.SimpleNamespace(time=lambda: 3725)
    monkeypatch.setattr(opsdeck, "time", clock)
    monkeypatch.setattr(opsdeck, "SERVER_START_TIME", 0)
    assert status(client)["uptime"] == "1h 2m 5s"  # int arithmetic throughout

    clock.time = lambda: -1e20
    answer = status(client)
    hours, rest = divmod(int(-1e20), 3600)
    assert answer["uptime_seconds"] == int(-1e20)
    assert answer["uptime"] == f"{hours}h {rest // 60}m {rest % 60}s"

    clock.time = lambda: float("nan")
    resp = client.get("/api/server/status")
    assert resp.get_json() == {"ok": False, "error": "cannot convert float NaN to integer"}


@pytest.fixture
def popen_calls(monkeypatch):
    return FakePopen(monkeypatch)


def _failing_getrusage(who):
    raise OSError("no rusage here")


@pytest.mark.parametrize("maxrss,expected", [(512, 0.5), (100, 0.1), (1024 * 300 + 51, 300.0)])
def test_memory_from_resource(client, host, monkeypatch, popen_calls, maxrss, expected):
    popen_calls.install(AssertionError("ps must not run"))
    monkeypatch.setattr(resource, "getrusage", lambda who: types.SimpleNamespace(ru_maxrss=maxrss))
    assert status(client)["memory"] == {"rss_mb": expected}
    assert popen_calls == []


@pytest.mark.parametrize("output,expected", [
    (" 2048\n", 2.0),
    ("", "unknown"),           # ps missing: nothing on standard output
    ("abc\n", "unknown"),
    (OSError("cannot fork"), "unknown"),
])
def test_memory_fallbacks(client, host, monkeypatch, popen_calls, output, expected):
    monkeypatch.setattr(resource, "getrusage", _failing_getrusage)
    popen_calls.install(output)
    assert status(client)["memory"] == {"rss_mb": expected}
    assert popen_calls == [f"ps -o rss= -p {os.getpid()}"]


def test_memory_through_the_real_ps(client, host, monkeypatch, tmp_path):
    monkeypatch.setattr(resource, "getrusage", _failing_getrusage)
    rss = status(client)["memory"]["rss_mb"]
    assert isinstance(rss, float) and rss > 1
    # No ps on the search path.
    monkeypatch.setenv("PATH", str(tmp_path))
    assert status(client)["memory"] == {"rss_mb": "unknown"}


def test_memory_lets_interrupts_through(app, host, monkeypatch):
    def interrupted(who):
        raise KeyboardInterrupt

    monkeypatch.setattr(resource, "getrusage", interrupted)
    with app.test_request_context("/api/server/status"):
        with pytest.raises(KeyboardInterrupt):
            opsdeck.server_status.__wrapped__()


def test_connected_processes(client, host):
    assert status(client)["connected_processes"] == 0
    host.running_processes.update({
        "a": {"running": True}, "b": {"running": 1}, "c": {}, "d": {"running": False},
        "e": {"running": 0}, "f": {"running": "yes", "pid": 3},
    })
    assert status(client)["connected_processes"] == 3
    # The total is made by `sum`, looked up when the view runs.
    import routes.opsdeck as opsdeck
    opsdeck.sum = lambda ones: f"{len(ones)} summed"
    try:
        assert status(client)["connected_processes"] == "3 summed"
    finally:
        del opsdeck.sum
    host.running_processes["g"] = ["not", "a", "mapping"]
    resp = client.get("/api/server/status")
    assert resp.status_code == 500
    assert resp.get_json()["error"] == "'list' object has no attribute 'get'"


class Unequal:
    def __eq__(self, other):
        raise TypeError("cannot compare")


def fallback(host_value):
    return [{"address": host_value, "family": "IPv4", "type": "unknown"}]


def _raise_oserror():
    raise OSError("no interfaces")


def _good_then_short():
    yield ("10.0.0.1", socket.AF_INET, "eth0")
    yield ("10.0.0.2", socket.AF_INET)


@pytest.mark.parametrize("addresses,expected", [
    (lambda: [("::1", socket.AF_INET6, "local"), ("10.0.0.1", socket.AF_INET, "eth0"),
              ("x", 99, None), ["y", int(socket.AF_INET6), 7]],
     [{"address": "::1", "family": "IPv6", "type": "local"},
      {"address": "10.0.0.1", "family": "IPv4", "type": "eth0"},
      {"address": "x", "family": "IPv4", "type": None},
      {"address": "y", "family": "IPv6", "type": 7}]),
    (lambda: [], []),
    (lambda: iter(["abc"]), [{"address": "a", "family": "IPv4", "type": "c"}]),
    (_good_then_short, None),
    (lambda: [("a", socket.AF_INET, "l", "extra")], None),
    (lambda: [itertools.count()], None),  # endless item: unpacking stops at the fourth value
    (lambda: [("a", Unequal(), "l")], None),
    (lambda: None, None),
    (_raise_oserror, None),
], ids=["families", "empty", "string-item", "short-item", "long-item", "endless-item",
        "bad-compare", "not-iterable", "raises"])
def test_listen_addresses(client, host, monkeypatch, addresses, expected):
    monkeypatch.setattr(host, "get_display_addresses", addresses)
    monkeypatch.setattr(opsdeck, "HOST", "0.0.0.0")
    answer = status(client)
    assert answer["listen_addresses"] == (fallback("0.0.0.0") if expected is None else expected)


def test_unguarded_failures_reach_handle_error(app, client, host, monkeypatch):
    monkeypatch.setitem(sys.modules, "resource", None)
    resp = client.get("/api/server/status")
    assert resp.status_code == 500
    assert resp.get_json() == {"ok": False, "error": "import of resource halted; None in sys.modules"}
    monkeypatch.undo()

    monkeypatch.delattr(host, "get_display_addresses")
    assert client.get("/api/server/status").get_json()["error"] == "cannot import name get_display_addresses"
    monkeypatch.undo()

    def broken_load():
        raise ValueError("damaged configuration")

    monkeypatch.setattr(host, "load_config", broken_load)
    with app.test_request_context("/api/server/status"):
        with pytest.raises(ValueError) as info:
            opsdeck.server_status.__wrapped__()
    entries = [(e.name, e.filename) for e in traceback.extract_tb(info.value.__traceback__)]
    assert entries[-2:] == [("routes.opsdeck.server_status", "routes/opsdeck"),
                            ("broken_load", __file__)]
