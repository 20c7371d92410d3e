"""The git credential helper: the protocol through the real program, a real
git client, and the module imported in-process."""

import importlib
import io
import json
import os
import pathlib
import re
import shutil
import socket
import subprocess
import sys
import sysconfig
import traceback

import pytest

import scripts.git_credential_zetadesk as helper
from conftest import ANDROID_FILES, PROFILES, ROOT, in_profile, run_python
from credential_common import ANSWER, PROGRAM, REQUEST, TOKEN, ld_debug, libpython_loaded, save, spawn


def run(home, *args, stdin=REQUEST, program=PROGRAM, env=None, cwd=None):
    env = {"HOME": str(home), "PATH": "/usr/bin:/bin", **(env or {})}
    return subprocess.run([program, *args], input=stdin, capture_output=True, env=env,
                          cwd=cwd or home, timeout=10)


@pytest.mark.parametrize("stdin,answers", [
    (b"host=github.com", True), (b"host=example.org\nhost=github.com\n\n", True),
    (b" \nnoise\nhostgithub.com\n  host\t= github.com\n\n", True), (b"host=github.com\r\n\r\n", True),
    (b"protocol=https\nhost=example.org\n\nhost=github.com\n", False), (b"\nhost=github.com\n", False),
    (b"host=github.com\nhost=example.org\n\n", False), (b"HOST=github.com\n\n", False), (b"", False),
])
def test_request_parsing(home, stdin, answers):
    save(home)
    assert run(home, "get", stdin=stdin).stdout == (ANSWER if answers else b"")


@pytest.mark.parametrize("config,password", [
    ('{"github_token": "  spaced token  ", "workspace": "/w"}', b"  spaced token  "),
    ('{"github_token": "t\\u00f6k\\u20ac"}', "tök€".encode()), ('{"github_token": 12345}', b"12345"),
    ('{"github_token": true}', b"True"), ('{"github_token": [1, "a"]}', b"[1, 'a']"),
    ('{"github_token": ""}', None), ('{"github_token": null}', None), ('{"github_token": 0}', None),
    ('{"other": "x"}', None), (None, None), ("not json", None), ('{"github_token": "half', None),
    (b'{"github_token": "\xff\xfe"}', None), ('["github_token"]', None), ("42", None), ("true", None),
])
def test_token_forms(home, config, password):
    if config is not None:
        save(home, config)
    result = run(home)
    assert (result.returncode, result.stderr) == (0, b"")
    assert result.stdout == (b"username=x-access-token\npassword=" + password + b"\n\n" if password else b"")


@pytest.mark.parametrize("host,answers", [(h, True) for h in (
    "github.com", "github.com:443", " github.com", "github.com \t", "GitHub.COM", "api.GitHub.com:8443",
)] + [(h, False) for h in (
    "github.com.evil.example", "evilgithub.com", "evil.com/github.com", "github.com.", "example.org", "",
    "github.com:", "github.com:443:443", "github.com:44a", "xn--github.com", "github\u3002com",
    "\uff47ithub.com", "github.com\x00.evil.example", "user@github.com",
)])
def test_host_rule(home, host, answers):
    if answers:
        save(home)
    else:
        os.mkfifo(home / ".zetadesk" / "config.json")  # opening it would hang the helper
    result = run(home, stdin=f"protocol=https\nhost={host}\n\n".encode())
    assert (result.returncode, result.stdout, result.stderr) == (0, ANSWER if answers else b"", b"")


@pytest.mark.parametrize("args,answers", [
    ([], True), (["get"], True), (["get", "store", "extra"], True), (["store"], False), (["erase"], False),
    (["Get"], False), (["fill"], False), (["-c"], False), (["--help"], False), ([""], False),
])
def test_actions(home, args, answers):
    save(home)
    # The request is in the pipe before the program starts (store and erase
    # may be gone before a later write), and stdin stays open: reading past
    # the blank line would hang.
    read_end, write_end = os.pipe()
    os.write(write_end, REQUEST)
    try:
        proc = subprocess.run([PROGRAM, *args], stdin=read_end, capture_output=True, env={"HOME": str(home)},
                              timeout=10)
    finally:
        os.close(read_end)
        os.close(write_end)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, ANSWER if answers else b"", b"")


