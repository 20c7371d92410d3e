"""What the credential tests and the credential benchmark share: the program,
the request and answer, a saved configuration, and the dynamic loader's log
that tells whether the program started the interpreter.

Free of pytest and of conftest's side effects, so the benchmark can use it
as a plain script (the `home` fixture is in conftest)."""

import contextlib
import glob
import json
import os
import shutil
import subprocess
import sys
import sysconfig

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


def libpython_files(log):
    """The libpython files a run under ld_debug(..., log) loaded (mapped: a
    file that failed to load is named too, before its error); the log files
    are removed."""
    files = set()
    for name in glob.glob(log + ".*"):
        with open(name, errors="replace") as f:
            for line in f:
                # "file=/usr/lib/.../libpython3.14.so.1.0 [0];  generating link map"
                path = line.partition("file=")[2].partition(" [")[0]
                if "libpython" in os.path.basename(path) and "generating link map" in line:
                    files.add(path)
        os.unlink(name)
    return files


def libpython_loaded(log):
    """Whether a run under ld_debug(..., log) loaded libpython, i.e. started
    the interpreter in-process; the log files are removed."""
    return bool(libpython_files(log))


# This interpreter's libpython, as its installation lays it out.
LIBPYTHON = os.path.join(sysconfig.get_config_var("LIBDIR"),
                         os.path.basename(sysconfig.get_config_var("INSTSONAME")))

# Runs a command with every given libpython replaced by an empty file, in a
# mount namespace of its own (so nothing else sees it): as on a system whose
# python3.14 comes without its shared library.
_HIDE = r"""
import ctypes, os, sys
empty, count = sys.argv[1], int(sys.argv[2])
hidden, argv = sys.argv[3:3 + count], sys.argv[3 + count:]
os.unshare(os.CLONE_NEWNS)
libc = ctypes.CDLL(None, use_errno=True)
for path in hidden:
    if libc.mount(empty.encode(), path.encode(), None, 4096, None) != 0:  # MS_BIND
        raise OSError(ctypes.get_errno(), "bind mount over " + path)
os.execv(argv[0], argv)
"""


def hidden_libpython(argv, empty, libraries=None):
    """argv run with `libraries` (default: every libpython3.14 file of this
    installation) hidden; `empty` is an empty file to mount over them."""
    if libraries is None:
        found = glob.glob(os.path.join(os.path.dirname(LIBPYTHON), "libpython3.14*.so*"))
        libraries = sorted({os.path.realpath(p) for p in found})
    return [sys.executable, "-I", "-c", _HIDE, str(empty), str(len(libraries)), *map(str, libraries), *argv]


def can_hide_libpython(scratch):
    """Whether this process may bind-mount in a mount namespace of its own
    (root, as in the development environment); tried in `scratch`."""
    a, b = os.path.join(scratch, "probe-a"), os.path.join(scratch, "probe-b")
    for path in (a, b):
        open(path, "w").close()
    probe = subprocess.run(hidden_libpython(["/bin/true"], a, [b]), capture_output=True, timeout=30)
    return probe.returncode == 0


def install_program(prefix, python):
    """The program and its module laid out as pip installs them into a
    virtual environment at `prefix`, created by `python`."""
    subprocess.run([python, "-m", "venv", "--without-pip", str(prefix)], check=True, timeout=120)
    site = subprocess.run([os.path.join(prefix, "bin", "python"), "-c",
                           "import sysconfig; print(sysconfig.get_path('platlib'))"],
                          capture_output=True, text=True, check=True, timeout=60).stdout.strip()
    os.makedirs(os.path.join(site, "scripts"))
    module = glob.glob(os.path.join(ROOT, "scripts", "git_credential_zetadesk.*.so"))
    assert len(module) == 1, module
    shutil.copy(module[0], os.path.join(site, "scripts"))
    shutil.copy(PROGRAM, os.path.join(prefix, "bin"))
    return os.path.join(prefix, "bin", "git-credential-zetadesk")
