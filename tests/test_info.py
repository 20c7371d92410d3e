"""GET /api/system/info and GET /api/platform/info."""

import json
import os
import subprocess
import traceback

import pytest

import routes.opsdeck as opsdeck

SYSTEM_MEMBERS = ["platform", "platform_detail", "is_windows", "is_termux", "workspace", "pid",
                  "server_version"]


def answer(client, url):
    resp = client.get(url)
    assert resp.status_code == 200, resp.data
    return json.loads(resp.data)


def test_system_info_on_this_machine(client, host):
    info = answer(client, "/api/system/info")
    assert list(info) == SYSTEM_MEMBERS + ["uname"]
    assert info == {
        "platform": host.PLATFORM_NAME, "platform_detail": host.PLATFORM_DETAIL,
        "is_windows": False, "is_termux": host.IS_TERMUX, "workspace": host.WORKSPACE,
        "pid": os.getpid(), "server_version": "2.0.0",
        "uname": subprocess.run(["uname", "-a"], capture_output=True, text=True).stdout.strip(),
    }
    host.save_config({"workspace": "/saved/ws"})
    assert answer(client, "/api/system/info")["workspace"] == "/saved/ws"


@pytest.mark.parametrize("flags,is_linux,prompt", [
    ({"IS_WINDOWS": True, "IS_MACOS": False, "IS_TERMUX": False}, False, ">"),
    ({"IS_WINDOWS": False, "IS_MACOS": True, "IS_TERMUX": False}, False, "$"),
    ({"IS_WINDOWS": False, "IS_MACOS": False, "IS_TERMUX": True}, True, "$"),
    ({"IS_WINDOWS": False, "IS_MACOS": False, "IS_TERMUX": False}, True, "$"),
    ({"IS_WINDOWS": 0, "IS_MACOS": "", "IS_TERMUX": None}, True, "$"),
    ({"IS_WINDOWS": "yes", "IS_MACOS": 0, "IS_TERMUX": 0}, False, ">"),
], ids=["windows", "macos", "termux", "linux", "falsy-values", "truthy-text"])
def test_platform_table(client, host, monkeypatch, flags, is_linux, prompt):
    for name, value in flags.items():
        monkeypatch.setattr(host, name, value)
    monkeypatch.setattr(host, "PLATFORM_NAME", "some-os")
    calls = []
    monkeypatch.setattr(host, "get_default_shell", lambda: calls.append("shell") or "/bin/zsh")
    monkeypatch.setattr(host, "get_default_compiler", lambda: calls.append("compiler"))
    resp = client.get("/api/platform/info")
    assert resp.data == json.dumps({
        "is_windows": flags["IS_WINDOWS"], "is_macos": flags["IS_MACOS"], "is_linux": is_linux,
        "is_termux": flags["IS_TERMUX"], "platform": "some-os", "default_shell": "/bin/zsh",
        "default_compiler": None, "shell_prompt": prompt,
    }, separators=(",", ":")).encode() + b"\n"
    assert calls == ["shell", "compiler"]


def test_system_info_on_windows_runs_no_command(client, host, monkeypatch):
    def no_run(*args, **kwargs):
        raise AssertionError("uname must not run")

    monkeypatch.setattr(host, "IS_WINDOWS", True)
    monkeypatch.setattr(subprocess, "run", no_run)
    info = answer(client, "/api/system/info")
    assert list(info) == SYSTEM_MEMBERS and info["is_windows"] is True


@pytest.fixture
def fake_run(monkeypatch):
    """subprocess.run answering with `outcome`; records its arguments."""
    calls = []

    def install(outcome):
        def run(*args, **kwargs):
            calls.append((args, kwargs))
            if isinstance(outcome, BaseException):
                raise outcome
            return outcome
        monkeypatch.setattr(subprocess, "run", run)

    return calls, install


@pytest.mark.parametrize("outcome,uname", [
    (subprocess.CompletedProcess("uname -a", 0, "  Kernel 1.0 \n", "ignored"), "Kernel 1.0"),
    (subprocess.CompletedProcess("uname -a", 1, "partial\n", "error"), None),
    (subprocess.CompletedProcess("uname -a", 127, "", "sh: uname: not found"), None),
    (subprocess.TimeoutExpired("uname -a", 5), None),
    (FileNotFoundError("/bin/sh"), None),
], ids=["success", "exit-1", "missing", "time-out", "no-shell"])
def test_uname_outcomes(client, host, fake_run, outcome, uname):
    calls, install = fake_run
    install(outcome)
    info = answer(client, "/api/system/info")
    assert info.get("uname") == uname and ("uname" in info) == (uname is not None)
    assert list(info)[:7] == SYSTEM_MEMBERS
    assert calls == [(("uname -a",), {"shell": True, "capture_output": True, "text": True, "timeout": 5,
                                      "encoding": "utf-8", "errors": "replace"})]


def test_uname_through_the_shell(client, host, monkeypatch, tmp_path):
    # A uname on the search path that fails, then one that prints invalid UTF-8.
    fake = tmp_path / "uname"
    fake.write_text("#!/bin/sh\necho 'broken' ; exit 3\n")
    fake.chmod(0o755)
    monkeypatch.setenv("PATH", f"{tmp_path}:{os.environ['PATH']}")
    assert "uname" not in answer(client, "/api/system/info")
    fake.write_bytes(b"#!/bin/sh\nprintf ' Linux \\377 box \\n'\n")
    assert answer(client, "/api/system/info")["uname"] == "Linux \ufffd box"


def test_failures_go_where_each_view_sends_them(client, host, monkeypatch):
    def broken():
        raise RuntimeError("no shell known")

    # platform_info is wrapped by handle_error.
    monkeypatch.setattr(host, "get_default_shell", broken)
    assert client.get("/api/platform/info").get_json() == {"ok": False, "error": "no shell known"}
    monkeypatch.delattr(host, "IS_MACOS")
    resp = client.get("/api/platform/info")
    assert (resp.status_code, resp.get_json()["error"]) == (500, "cannot import name IS_MACOS")

    # system_info is not: the error reaches Flask, which re-raises it under testing.
    monkeypatch.setattr(host, "load_config", broken)
    with pytest.raises(RuntimeError) as info:
        client.get("/api/system/info")
    entries = [(e.name, e.filename) for e in traceback.extract_tb(info.value.__traceback__)]
    assert entries[-2:] == [("routes.opsdeck.system_info", "routes/opsdeck"), ("broken", __file__)]


# Android ("android" since Python 3.13) counts as Linux; Termux is told by its PREFIX or its data directory.
@pytest.mark.parametrize("system,environ,data_dir,flags,shell", [
    ("linux", {}, False, (False, False, False, "linux"), "/bin/sh"),
    ("android", {}, False, (False, False, False, "linux"), "/system/bin/sh"),
    ("android", {"PREFIX": "/data/data/com.termux/files/usr"}, True, (False, False, True, "termux"),
     "/data/data/com.termux/files/usr/bin/sh"),
    ("linux", {"PREFIX": "/usr"}, True, (False, False, True, "termux"), "/bin/sh"),
    ("darwin", {}, True, (False, True, False, "macos"), "/bin/sh"),
    ("win32", {"PREFIX": "/data/data/com.termux/files/usr"}, False, (True, False, False, "windows"), None),
], ids=["linux", "android", "termux", "termux-by-directory", "macos", "windows"])
def test_platform_flags_of_each_system(host, system, environ, data_dir, flags, shell):
    assert host._platform_flags(system, environ, lambda path: data_dir and path == host.TERMUX_DATA) == flags
    if shell:
        assert host._system_shell(system, environ) == shell

