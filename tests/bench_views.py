"""Per-call cost of the configuration, status and information views, native
against the same views written in plain Python below, in one process.

    tools/devenv.sh run python3.14 tests/bench_views.py [--calls N] [--rounds R]

Each view is timed called directly inside a request context and through the
Flask test client.  Rounds alternate which side runs first; the best round
of each side is reported.  A ratio below 1 means the native view is faster.
"""

import argparse
import math
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_scratch = tempfile.mkdtemp(prefix="zetadesk-bench-")
os.environ["ZETADESK_CONFIG_DIR"] = os.path.join(_scratch, "config")
os.environ["ZETADESK_WORKSPACE"] = os.path.join(_scratch, "workspace")
sys.path.insert(0, ROOT)

from flask import Blueprint, jsonify, request  # noqa: E402

import utils  # noqa: E402
from utils import CONFIG_DIR, HOST, PORT, SERVER_DIR, WORKSPACE, handle_error, running_processes  # noqa: E402

import routes.opsdeck as opsdeck  # noqa: E402
import zetadesk_server  # noqa: E402

# ---- reference views: the same behaviour in plain Python -------------------

SERVER_START_TIME = opsdeck.SERVER_START_TIME
SERVER_VERSION = "2.0.0"
_update_lock = threading.Lock()
ref = Blueprint("ref", __name__, url_prefix="/ref")


@ref.route("/api/config", methods=["GET"])
@handle_error
def get_config():
    from utils import load_config as _load_config
    return jsonify(_load_config())


@ref.route("/api/config", methods=["POST"])
@handle_error
def update_config():
    from utils import save_config as _save_config, load_config as _load_config
    data = request.json
    with _update_lock:
        config = _load_config()
        old_token = config.get("github_token", "")
        new_token = data.get("github_token", None)
        token_changed = False if new_token is None else new_token != old_token
        config.update(data)
        _save_config(config)
    if config.get("workspace"):
        os.makedirs(config["workspace"], exist_ok=True)
    projects_refreshed = 0
    if token_changed:
        try:
            from routes.git import _refresh_all_project_git_auth
            projects_refreshed = _refresh_all_project_git_auth(new_token)
        except Exception as e:
            print(f"[config] warning: failed to refresh project git auth: {e}")
    return jsonify({"ok": True, "token_changed": token_changed, "projects_refreshed": projects_refreshed})


@ref.route("/api/server/status", methods=["GET"])
@handle_error
def server_status():
    import resource
    uptime = time.time() - SERVER_START_TIME
    uptime_seconds = int(uptime)
    hours, remainder = divmod(uptime_seconds, 3600)
    minutes, seconds = divmod(remainder, 60)
    memory = {}
    try:
        usage = resource.getrusage(resource.RUSAGE_SELF)
        memory["rss_mb"] = round(usage.ru_maxrss / 1024, 1)
    except Exception:
        try:
            out = os.popen(f"ps -o rss= -p {os.getpid()}").read()
            memory["rss_mb"] = round(int(out.strip().split()[0]) / 1024, 1)
        except Exception:
            memory["rss_mb"] = "unknown"
    connected = sum(1 for p in running_processes.values() if p.get("running", False))
    from utils import load_config as _load_config, get_display_addresses
    import socket
    listen = []
    try:
        for host, family, label in get_display_addresses():
            listen.append({"address": host, "family": "IPv6" if family == socket.AF_INET6 else "IPv4",
                           "type": label})
    except Exception:
        listen = [{"address": HOST, "family": "IPv4", "type": "unknown"}]
    return jsonify({
        "status": "running", "version": SERVER_VERSION, "uptime_seconds": uptime_seconds,
        "uptime": f"{hours}h {minutes}m {seconds}s", "pid": os.getpid(), "port": PORT,
        "host": HOST or "auto", "listen_addresses": listen, "python": sys.version.split()[0],
        "platform": sys.platform, "workspace": _load_config().get("workspace", WORKSPACE),
        "memory": memory, "connected_processes": connected, "config_dir": CONFIG_DIR,
        "server_dir": SERVER_DIR,
    })


@ref.route("/api/system/info", methods=["GET"])
def system_info():
    from utils import load_config as _load_config, IS_WINDOWS, PLATFORM_NAME, PLATFORM_DETAIL, IS_TERMUX
    info = {
        "platform": PLATFORM_NAME, "platform_detail": PLATFORM_DETAIL, "is_windows": IS_WINDOWS,
        "is_termux": IS_TERMUX, "workspace": _load_config().get("workspace", WORKSPACE),
        "pid": os.getpid(), "server_version": SERVER_VERSION,
    }
    if not IS_WINDOWS:
        try:
            result = subprocess.run("uname -a", shell=True, capture_output=True, text=True, timeout=5,
                                    encoding="utf-8", errors="replace")
            if result.returncode == 0:
                info["uname"] = result.stdout.strip()
        except Exception:
            pass
    return jsonify(info)


