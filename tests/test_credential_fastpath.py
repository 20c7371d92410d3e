"""The credential program's fast path against the module itself.

Every case runs twice: the program (fast path or hand-over), and the
module's main run by a plain interpreter.  Exit status, stdout, stderr and
the number of stdin bytes left unread must be identical.  Whether the
program started the interpreter is read from the dynamic loader's log
(libpython is loaded only on hand-over)."""

import contextlib
import json
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time

import pytest
from hypothesis import event, given, strategies as st

import scripts.git_credential_zetadesk as helper
from conftest import EMULATED, property_settings
from credential_common import (ANSWER, LIBPYTHON, PROGRAM, REQUEST, TOKEN, can_hide_libpython, hidden_libpython,
                               install_program, ld_debug, libpython_files, libpython_loaded, save, spawn)

# The module as the program runs it: __main__, utf-8 strict stdio, errors
# reported by sys.excepthook without this runner's own frame, stdout flushed
# and counted, no teardown.
RUNNER = r"""
import os, sys, _imp
from importlib.machinery import ExtensionFileLoader, ModuleSpec
path, sys.argv = sys.argv[1], sys.argv[2:]
name = "scripts.git_credential_zetadesk"
spec = ModuleSpec(name, ExtensionFileLoader(name, path), origin=path)
spec.has_location = True
status = 0
try:
    module = _imp.create_dynamic(spec)
    module.__name__, module.__spec__ = "__main__", spec
    sys.modules["__main__"] = module
    _imp.exec_dynamic(module)
except BaseException as e:
    e.__traceback__ = e.__traceback__.tb_next
    sys.excepthook(type(e), e, e.__traceback__)
    status = 1
try:
    sys.stdout.flush()
except BaseException as e:
    e.__traceback__ = None
    sys.excepthook(type(e), e, None)
    status = 1
sys.stderr.flush()
os._exit(status)
"""
# Sanitizer builds need their runtime and settings in both processes.
PASSED_ON = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")


def drain(fd):
    os.set_blocking(fd, False)
    left = 0
    with contextlib.suppress(BlockingIOError):
        while chunk := os.read(fd, 1 << 16):
            left += len(chunk)
    return left


def run(argv, stdin, mode, env, cwd):
    """(status, stdout, stderr, stdin bytes left unread).  mode: "file", a
    closed "pipe", or an "open" pipe whose writer stays (no EOF ever)."""
    if mode == "file":
        with tempfile.TemporaryFile() as f:
            f.write(stdin)
            f.seek(0)
            proc = subprocess.run(argv, stdin=f, capture_output=True, env=env, cwd=cwd, timeout=60)
            left = len(stdin) - os.lseek(f.fileno(), 0, os.SEEK_CUR)
        return proc.returncode, proc.stdout, proc.stderr, left
    read_end, write_end = os.pipe()
    try:
        os.write(write_end, stdin)  # small enough for the pipe: all there before the start
        if mode == "pipe":
            os.close(write_end)
            write_end = None
        proc = subprocess.run(argv, stdin=read_end, capture_output=True, env=env, cwd=cwd, timeout=60)
        return proc.returncode, proc.stdout, proc.stderr, drain(read_end)
    finally:
        os.close(read_end)
        if write_end is not None:
            os.close(write_end)


def compare(args=("get",), stdin=b"", config=None, mode="pipe", home="plain", program=PROGRAM, wrap=None):
    """Runs program and module on the same input; returns True when the
    program answered without loading libpython.  config: bytes, None (no
    file) or "dir"; wrap: turns the program's command line into the one run."""
    with tempfile.TemporaryDirectory() as tmp:
        home_dir = os.path.join(tmp, "home")
        os.makedirs(os.path.join(home_dir, ".zetadesk"))
        if config == "dir":
            os.mkdir(os.path.join(home_dir, ".zetadesk", "config.json"))
        elif config is not None:
            save(pathlib.Path(home_dir), config)
        env = {"PATH": "/usr/bin:/bin", **{k: os.environ[k] for k in PASSED_ON if k in os.environ}}
        if home != "unset":
            env["HOME"] = {"plain": home_dir, "slashes": "/" + home_dir + "//", "relative": "home",
                           "dot": ".", "empty": ""}[home]
        log = os.path.join(tmp, "ld")
        argv = [program, *args]
        ran = run(wrap(argv) if wrap else argv, stdin, mode, ld_debug(env, log), tmp)
        module = run([sys.executable, "-P", "-s", "-S", "-X", "utf8", "-c", RUNNER, helper.__file__, *argv],
                     stdin, mode, {**env, "PYTHONIOENCODING": "utf-8:strict"}, tmp)
        assert ran == module
        return not libpython_loaded(log)