def test_errors_escape_with_report_and_status_1(home):
    save(home)
    result = run(home, "get", stdin=b"protocol=https\npath=\xff\nhost=github.com\n\n")
    report = result.stderr.decode()
    assert (result.returncode, result.stdout) == (1, b"")
    assert report.rstrip().splitlines()[-1].startswith("UnicodeDecodeError: 'utf-8' codec")
    assert re.findall(r'File "scripts/git-credential-zetadesk", line \d+, in (.*)\n', report) == [
        "init scripts.git_credential_zetadesk", "scripts.git_credential_zetadesk.cmd_get",
        "scripts.git_credential_zetadesk._parse_input"]

    with spawn(home, "get") as proc:  # the reader goes away before the answer
        proc.stdout.close()
        proc.stdin.write(REQUEST)
        proc.stdin.close()
        assert proc.wait(timeout=10) == 1
        report = proc.stderr.read().decode()
        assert "BrokenPipeError" in report and "Exception ignored" not in report

    closed = 'exec "$0" "$1" >&-'  # no standard output at all: only an answer fails
    result = run(home, "-c", closed, PROGRAM, "get", program="/bin/sh")
    assert result.returncode == 1 and b"Bad file descriptor" in result.stderr
    result = run(home, "-c", closed, PROGRAM, "store", program="/bin/sh")
    assert (result.returncode, result.stderr) == (0, b"")


def test_runs_from_anywhere_and_ignores_the_callers_python(home, tmp_path):
    save(home)
    shadow, links = tmp_path / "shadow", tmp_path / "links"
    shadow.mkdir()
    links.mkdir()
    (shadow / "json.py").write_text("raise SystemExit('shadowed json imported')\n")
    os.symlink(PROGRAM, links / "git-credential-zetadesk")
    env = {"PATH": f"{links}:/usr/bin:/bin", "PYTHONPATH": str(shadow), "PYTHONHOME": str(shadow), "LC_ALL": "C"}
    result = run(home, "get", program="git-credential-zetadesk", env=env, cwd=shadow)
    assert (result.returncode, result.stdout, result.stderr) == (0, ANSWER, b"")

    (tmp_path / "bin").mkdir()  # a copy without the module beside it says so
    shutil.copy(PROGRAM, tmp_path / "bin")
    result = run(home, "get", program=str(tmp_path / "bin" / "git-credential-zetadesk"))
    assert (result.returncode, result.stdout) == (1, b"")
    assert b"helper module" in result.stderr and b"No such file" in result.stderr


# How installers name the interpreter in the console scripts they put beside
# the program: pip's two-line form is for a path with blanks or too long.
SHEBANGS = {
    "plain": "#!{python}\n", "with an option": "#!  {python} -E\n",
    "pip's long form": "#!/bin/sh\n'''exec' \"{python}\" \"$0\" \"$@\"\n' '''\n",
    "Termux's long form": "#!/data/data/com.termux/files/usr/bin/sh\n'''exec' \"{python}\" \"$0\" \"$@\"\n' '''\n",
    "relative": "#!python3.14\n", "through env": "#!/usr/bin/env {python}\n", "none": None,
}


