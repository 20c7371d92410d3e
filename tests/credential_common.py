"""What the credential tests and the credential benchmark share: the program,
the request and answer, a saved configuration, and the dynamic loader's log
that tells whether the program started the interpreter.

Free of pytest and of conftest's side effects, so the benchmark can use it
as a plain script (the `home` fixture is in conftest)."""

import contextlib
import glob
import json
import os
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PROGRAM = os.path.join(ROOT, "bin", "git-credential-zetadesk")
TOKEN = "ghp_0123456789abcdef"
REQUEST = b"protocol=https\nhost=github.com\n\n"


def answer(token):
    """The program's answer to REQUEST with `token` saved."""
    return f"username=x-access-token\npassword={token}\n\n".encode()


ANSWER = answer(TOKEN)


def save(home, content=json.dumps({"github_token": TOKEN})):
    """Writes home/.zetadesk/config.json (text or bytes); returns its path."""
    path = home / ".zetadesk" / "config.json"
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return path


@contextlib.contextmanager
def spawn(home, *args):
    """The program on pipes the test controls; killed if it is left hanging."""
    proc = subprocess.Popen([PROGRAM, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env={"HOME": str(home)})
    try:
        yield proc
    finally:
        proc.kill()
        proc.communicate()


def ld_debug(env, log):
    """`env` with the dynamic loader logging the files it loads to log.PID."""
    return {**env, "LD_DEBUG": "files", "LD_DEBUG_OUTPUT": log}


def libpython_loaded(log):
    """Whether a run under ld_debug(..., log) loaded libpython, i.e. started
    the interpreter; the log files are removed."""
    loaded = False
    for name in glob.glob(log + ".*"):
        with open(name, errors="replace") as f:
            loaded |= "libpython" in f.read()
        os.unlink(name)
    return loaded