TOKEN_CONFIG = json.dumps({"github_token": TOKEN, "workspace": "/w"}).encode()


@pytest.mark.parametrize("args,stdin,config,mode,home", [
    (("get",), REQUEST, TOKEN_CONFIG, "pipe", "plain"),
    (("get",), b"\xc2\xa0host\xe2\x80\x83=github.com\n\n", TOKEN_CONFIG, "pipe", "plain"),  # keys are str.strip()ped
    ((), b"host=api.GitHub.com:8443\nusername=x\n\nhost=example.org\n", TOKEN_CONFIG, "open", "plain"),
    (("get", "extra"), b"host=github.com", TOKEN_CONFIG, "file", "slashes"),
    (("get",), REQUEST, b'{"github_token":"t\\u00f6k\\u20ac\\ud83d\\ude00\\/"}', "pipe", "plain"),
    (("get",), REQUEST, b'\r\n{"a": [1, -0.5e+3, {"b": null}], "github_token": "\xe2\x82\xac"}\t', "pipe", "plain"),
    (("get",), REQUEST, None, "pipe", "plain"),  # no file: nothing
    (("get",), REQUEST, b'{"github_token": null}', "pipe", "plain"),
    (("get",), REQUEST, b'{"github_token": ""}', "pipe", "plain"),
    (("get",), b"protocol=https\nhost=example.org\n\n", b"not read", "pipe", "unset"),
    (("store",), REQUEST, TOKEN_CONFIG, "open", "plain"),
    (("Get",), b"", TOKEN_CONFIG, "open", "plain"),
    # HOME empty or relative: no configuration, one line on stderr.
    (("get",), REQUEST, TOKEN_CONFIG, "pipe", "relative"),
    (("get",), REQUEST, TOKEN_CONFIG, "file", "dot"),
    ((), REQUEST, TOKEN_CONFIG, "pipe", "empty"),
])
def test_fast_path_answers_the_common_cases(args, stdin, config, mode, home):
    assert compare(args, stdin, config, mode, home)


# Requests the fast path leaves to the module.
HANDED_OVER = [
    (b"protocol=http\nhost=github.com\n\n", TOKEN_CONFIG, "plain"),
    (b"protocol=https\r\nhost=github.com\r\n\r\n", TOKEN_CONFIG, "plain"),
    (b"host= github.com\n\n", TOKEN_CONFIG, "plain"),
    (b"host=github.com\n\n\xff", TOKEN_CONFIG, "plain"),  # decoded in the same read: status 1
    (b"host=github.com\n" + b"x" * 9000 + b"\n\n", TOKEN_CONFIG, "plain"),  # beyond the first read
    (b"host=a..github.com\n\n", TOKEN_CONFIG, "plain"),
    (b"host=github.com:0443\n\n", TOKEN_CONFIG, "plain"),
    (REQUEST, b'{"github_token": "a", "github_token": "b"}', "plain"),
    (REQUEST, b'{"github_token": NaN}', "plain"),
    (REQUEST, b'{"github_token": 12345}', "plain"),
    (REQUEST, b'{"github_token": "line\\nbreak"}', "plain"),
    (REQUEST, b'{"github_token": "lone \\ud800"}', "plain"),
    (REQUEST, b'\xef\xbb\xbf{"github_token": "bom"}', "plain"),
    (REQUEST, b'{"github_token": "\xff"}', "plain"),
    (REQUEST, b'{"github_token": "x", "n": ' + b"1" * 5000 + b"}", "plain"),
    (REQUEST, b"[" * 100 + b"]" * 100, "plain"),
    (REQUEST, "dir", "plain"),
    (REQUEST, TOKEN_CONFIG, "unset"),
]


@pytest.mark.parametrize("stdin,config,home", HANDED_OVER)
def test_hand_over_when_unsure(stdin, config, home):
    assert not compare(("get",), stdin, config, "pipe", home)


def test_answer_to_anything_but_a_pipe_is_left_to_the_interpreter(home, tmp_path):
    save(home, TOKEN_CONFIG)
    log = str(tmp_path / "ld")
    with open(tmp_path / "out", "wb+") as out:
        proc = subprocess.run([PROGRAM], input=REQUEST, stdout=out, stderr=subprocess.PIPE,
                              env=ld_debug({"HOME": str(home)}, log))
        out.seek(0)
        assert (proc.returncode, out.read(), proc.stderr) == (0, ANSWER, b"")
    assert libpython_loaded(log)


