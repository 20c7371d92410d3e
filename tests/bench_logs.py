"""Log retrieval on a 200 MB server log: the native view against the same view
in plain Python (readlines + slice) and against `wc -l` on the same file.

    tools/devenv.sh run python3.14 tests/bench_logs.py [--mb 200] [--rounds 5]
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
# The generated log and the host's configuration live here; removed at the end.
WORK = tempfile.mkdtemp(prefix="zetadesk-bench-logs-")
os.environ["ZETADESK_CONFIG_DIR"] = WORK

from flask import jsonify, request  # noqa: E402

import routes.opsdeck as opsdeck  # noqa: E402
import zetadesk_server  # noqa: E402


def python_server_logs():
    """The view written in plain Python, as the reference."""
    data = request.json or {}
    count = data.get("count", 100)
    log_file = os.path.join(opsdeck.CONFIG_DIR, "server.log")
    if not os.path.exists(log_file):
        return jsonify({"lines": [], "source": "memory", "total": len(opsdeck._log_buffer)})
    try:
        with open(log_file, "r", encoding="utf-8", errors="ignore") as f:
            all_lines = f.readlines()
        last_n = all_lines[-count:]
        return jsonify({"lines": [line.rstrip("\n") for line in last_n], "source": "file",
                        "total": len(all_lines)})
    except Exception:
        entries = list(opsdeck._log_buffer)
        return jsonify({"lines": [f"{e['time']} {e['text']}" for e in entries[-count:]],
                        "source": "memory", "total": len(opsdeck._log_buffer)})


def generate_log(path, megabytes):
    rng = random.Random(200)
    paths = ["/api/files", "/api/server/status", "/api/git/status", "/api/terminal/input", "/static/app.js"]
    target = megabytes * 1024 * 1024
    written = 0
    lines = 0
    with open(path, "wb") as f:
        while written < target:
            block = []
            for _ in range(10000):
                n = rng.randrange(100000)
                text = (f"[2026-01-02 03:{n % 60:02}:{n % 59:02}] INFO 127.0.0.1 \"GET {rng.choice(paths)}?id={n} "
                        f"HTTP/1.1\" 200 {n % 9000} {n % 300}ms worker-{n % 8}")
                if n % 100 == 0:
                    text += " caf\u00e9 \u2713"
                block.append(text)
            chunk = ("\n".join(block) + "\n").encode()
            f.write(chunk)
            written += len(chunk)
            lines += len(block)
    return lines


def best_of(rounds, fn):
    times = []
    result = None
    for _ in range(rounds):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), sorted(times)[len(times) // 2], result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--count", type=int, default=100)
    args = parser.parse_args()

    work = WORK
    try:
        opsdeck.CONFIG_DIR = work
        path = os.path.join(work, "server.log")
        lines = generate_log(path, args.mb)
        size = os.path.getsize(path)
        with open(path, "rb") as f:  # into the page cache
            while f.read(1 << 24):
                pass
        app = zetadesk_server.create_app()

        def call(view):
            with app.test_request_context("/api/server/logs", method="POST", json={"count": args.count}):
                return view().get_json()

        native_best, native_median, native = best_of(args.rounds, lambda: call(opsdeck.server_logs.__wrapped__))
        python_best, python_median, reference = best_of(max(2, args.rounds // 2), lambda: call(python_server_logs))
        wc_best, wc_median, wc_out = best_of(args.rounds, lambda: subprocess.run(
            ["wc", "-l", path], capture_output=True, text=True, check=True).stdout)
        assert native == reference, "native and Python answers differ"
        assert native["total"] == lines == int(wc_out.split()[0])

        print(f"log file: {size / 1e6:.1f} MB, {lines} lines, count {args.count}")
        print(f"native view      best {native_best * 1000:8.1f} ms  median {native_median * 1000:8.1f} ms")
        print(f"plain Python     best {python_best * 1000:8.1f} ms  median {python_median * 1000:8.1f} ms")
        print(f"wc -l            best {wc_best * 1000:8.1f} ms  median {wc_median * 1000:8.1f} ms")
        print(f"plain Python / native: {python_best / native_best:6.1f}x  (goal >= 20x)")
        print(f"native / wc -l:        {native_best / wc_best:6.2f}x  (goal <= 3x)")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