@pytest.mark.parametrize("shebang", SHEBANGS)
def test_installed_where_no_interpreter_lies(home, tmp_path, shebang):
    """pip's --user scheme and Debian's /usr/local put the program where no
    interpreter lies; the installer's console scripts beside it name the
    environment's interpreter, which then answers a handed-over request."""
    save(home)
    # A blank in the interpreter's path only where the form allows one.
    prefix = tmp_path / "user base"
    python_dir = tmp_path / ("python dir" if "long" in shebang else "python")
    site = pathlib.Path(sysconfig.get_path("platlib", "posix_user", vars={"userbase": str(prefix)})) / "scripts"
    for d in (prefix / "bin", site, python_dir):
        d.mkdir(parents=True)
    shutil.copy(PROGRAM, prefix / "bin")
    shutil.copy(helper.__file__, site)
    os.symlink(os.path.realpath(sys.executable), python_dir / "python3.14")
    if SHEBANGS[shebang]:
        text = SHEBANGS[shebang].format(python=python_dir / "python3.14") + "import sys\n"
        (prefix / "bin" / "zetadesk-server").write_text(text)
    result = run(home, "get", stdin=b"host= github.com\n\n", program=str(prefix / "bin" / "git-credential-zetadesk"))
    if shebang in ("relative", "through env", "none"):  # never looked for on PATH or in the current folder
        assert (result.returncode, result.stdout) == (1, b"")
        assert result.stderr.endswith(f"no python3.14 found for this installation in {prefix}/bin/\n".encode())
    else:
        assert (result.returncode, result.stdout, result.stderr) == (0, ANSWER, b"")


def git(home, *args, stdin, helper=PROGRAM, path="/usr/bin:/bin", profile="linux"):
    """git credential ARGS with `home` as HOME; under the Android profile,
    `home` is the home directory of its data directory (home.parent)."""
    inner = ANDROID_FILES + "/home" if profile == "android" else str(home)
    env = {"HOME": inner, "PATH": path, "GIT_CONFIG_NOSYSTEM": "1", "GIT_TERMINAL_PROMPT": "0",
           "XDG_CONFIG_HOME": inner + "/.config", "GIT_TRACE": "1"}
    argv, extra = in_profile(profile, ["git", "-c", f"credential.helper={helper}", "credential", *args],
                             home.parent)
    return subprocess.run(argv, input=stdin, capture_output=True, env={**env, **extra}, cwd=home, timeout=30)


@pytest.mark.parametrize("profile", PROFILES)
def test_git_fills_github_credentials_only(home, tmp_path, profile):
    if profile == "android":
        home = tmp_path / "android" / "home"
        (home / ".zetadesk").mkdir(parents=True)
    save(home)
    expected = f"protocol=https\nhost=github.com\nusername=x-access-token\npassword={TOKEN}\n".encode()
    result = git(home, "fill", stdin=REQUEST, profile=profile)
    assert result.stdout == expected, result.stderr
    # The short form: git finds git-credential-zetadesk on PATH.
    assert git(home, "fill", stdin=REQUEST, helper="zetadesk", path=f"{ROOT}/bin:/usr/bin:/bin",
               profile=profile).stdout == expected
    for url in ("https://example.org/x.git", "https://github.com.evil.example/x.git"):
        result = git(home, "fill", stdin=f"url={url}\n\n".encode(), profile=profile)
        assert result.returncode != 0 and TOKEN.encode() not in result.stdout
        assert b"terminal prompts disabled" in result.stderr


@pytest.mark.parametrize("command,action", [("approve", "store"), ("reject", "erase")])
def test_git_store_and_erase_leave_the_configuration_alone(home, command, action):
    config = save(home)
    before = (config.read_bytes(), config.stat().st_mtime_ns)
    result = git(home, command, stdin=b"protocol=https\nhost=github.com\nusername=x\npassword=new\n\n")
    assert result.returncode == 0 and f"{PROGRAM} {action}" in result.stderr.decode()
    assert (config.read_bytes(), config.stat().st_mtime_ns) == before
    assert os.listdir(home / ".zetadesk") == ["config.json"]


