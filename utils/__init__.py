"""Host services of the ZetaDesk server (stand-in of the IDE's own module).

The native route module imports its host names from here.  Everything is
real: the configuration document lives in CONFIG_DIR/config.json, the log
buffer is bounded and guarded by _log_lock, and the platform facts are
read from the running system.
"""

import contextlib
import fcntl
import functools
import hashlib
import json
import os
import platform
import re
import secrets
import shutil
import socket
import stat
import struct
import sys
import tempfile
import threading
import time
import traceback
from collections import deque
from datetime import datetime

from flask import jsonify

# The directory that holds zetadesk_server.py: the checkout, or site-packages
# when installed.  utils is a package so that the wheels carry it.
SERVER_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CONFIG_DIR = os.path.abspath(os.path.expanduser(
    os.environ.get("ZETADESK_CONFIG_DIR") or os.path.join("~", ".zetadesk")))


def _private_dir(path):
    """Creates `path` for this user alone (0700), or checks the one there.

    The directory holds the access token, the GitHub token and files the
    server writes: one that another user owns or may write into could have
    them planted or swapped (a config.json, a symlink in place of
    server.log).  PermissionError with what to do about it."""
    os.makedirs(path, mode=0o700, exist_ok=True)
    if not hasattr(os, "getuid"):
        return  # Windows: the profile's ACLs decide
    st = os.stat(path)
    if st.st_uid != os.getuid():
        raise PermissionError(f"configuration directory {path} belongs to uid {st.st_uid}, not to this user "
                              f"(uid {os.getuid()}); refusing to start (set ZETADESK_CONFIG_DIR to a directory of yours)")
    if st.st_mode & 0o022:
        raise PermissionError(f"configuration directory {path} is writable by group or others "
                              f"(mode {stat.S_IMODE(st.st_mode):o}); refusing to start (chmod 700 {path})")


_private_dir(CONFIG_DIR)
CONFIG_FILE = os.path.join(CONFIG_DIR, "config.json")

WORKSPACE = os.path.abspath(os.path.expanduser(
    os.environ.get("ZETADESK_WORKSPACE") or os.path.join("~", "zetadesk-workspace")))
PORT = int(os.environ.get("ZETADESK_PORT") or 8765)
# Empty counts as unset: listening on every interface must be asked for by name.
HOST = os.environ.get("ZETADESK_HOST") or "127.0.0.1"

ACCESS_TOKEN_FILE = os.path.join(CONFIG_DIR, "access_token")
# What a token may hold: it travels in a header and in scripts unquoted.
_TOKEN_SHAPE = re.compile(r"[A-Za-z0-9._~-]{16,512}")


def _read_access_token():
    """The token in ACCESS_TOKEN_FILE; None when there is none to keep.

    None also for a file that group or others may read: they may have read
    the token, so a new one replaces it.  A file that is no regular file (a
    FIFO would block the start), belongs to another user or that others may
    write stops the start: someone else can choose this server's token."""
    flags = os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
    try:
        fd = os.open(ACCESS_TOKEN_FILE, flags)
    except FileNotFoundError:
        return None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise RuntimeError(f"{ACCESS_TOKEN_FILE} is not a regular file; remove it to get a new token")
        if hasattr(os, "getuid") and st.st_uid != os.getuid():
            raise RuntimeError(f"{ACCESS_TOKEN_FILE} belongs to another user; remove it to get a new token")
        if st.st_mode & 0o022:
            raise RuntimeError(f"{ACCESS_TOKEN_FILE} is writable by group or others; "
                               "remove it to get a new token")
        if st.st_mode & 0o077:
            print(f"[SERVER] warning: {ACCESS_TOKEN_FILE} was readable by group or others; "
                  "it gets a new token", file=sys.stderr, flush=True)
            return None
        token = os.read(fd, 1024).decode("ascii", "replace").strip()
    finally:
        os.close(fd)
    if not _TOKEN_SHAPE.fullmatch(token):
        # Never quoted: the message may reach a log.
        raise RuntimeError(f"{ACCESS_TOKEN_FILE} does not hold an access token; remove it to get a new one")
    return token