@pytest.fixture(scope="module")
def installs(tmp_path_factory):
    """Where the program runs from, each as (program, libpython its hand-over
    loads): its tree; a virtual environment of this interpreter; one whose
    base interpreter lives elsewhere (a copy of this installation's
    interpreter and libpython beside a link to its standard library).  With
    "empty", an empty file to hide libraries with."""
    tmp = tmp_path_factory.mktemp("installs")
    if not can_hide_libpython(tmp):
        pytest.skip("hiding libpython needs a mount namespace of our own (root)")
    if not os.path.exists(LIBPYTHON):
        pytest.skip("this interpreter has no libpython to hide")
    (tmp / "empty").touch()
    base = tmp / "base elsewhere"
    name = f"python{sysconfig.get_config_var('VERSION')}{sys.abiflags}"
    rel = {p: os.path.relpath(p, sys.base_prefix) for p in (sysconfig.get_path("stdlib"), LIBPYTHON)}
    for path in [base / "bin" / name, *(base / r for r in rel.values())]:
        path.parent.mkdir(parents=True, exist_ok=True)
    shutil.copy(os.path.realpath(sys.executable), base / "bin" / name)
    os.symlink(sysconfig.get_path("stdlib"), base / rel[sysconfig.get_path("stdlib")])
    shutil.copy(os.path.realpath(LIBPYTHON), base / rel[LIBPYTHON])
    return {"tree": (PROGRAM, LIBPYTHON), "venv": (install_program(tmp / "venv", sys.executable), LIBPYTHON),
            "venv of a base elsewhere": (install_program(tmp / "venv 2", str(base / "bin" / name)),
                                         str(base / rel[LIBPYTHON])),
            "empty": tmp / "empty"}


WHERE = ["tree", "venv", "venv of a base elsewhere"]


# Venvs, copies of the interpreter and mount namespaces cost minutes each
# under qemu-user; the native run covers them.
native_installations = pytest.mark.skipif(EMULATED, reason="installations built under emulation")


@native_installations
@pytest.mark.parametrize("where", WHERE)
def test_hand_over_loads_the_libpython_of_its_installation(installs, where, home, tmp_path):
    program, library = installs[where]
    save(home, TOKEN_CONFIG)
    # This installation's libpython hidden: a venv of another base must not need it.
    hide = (lambda argv: hidden_libpython(argv, installs["empty"])) if library != LIBPYTHON else None
    for stdin, config, how in HANDED_OVER[:3]:
        assert not compare(("get",), stdin, config, "pipe", how, program=program, wrap=hide)
    log = str(tmp_path / "ld")
    argv = [program, "get"]
    proc = subprocess.run(hide(argv) if hide else argv, input=b"host= github.com\n\n", capture_output=True,
                          env=ld_debug({"HOME": str(home), "PATH": "/usr/bin:/bin"}, log), cwd=tmp_path, timeout=60)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, ANSWER, b"")
    assert libpython_files(log) == {library}


@native_installations
@pytest.mark.parametrize("where", WHERE)
def test_hand_over_without_libpython_runs_the_interpreter(installs, where):
    """libpython hidden (Debian's python3.14 alone, a build without
    --enable-shared): the installation's interpreter runs the module, and
    every handed-over request still gets exactly the module's answer."""
    program, library = installs[where]
    libraries = sorted({os.path.realpath(LIBPYTHON), library})

    def hide(argv):
        return hidden_libpython(argv, installs["empty"], libraries)
    for stdin, config, how in HANDED_OVER:
        assert compare(("get",), stdin, config, "pipe", how, program=program, wrap=hide)
    assert compare(("get",), REQUEST, TOKEN_CONFIG, "file", program=program, wrap=hide)  # the fast path's own


# Requests and configuration files, generated as bytes from pieces that
# sit on both sides of every rule.
keys = st.sampled_from(["host", "protocol", "username", "path", " host ", "host\t", "\u00a0host", "HOST",
                        "hos", "", "\x1chost", "prot\u00f6col"])
values = st.sampled_from(["github.com", "GitHub.COM", "api.github.com:8443", "github.com:443", "github.com:0",
                          "github.com:99999", "github.com:", "evilgithub.com", "github.com.evil.example",
                          "example.org", "", " github.com", "github.com\r", "gith\u00fcb.com", "a..github.com",
                          "git_hub.github.com", "x-y.github.com", "https", "http", "ssh", "HTTPS", "https\r",
                          "a=b", "\x00"])