def test_module_names_and_docs():
    assert importlib.import_module("scripts.git_credential_zetadesk") is helper
    names = ["_read_token", "_parse_input", "cmd_get", "cmd_store", "cmd_erase"]
    assert [n for n in vars(helper) if not n.startswith("__")] == ["sys", "os", "json", "CONFIG_PATH", *names]
    assert helper.CONFIG_PATH == os.path.join(os.environ["HOME"], ".zetadesk", "config.json")
    for name in names:
        func = getattr(helper, name)
        assert (func.__name__, func.__module__) == (name, "scripts.git_credential_zetadesk")
        extra = "\n\nParse the key=value lines git sends on stdin." if name == "_parse_input" else ""
        assert func.__doc__ == f"{name}(){extra}"
    assert helper.__doc__.startswith("ZetaDesk git credential helper.\n")
    for phrase in ("username=x-access-token", "no-ops", "git config --global credential.helper zetadesk",
                   "'!/path/to/git-credential-zetadesk'"):
        assert phrase in helper.__doc__


def test_import_runs_no_dispatch():
    result = run_python("import sys; sys.argv = ['helper', 'get']\nimport scripts.git_credential_zetadesk as m\n"
                        "print(hasattr(m, 'action'), repr(sys.stdin.read()))", input=REQUEST.decode())
    assert (result.returncode, result.stdout) == (0, f"False {REQUEST.decode()!r}\n")


def test_parse_input_and_read_token_values(monkeypatch, tmp_path):
    monkeypatch.setattr("sys.stdin", io.StringIO(" a b = c = d \nx\n=v\nk=1\nk=2 \r\n\nk=3\n"))
    assert helper._parse_input() == {"a b": " c = d ", "": "v", "k": "2 \r"}
    config = tmp_path / "config.json"
    monkeypatch.setattr(helper, "CONFIG_PATH", str(config))
    for token, result in [(42, 42), ([0], [0]), ([], ""), (" t ", " t ")]:
        config.write_text(json.dumps({"github_token": token}))
        assert helper._read_token() == result

    class Interrupting:  # the guard catches ordinary errors only
        def load(self, f):
            raise KeyboardInterrupt
    monkeypatch.setattr(helper, "json", Interrupting())
    with pytest.raises(KeyboardInterrupt):
        helper._read_token()


def test_cmd_get_looks_names_up_at_call_time_and_reports_entries(monkeypatch, capsys):
    monkeypatch.setattr(helper, "_read_token", lambda: ["patched"])
    monkeypatch.setattr("sys.stdin", io.StringIO("host=github.com\n"))
    assert (helper.cmd_get(), helper.cmd_store(), helper.cmd_erase()) == (None, None, None)
    assert capsys.readouterr().out == "username=x-access-token\npassword=['patched']\n\n"

    class Failing:
        def __iter__(self):
            raise ValueError("stdin gone")
    monkeypatch.setattr("sys.stdin", Failing())
    with pytest.raises(ValueError, match="stdin gone") as info:
        helper.cmd_get()
    entries = [(e.name, e.filename) for e in traceback.extract_tb(info.value.__traceback__)][1:3]
    assert entries == [(f"scripts.git_credential_zetadesk.{n}", "scripts/git-credential-zetadesk")
                       for n in ("cmd_get", "_parse_input")]


@pytest.mark.parametrize("request_text,answers", [
    ("protocol=https\nhost=github.com\n", True),
    ("host=github.com\n", True),
    ("protocol=https\r\nhost=github.com\r\n", True),
    ("protocol=http\nhost=github.com\n", False),
    ("protocol=ssh\nhost=github.com\n", False),
    ("protocol=\nhost=github.com\n", False),
    ("protocol=HTTPS\nhost=github.com\n", False),
    ("protocol=https\nhost=github.com\nprotocol=http\n", False),
    ("protocol=https\nhost=evil@x.github.com\n", False),
    ("protocol=https\nhost=x_y.github.com\n", False),
    ("protocol=https\nhost=x%2egithub.com\n", False),
    ("protocol=https\nhost=gist.github.com/x\n", False),
    ("protocol=https\nhost=a-b.0.github.com:8443\n", True),
], ids=lambda v: v if isinstance(v, bool) else v.replace("\n", "|"))
def test_https_and_plain_host_names_only(home, request_text, answers):
    if answers:
        save(home)
    else:
        os.mkfifo(home / ".zetadesk" / "config.json")  # the file must not even be opened
    result = run(home, stdin=(request_text + "\n").encode())
    assert (result.returncode, result.stdout, result.stderr) == (0, ANSWER if answers else b"", b"")


