"""Host services of the ZetaDesk server (stand-in of the IDE's own module).

The native route module imports its host names from here.  Everything is
real: the configuration document lives in CONFIG_DIR/config.json, the log
buffer is bounded and guarded by _log_lock, and the platform facts are
read from the running system.
"""

import fcntl
import functools
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
import traceback
from collections import deque
from datetime import datetime

from flask import jsonify

# The directory that holds zetadesk_server.py: the checkout, or site-packages
# when installed.  utils is a package so that the wheels carry it.
SERVER_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CONFIG_DIR = os.path.abspath(os.path.expanduser(
    os.environ.get("ZETADESK_CONFIG_DIR") or os.path.join("~", ".zetadesk")))
os.makedirs(CONFIG_DIR, exist_ok=True)
CONFIG_FILE = os.path.join(CONFIG_DIR, "config.json")

WORKSPACE = os.path.abspath(os.path.expanduser(
    os.environ.get("ZETADESK_WORKSPACE") or os.path.join("~", "zetadesk-workspace")))
PORT = int(os.environ.get("ZETADESK_PORT") or 8765)
# Empty counts as unset: listening on every interface must be asked for by name.
HOST = os.environ.get("ZETADESK_HOST") or "127.0.0.1"

ACCESS_TOKEN_FILE = os.path.join(CONFIG_DIR, "access_token")
# What a token may hold: it travels in a URL, a header and a cookie unquoted.
_TOKEN_SHAPE = re.compile(r"[A-Za-z0-9._~-]{16,512}")


def _read_access_token():
    """The token in ACCESS_TOKEN_FILE; None when there is no such file."""
    try:
        fd = os.open(ACCESS_TOKEN_FILE, os.O_RDONLY | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0))
    except FileNotFoundError:
        return None
    with os.fdopen(fd, "r", encoding="ascii", errors="replace") as f:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode) or (hasattr(os, "getuid") and st.st_uid != os.getuid()):
            raise RuntimeError(f"{ACCESS_TOKEN_FILE} is not a regular file of this user")
        if st.st_mode & 0o077:
            os.fchmod(fd, 0o600)
        token = f.read(1024).strip()
    if not _TOKEN_SHAPE.fullmatch(token):
        # Never quoted: the message may reach a log.
        raise RuntimeError(f"{ACCESS_TOKEN_FILE} does not hold an access token; remove it to get a new one")
    return token


def _access_token():
    """The API's access token, made at the first start and kept across restarts.

    Written to a private temporary file first and linked into place, so a
    reader never sees half a token and two servers starting at once agree on
    the one that was linked first."""
    token = _read_access_token()
    if token is not None:
        return token
    fd, tmp = tempfile.mkstemp(prefix=".access_token-", dir=CONFIG_DIR)  # mode 0600
    try:
        with os.fdopen(fd, "w", encoding="ascii") as f:
            f.write(secrets.token_urlsafe(32) + "\n")  # 256 bits
            f.flush()
            os.fsync(f.fileno())
        try:
            os.link(tmp, ACCESS_TOKEN_FILE)
        except FileExistsError:
            pass  # another start was first: its token counts
    finally:
        os.unlink(tmp)
    return _read_access_token()


ACCESS_TOKEN = _access_token()

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
# The write end of the pipe the predecessor listens on, if a restart started
# this process; kept out of every process this one starts.
_takeover_fd = os.environ.pop("ZETADESK_TAKEOVER_FD", None)
try:
    _takeover_fd = int(_takeover_fd)
    os.set_inheritable(_takeover_fd, False)
except (TypeError, ValueError, OSError):
    _takeover_fd = None
# The listening socket a restart handed over (its descriptor), kept out of
# every process this one starts like the pipe.  Once this server listens it
# offers its socket in turn as RESTART_LISTENER: (socket, stop_accepting),
# where stop_accepting(seconds) stops accepting on it without closing the
# successor's descriptor and gives the requests under way that long to end.
_listen_fd = os.environ.pop("ZETADESK_LISTEN_FD", None)
try:
    _listen_fd = int(_listen_fd)
    os.set_inheritable(_listen_fd, False)
except (TypeError, ValueError, OSError):
    _listen_fd = None


def take_inherited_listener():
    """The descriptor of the listening socket a restart handed to this
    process, once; None when there is none."""
    global _listen_fd
    fd, _listen_fd = _listen_fd, None
    return fd

IS_WINDOWS = sys.platform == "win32"
IS_MACOS = sys.platform == "darwin"
IS_TERMUX = "com.termux" in os.environ.get("PREFIX", "") or os.path.isdir("/data/data/com.termux/files")
if IS_WINDOWS:
    PLATFORM_NAME = "windows"
elif IS_MACOS:
    PLATFORM_NAME = "macos"
elif IS_TERMUX:
    PLATFORM_NAME = "termux"
else:
    PLATFORM_NAME = "linux"
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
    print(text if console is None else console, flush=True)


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
    return os.environ.get("SHELL") or shutil.which("bash") or "/bin/sh"


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