lines = st.one_of(
    st.builds(lambda k, v: (k + "=" + v).encode(), keys, values),
    st.binary(max_size=10).map(lambda b: b.replace(b"\n", b"")),
    st.sampled_from([b"host", b"=", b"\r", b" "]),
)
requests = st.builds(
    lambda ls, end, after: b"\n".join(ls) + end + after,
    st.lists(lines, max_size=6),
    st.sampled_from([b"\n\n", b"\n", b"", b"\r\n\r\n", b"\n\n\n"]),
    st.one_of(st.just(b""), st.binary(max_size=6), st.just(b"host=example.org\n"), st.just("\u20ac".encode())),
)

token_text = st.text(st.sampled_from("ghp_0aZ \t\n\r\x00\x1b\x7f\x85\u00e9\u20ac\u2028\U0001f600\\\"/"), max_size=8)
json_values = st.one_of(
    st.builds(lambda t, ascii_: json.dumps(t, ensure_ascii=ascii_), token_text, st.booleans()),
    st.sampled_from(['"ghp_plain"', '""', "null", "true", "false", "0", "-0.0", "1e400", "NaN", "-Infinity",
                     "[]", "{}", '[1, {"a": []}]', '"\\ud800"', '"\\udc00\\ud800"', '"\\u00"', "01", "1.",
                     '"tab\tinside"', '"\\x41"', "12345678901234567890"]),
)
member_keys = st.sampled_from(['"github_token"', '"github\\u005ftoken"', '"workspace"', '""', '"GITHUB_TOKEN"'])
spaces = st.sampled_from(["", " ", "\t", "\r\n", "\n ", "\u00a0", "\x0b"])


@st.composite
def configs(draw):
    kind = draw(st.sampled_from(["object", "object", "object", "object", "bytes", "missing", "dir"]))
    if kind == "missing":
        return None
    if kind == "dir":
        return "dir"
    if kind == "bytes":
        return draw(st.binary(max_size=30))
    members = draw(st.lists(st.tuples(member_keys, json_values), max_size=4))
    s = draw(spaces)
    text = s + "{" + ("," + draw(spaces)).join(f"{k}{s}:{draw(spaces)}{v}" for k, v in members) + "}" + draw(spaces)
    data = text.encode()
    damage = draw(st.sampled_from(["none", "none", "none", "bom", "cut", "junk", "latin1"]))
    if damage == "bom":
        data = b"\xef\xbb\xbf" + data
    elif damage == "cut":
        data = data[:draw(st.integers(0, len(data)))]
    elif damage == "junk":
        data += draw(st.binary(min_size=1, max_size=3))
    elif damage == "latin1":
        data = text.encode("latin-1", "replace")
    return data


@property_settings(100)
@given(args=st.sampled_from([(), ("get",), ("get", "x"), ("store",), ("erase",), ("Get",)]),
       stdin=requests, config=configs(), mode=st.sampled_from(["pipe", "file", "open"]),
       home=st.sampled_from(["plain", "plain", "slashes"]))
def test_program_equals_module(args, stdin, config, mode, home):
    if mode == "open" and b"\n\n" not in b"\n" + stdin:
        mode = "pipe"  # without a blank line the module would wait for more
    event("fast path" if compare(args, stdin, config, mode, home) else "interpreter")


@property_settings(100)
@given(host=values, protocol=st.one_of(st.none(), values), token=json_values, duplicate=st.booleans())
def test_program_equals_module_on_github_requests(host, protocol, token, duplicate):
    request = (f"protocol={protocol}\n" if protocol is not None else "") + f"host={host}\n\n"
    members = [f'"github_token": {token}'] * (2 if duplicate else 1)
    config = ("{" + ", ".join(members + ['"workspace": "/w"']) + "}").encode()
    event("fast path" if compare(("get",), request.encode(), config) else "interpreter")


@pytest.mark.parametrize("pieces", [[b"protocol=https\nhost=git", b"hub.com\n", b"\n"], [b"", REQUEST]])
def test_request_written_while_the_program_waits(home, pieces):
    """The program finds nothing or half a request in the pipe: it waits, or
    hands over without taking a byte, and the answer is whole either way."""
    save(home, TOKEN_CONFIG)
    with spawn(home, "get") as proc:
        for piece in pieces:
            time.sleep(0.2)
            proc.stdin.write(piece)
            proc.stdin.flush()
        out, err = proc.communicate(timeout=30)
    assert (proc.returncode, out, err) == (0, ANSWER, b"")