@pytest.mark.parametrize("token", [
    TOKEN + "\nhost=evil.example", TOKEN + "\r", "\r\n" + TOKEN, TOKEN[:4] + "\0" + TOKEN[4:], "\n",
])
def test_token_with_line_break_or_nul_is_never_printed(home, token):
    save(home, json.dumps({"github_token": token}))
    result = run(home, "get")
    assert (result.returncode, result.stdout) == (0, b"")
    assert result.stderr == b"git-credential-zetadesk: the saved github_token holds a line break or NUL and was not used\n"
    # git itself sees no credential, and no part of the token anywhere.
    filled = git(home, "fill", stdin=REQUEST)
    assert filled.returncode != 0 and TOKEN[4:].encode() not in filled.stdout + filled.stderr
    # A non-text token prints as its repr, where a break is an escape: that one is fine.
    save(home, json.dumps({"github_token": [token]}))
    assert run(home, "get").stdout == b"username=x-access-token\npassword=" + repr([token]).encode() + b"\n\n"


NO_HOME = b"git-credential-zetadesk: HOME is not an absolute path; no configuration read\n"


@pytest.mark.parametrize("home_value", ["", ".", "repo-home", "./x", "x/../.."])
def test_relative_or_empty_home_reads_no_configuration(tmp_path, home_value):
    # The repository git runs the helper in supplies <HOME>/.zetadesk/config.json.
    repo = tmp_path / "repo"
    planted = repo / home_value / ".zetadesk"
    planted.mkdir(parents=True, exist_ok=True)
    save(planted.parent)
    (tmp_path / ".zetadesk").mkdir(exist_ok=True)
    save(tmp_path)  # and HOME="" must not mean "/" either: nothing there is read
    env = {"HOME": home_value, "PATH": "/usr/bin:/bin"}
    for argv in ([PROGRAM, "get"], [PROGRAM]):  # the fast path answers these
        result = subprocess.run(argv, input=REQUEST, capture_output=True, env=env, cwd=repo, timeout=30)
        assert (result.returncode, result.stdout, result.stderr) == (0, b"", NO_HOME), argv
    # A socket as stdin is the module's business: the program hands over.
    ours, theirs = socket.socketpair()
    with ours, theirs:
        ours.sendall(REQUEST)
        ours.shutdown(socket.SHUT_WR)
        log = str(tmp_path / "ld")
        result = subprocess.run([PROGRAM, "get"], stdin=theirs, capture_output=True, env=ld_debug(env, log),
                                cwd=repo, timeout=30)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", NO_HOME)
    assert libpython_loaded(log)
    # Other hosts: the configuration is not looked for, so nothing is said.
    result = subprocess.run([PROGRAM, "get"], input=b"host=example.org\n\n", capture_output=True,
                            env={"HOME": home_value}, cwd=repo, timeout=30)
    assert (result.returncode, result.stdout, result.stderr) == (0, b"", b"")


def test_module_takes_a_relative_home_as_no_configuration():
    code = ("import scripts.git_credential_zetadesk as m, io, sys\n"
            "sys.stderr = io.StringIO()\n"
            "print(repr(m.CONFIG_PATH), repr(m._read_token()), repr(sys.stderr.getvalue()))\n"
            "sys.stderr = None\n"  # gone: the line must not land on stdout instead
            "print(repr(m._read_token()))")
    for home_value in ("", "rel", "./rel"):
        result = run_python(code, env={"HOME": home_value})
        assert result.stdout == f"None '' {NO_HOME.decode()!r}\n''\n", (home_value, result.stderr)