def _access_token():
    """The API's access token, made at the first start and kept across restarts.

    No hard links: Android refuses link() to apps and Termux's Python has no
    os.link.  Starts take turns on a lock of the configuration directory
    itself (no lock file is left), so two at once agree on one token; the
    token is written to a private (0600) temporary file and renamed into
    place, so a reader never sees half of one."""
    dir_fd = os.open(CONFIG_DIR, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | getattr(os, "O_CLOEXEC", 0))
    try:
        # Released with the descriptor.  A file system without locks only
        # loses the agreement of two first starts at the same instant.
        with contextlib.suppress(OSError):
            fcntl.flock(dir_fd, fcntl.LOCK_EX)
        token = _read_access_token()
        if token is not None:
            return token
        fd, tmp = tempfile.mkstemp(prefix=".access_token-", dir=CONFIG_DIR)  # mode 0600
        try:
            with os.fdopen(fd, "w", encoding="ascii") as f:
                f.write(secrets.token_urlsafe(32) + "\n")  # 256 bits
                f.flush()
                os.fsync(f.fileno())
            os.replace(tmp, ACCESS_TOKEN_FILE)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(tmp)
            raise
        return _read_access_token()
    finally:
        os.close(dir_fd)


ACCESS_TOKEN = _access_token()

# One-time login codes: the page trades one for the access token, once,
# within LOGIN_CODE_SECONDS.  Each is an empty file in LOGIN_DIR named after
# the code's hash, so any process of this user (`zetadesk login`) can make
# one that a running server accepts, and removing the file is what uses it
# up, in one step, whichever server process a request reaches.
LOGIN_CODE_SECONDS = 600
LOGIN_DIR = os.path.join(CONFIG_DIR, "login")
_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)


def _login_code_file(code):
    return os.path.join(LOGIN_DIR, hashlib.sha256(code.encode("ascii")).hexdigest())


def new_login_code():
    """A fresh single-use login code (and codes past their time are removed)."""
    _private_dir(LOGIN_DIR)
    now = time.time()
    for name in os.listdir(LOGIN_DIR):
        path = os.path.join(LOGIN_DIR, name)
        try:
            if now - os.lstat(path).st_mtime > LOGIN_CODE_SECONDS:
                os.unlink(path)
        except OSError:
            pass
    code = secrets.token_urlsafe(32)
    os.close(os.open(_login_code_file(code), os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NOFOLLOW, 0o600))
    return code


def redeem_login_code(code):
    """Whether `code` is a login code not used before and not older than
    LOGIN_CODE_SECONDS.  Used up by this call, whatever the answer."""
    if not isinstance(code, str) or not _TOKEN_SHAPE.fullmatch(code):
        return False
    path = _login_code_file(code)
    try:
        st = os.lstat(path)
        os.unlink(path)  # only one caller can remove it
    except OSError:
        return False
    age = time.time() - st.st_mtime
    return stat.S_ISREG(st.st_mode) and -60 <= age <= LOGIN_CODE_SECONDS

# Restarts: this server tells the one that started it when it is about to
# serve (signal_takeover), and a restart waits up to this many seconds for
# its successor to say so.  ZETADESK_TAKEOVER_SECONDS=off leaves the name
# out, as a host whose server does not signal would.
_takeover_seconds = os.environ.get("ZETADESK_TAKEOVER_SECONDS") or "15"
try:
    RESTART_TAKEOVER_SECONDS = float(_takeover_seconds)
except ValueError:
    # "off", or a value that is no number: no takeover rather than no server.
    if _takeover_seconds != "off":
        print(f"[SERVER] ZETADESK_TAKEOVER_SECONDS={_takeover_seconds!r} is not a number of seconds; "
              "restarts do not wait for their successor", file=sys.stderr)


def _inherited_fd(name):
    """The descriptor a restart passed in the environment variable `name`,
    kept out of every process this one starts; None when there is none."""
    try:
        fd = int(os.environ.pop(name, None))
        os.set_inheritable(fd, False)
    except (TypeError, ValueError, OSError):
        return None
    return fd


# The write end of the pipe the predecessor listens on, if a restart started
# this process.
_takeover_fd = _inherited_fd("ZETADESK_TAKEOVER_FD")
# The listening socket a restart handed over (its descriptor).  Once this
# server listens it offers its socket in turn as RESTART_LISTENER: (socket,
# stop_accepting), where stop_accepting(seconds) stops accepting on it
# without closing the successor's descriptor and gives the requests under
# way that long to end.
_listen_fd = _inherited_fd("ZETADESK_LISTEN_FD")