@ref.route("/api/platform/info", methods=["GET"])
@handle_error
def platform_info():
    from utils import IS_WINDOWS, IS_TERMUX, IS_MACOS, PLATFORM_NAME, get_default_shell, get_default_compiler
    return jsonify({
        "is_windows": IS_WINDOWS, "is_macos": IS_MACOS, "is_linux": not IS_WINDOWS and not IS_MACOS,
        "is_termux": IS_TERMUX, "platform": PLATFORM_NAME, "default_shell": get_default_shell(),
        "default_compiler": get_default_compiler(), "shell_prompt": ">" if IS_WINDOWS else "$",
    })


# ---- measurement --------------------------------------------------------------

def per_call_us(fn, calls):
    start = time.perf_counter_ns()
    for _ in range(calls):
        fn()
    return (time.perf_counter_ns() - start) / calls / 1000


def compare(label, native, reference, calls, rounds):
    best = {"native": float("inf"), "python": float("inf")}
    sides = [("native", native), ("python", reference)]
    for r in range(rounds):
        for name, fn in (sides if r % 2 == 0 else sides[::-1]):
            best[name] = min(best[name], per_call_us(fn, calls))
    ratio = best["native"] / best["python"]
    print(f"{label:<40} native {best['native']:9.1f} us   python {best['python']:9.1f} us   "
          f"ratio {ratio:5.2f}", flush=True)
    return ratio


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=500,
                        help="calls per round (disk writes: a tenth, uname: a twentieth)")
    parser.add_argument("--rounds", type=int, default=21)
    args = parser.parse_args()

    app = zetadesk_server.create_app()
    app.register_blueprint(ref)
    client = app.test_client()
    # Both sides send the access token; only the route group checks it.
    client.environ_base["HTTP_AUTHORIZATION"] = f"Bearer {utils.ACCESS_TOKEN}"
    document = {"github_token": "ghp_bench", "workspace": WORKSPACE, "theme": "dark",
                "editor": {"font_size": 14, "tabs": 4}}
    utils.save_config(document)
    running_processes.update({f"p{i}": {"running": i % 2 == 0} for i in range(8)})
    body = {"theme": "dark", "github_token": "ghp_bench"}

    views = [
        ("get_config", "GET", "/api/config", opsdeck.get_config, get_config, None),
        ("update_config", "POST", "/api/config", opsdeck.update_config, update_config, body),
        ("server_status", "GET", "/api/server/status", opsdeck.server_status, server_status, None),
        ("system_info", "GET", "/api/system/info", opsdeck.system_info, system_info, None),
        ("platform_info", "GET", "/api/platform/info", opsdeck.platform_info, platform_info, None),
    ]
    ratios = []

    def run_all(suffix, divisors):
        for name, method, url, native, reference, payload in views:
            calls = max(1, args.calls // divisors.get(name, 1))
            with app.test_request_context(url, method=method, json=payload):
                ratios.append(compare(f"{name}{suffix} (request context)", native, reference,
                                      calls, args.rounds))
            ratios.append(compare(
                f"{name}{suffix} (test client)",
                lambda: client.open(url, method=method, json=payload),
                lambda: client.open("/ref" + url, method=method, json=payload),
                calls, args.rounds))

    print(f"Python {sys.version.split()[0]}; {args.rounds} rounds, best round per side; "
          f"ratio = native / python")
    print("-- stand-in host: configuration on disk, uname through the shell")
    run_all("", {"update_config": 10, "system_info": 20})

    # The views' own cost: no disk, no process.
    print("-- in-memory configuration, IS_WINDOWS set (no uname)")
    saved = utils.load_config, utils.save_config, utils.IS_WINDOWS
    memory = dict(document)
    utils.load_config = lambda: dict(memory)
    utils.save_config = lambda config: memory.update(config)
    utils.IS_WINDOWS = True
    try:
        run_all(" [memory]", {})
    finally:
        utils.load_config, utils.save_config, utils.IS_WINDOWS = saved
    print(f"worst ratio {max(ratios):.2f}, geometric mean "
          f"{math.prod(ratios) ** (1 / len(ratios)):.2f}")
    shutil.rmtree(_scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