def take_inherited_listener():
    """The descriptor of the listening socket a restart handed to this
    process, once; None when there is none."""
    global _listen_fd
    fd, _listen_fd = _listen_fd, None
    return fd

TERMUX_DATA = "/data/data/com.termux/files"


def _platform_flags(system, environ, isdir=os.path.isdir):
    """(IS_WINDOWS, IS_MACOS, IS_TERMUX, PLATFORM_NAME) for sys.platform
    `system`.  Android ("android" since Python 3.13) counts as Linux: only
    Windows and macOS differ."""
    is_windows, is_macos = system == "win32", system == "darwin"
    is_termux = not (is_windows or is_macos) and (
        "com.termux" in environ.get("PREFIX", "") or isdir(TERMUX_DATA))
    name = "windows" if is_windows else "macos" if is_macos else "termux" if is_termux else "linux"
    return is_windows, is_macos, is_termux, name


IS_WINDOWS, IS_MACOS, IS_TERMUX, PLATFORM_NAME = _platform_flags(sys.platform, os.environ)
PLATFORM_DETAIL = platform.platform()

# Managed processes started from the IDE: name -> {"running": bool, ...}.
running_processes = {}

LOG_BUFFER_SIZE = 2000
_log_buffer = deque(maxlen=LOG_BUFFER_SIZE)
_log_lock = threading.Lock()


def log_write(text, console=None):
    """Record one server log line in the buffer and on standard output.

    `console`, when given, is printed instead of `text`: what a terminal may
    show but the buffer must not keep."""
    entry = {"time": datetime.now().strftime("%H:%M:%S"), "text": str(text)}
    with _log_lock:
        _log_buffer.append(entry)
    rotate_server_log()
    print(text if console is None else console, flush=True)


# server.log is this server's output after a restart (the restart hands it
# to the successor as standard output and error), and every request adds a
# line: past SERVER_LOG_MAX_BYTES it moves to server.log.1 (that one to
# server.log.2, the oldest dropped) and a new server.log begins.
SERVER_LOG = os.path.join(CONFIG_DIR, "server.log")
try:
    SERVER_LOG_MAX_BYTES = int(os.environ.get("ZETADESK_LOG_MAX_BYTES") or 10 * 1024 * 1024)
except ValueError:
    SERVER_LOG_MAX_BYTES = 10 * 1024 * 1024
SERVER_LOG_KEEP = 2
_rotate_lock = threading.Lock()


def _same_file(a, b):
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def _stat(path):
    try:
        return os.stat(path)
    except OSError:
        return None


def rotate_server_log():
    """Rotate server.log when this process's output is that file and it has
    grown past SERVER_LOG_MAX_BYTES; follow a rotation another server made
    (a restart's predecessor or successor writes to the same file).  Output
    to anything else (a terminal, another file) is left alone.  Renaming an
    open file fails on Windows: nothing is rotated there."""
    if IS_WINDOWS:
        return
    try:
        out = os.fstat(1)
    except OSError:
        return
    if not stat.S_ISREG(out.st_mode):
        return
    current = _stat(SERVER_LOG)
    if current is not None and _same_file(out, current) and out.st_size < SERVER_LOG_MAX_BYTES:
        return
    with _rotate_lock:
        current = _stat(SERVER_LOG)
        if current is not None and _same_file(out, current):
            if out.st_size < SERVER_LOG_MAX_BYTES:
                return
            for i in range(SERVER_LOG_KEEP, 1, -1):
                if os.path.exists(f"{SERVER_LOG}.{i - 1}"):
                    os.replace(f"{SERVER_LOG}.{i - 1}", f"{SERVER_LOG}.{i}")
            os.replace(SERVER_LOG, SERVER_LOG + ".1")
        elif not any(_same_file(out, old) for i in range(1, SERVER_LOG_KEEP + 1)
                     if (old := _stat(f"{SERVER_LOG}.{i}")) is not None):
            return  # not server.log's output
        try:
            sys.stdout.flush()
            sys.stderr.flush()
        except (OSError, ValueError):
            pass
        fd = os.open(SERVER_LOG, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_CLOEXEC, 0o600)
        try:
            for target in (1, 2):
                try:
                    if _same_file(os.fstat(target), out):
                        os.dup2(fd, target)
                except OSError:
                    pass
        finally:
            os.close(fd)


def signal_takeover():
    """Tell the server whose restart started this one that this one is about
    to serve, so it stops accepting and ends; nothing when no restart did."""
    global _takeover_fd
    fd, _takeover_fd = _takeover_fd, None
    if fd is None:
        return
    try:
        os.write(fd, b"!")
    except OSError:
        pass  # the predecessor has stopped waiting: the port is free or will be
    finally:
        os.close(fd)


def handle_error(view):
    """Answer any exception of `view` with {"ok": false, "error": ...} and 500."""

    @functools.wraps(view)
    def wrapper(*args, **kwargs):
        try:
            return view(*args, **kwargs)
        except Exception as e:
            traceback.print_exc()
            return jsonify({"ok": False, "error": str(e)}), 500

    return wrapper


class ConfigError(ValueError):
    """The configuration file exists but does not hold a JSON object."""


def load_config():
    """The configuration document; {} when none has been saved yet."""
    try:
        with open(CONFIG_FILE, "r", encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        return {}
    try:
        config = json.loads(text)
    except ValueError as e:
        # Never treat a damaged file as empty: the next save would erase it.
        raise ConfigError(f"configuration file {CONFIG_FILE} is not valid JSON: {e}") from None
    if not isinstance(config, dict):
        raise ConfigError(f"configuration file {CONFIG_FILE} does not hold a JSON object")
    return config


def save_config(config):
    """Store the document atomically: readers see the old or the new file, never half."""
    text = json.dumps(config, indent=2, ensure_ascii=False)
    fd, tmp = tempfile.mkstemp(prefix=".config-", suffix=".json", dir=CONFIG_DIR)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, CONFIG_FILE)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def get_default_shell():
    if IS_WINDOWS:
        return os.environ.get("COMSPEC", "cmd.exe")
    return os.environ.get("SHELL") or shutil.which("bash") or _system_shell(sys.platform, os.environ)


def _system_shell(system, environ):
    """The POSIX shell every system has: Android has no /bin/sh, Termux
    brings its own."""
    if "com.termux" in environ.get("PREFIX", ""):
        return os.path.join(environ["PREFIX"], "bin", "sh")
    return "/system/bin/sh" if system == "android" else "/bin/sh"


def get_default_compiler():
    for name in ("clang", "gcc", "cc", "cl"):
        if shutil.which(name):
            return name
    return None


def _interface_ipv4():
    """(address, interface name) of every IPv4 interface address (Linux)."""
    found = []
    try:
        names = [name for _, name in socket.if_nameindex()]
    except OSError:
        return found
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        for name in names:
            try:
                packed = fcntl.ioctl(s.fileno(), 0x8915,  # SIOCGIFADDR
                                     struct.pack("256s", name.encode()[:15]))
            except OSError:
                continue
            found.append((socket.inet_ntoa(packed[20:24]), name))
    return found


def _interface_ipv6():
    found = []
    try:
        with open("/proc/net/if_inet6", encoding="ascii") as f:
            for row in f:
                fields = row.split()
                if len(fields) >= 6:
                    raw = fields[0]
                    addr = ":".join(raw[i:i + 4] for i in range(0, 32, 4))
                    found.append((socket.inet_ntop(socket.AF_INET6, socket.inet_pton(socket.AF_INET6, addr)), fields[5]))
    except OSError:
        pass
    return found


def get_display_addresses():
    """(host, address family, label) for every address the server answers on."""
    if HOST not in ("", "0.0.0.0", "::"):
        family = socket.AF_INET6 if ":" in HOST else socket.AF_INET
        return [(HOST, family, "configured")]
    addresses = []
    if HOST != "::":
        for addr, name in _interface_ipv4():
            addresses.append((addr, socket.AF_INET, "local" if addr.startswith("127.") else name))
    if HOST == "::":
        for addr, name in _interface_ipv6():
            addresses.append((addr, socket.AF_INET6, "local" if addr == "::1" else name))
    if not addresses:
        addresses.append(("127.0.0.1", socket.AF_INET, "local"))
    return addresses
