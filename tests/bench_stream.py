"""Live log stream: event building rate (native body, and the same body on
its Python path, against the same generator in plain Python), 100,000
appended lines reaching a real client, and the CPU cost of idle streams.

    tools/devenv.sh run python3.14 tests/bench_stream.py [--lines 100000] [--idle-streams 50] [--idle-seconds 30] [--rounds 3]
"""

import argparse
import json
import os
import shutil
import socket
import sys
import tempfile
import threading
import time
import types
from datetime import datetime, timezone

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, HERE)

from conftest import LiveServer  # noqa: E402  (also isolates the host's directories)

import routes.opsdeck as opsdeck  # noqa: E402
import utils  # noqa: E402
import zetadesk_server  # noqa: E402

real_sleep = time.sleep


def python_generate(log_file, state, sleep):
    """The stream's producer written in plain Python, as the reference."""
    file_size = os.path.getsize(log_file) if os.path.exists(log_file) else 0
    idx = len(utils._log_buffer)
    try:
        while state["alive"]:
            if len(utils._log_buffer) > idx:
                with utils._log_lock:
                    entries = list(utils._log_buffer)
                for entry in entries[idx:]:
                    yield f"data: {json.dumps({'type': 'log', 'text': entry['text'], 'time': entry['time']})}\n\n"
                idx = len(entries)
            if os.path.exists(log_file):
                new_size = os.path.getsize(log_file)
                if new_size > file_size:
                    try:
                        with open(log_file, "r", encoding="utf-8", errors="ignore") as f:
                            f.seek(file_size)
                            new_content = f.read()
                        for line in new_content.split("\n"):
                            line = line.strip()
                            if line:
                                now = datetime.now(timezone.utc).isoformat()
                                yield f"data: {json.dumps({'type': 'log', 'text': line, 'time': now})}\n\n"
                        file_size = new_size
                    except Exception:
                        pass
            sleep(0.5)
    except GeneratorExit:
        pass
    finally:
        state["alive"] = False


def make_lines(n):
    return "".join(f"[12:00:00] build step {i}: compiled module_{i % 97}.py in {i % 1000} ms\n"
                   for i in range(n)).encode()


def time_events(body, polled, log_file, data, n):
    """Seconds from appending `data` until the n-th event has been pulled."""
    done = threading.Event()
    finished = []

    def pull():
        count = 0
        for item in body:
            count += item.count("\n\n")  # an item holds one or more whole events
            if count >= n:
                finished.append(time.perf_counter())
                done.set()
                return

    puller = threading.Thread(target=pull, daemon=True)
    puller.start()
    while not polled:
        real_sleep(0.001)
    start = time.perf_counter()
    with open(log_file, "ab") as f:
        f.write(data)
    assert done.wait(120), "events did not arrive"
    return finished[0] - start


def event_building(n, rounds):
    work = tempfile.mkdtemp(prefix="zetadesk-bench-stream-")
    try:
        opsdeck.CONFIG_DIR = work
        log_file = os.path.join(work, "server.log")
        open(log_file, "wb").close()
        data = make_lines(n)
        app = zetadesk_server.create_app()
        results = {}
        for name in ("native", "module", "python") * rounds:
            with open(log_file, "wb"):
                pass
            polled = []

            def sleep(seconds):
                polled.append(seconds)
                real_sleep(0.001)

            # "module": the same body on its Python path (as in a portable
            # build), since the size query is not the original.
            opsdeck.os = types.SimpleNamespace(path=types.SimpleNamespace(
                join=os.path.join, exists=os.path.exists, getsize=lambda p: os.path.getsize(p))) \
                if name == "module" else os
            if name in ("native", "module"):
                opsdeck.time = types.SimpleNamespace(sleep=sleep)
                with app.test_request_context("/api/server/logs/stream"):
                    resp = opsdeck.server_logs_stream()
                body = resp.response
            else:
                body = python_generate(log_file, {"alive": True}, sleep)
            seconds = time_events(body, polled, log_file, data, n)
            results[name] = min(seconds, results.get(name, seconds))
            body.close()
        opsdeck.time, opsdeck.os = time, os
        return results
    finally:
        shutil.rmtree(work, ignore_errors=True)


def open_stream_socket(server):
    sock = socket.create_connection(("127.0.0.1", server.port), timeout=30)
    sock.sendall(b"GET /api/server/logs/stream HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                 b"Authorization: Bearer " + server.token.encode() + b"\r\n\r\n")
    return sock


def live_delivery(n):
    base = tempfile.mkdtemp(prefix="zetadesk-bench-live-")
    server = LiveServer(base).wait_ready()
    try:
        sock = open_stream_socket(server)
        real_sleep(1.0)  # the stream has taken its starting offset
        data = make_lines(n)
        start = time.perf_counter()
        with open(server.log_path, "ab") as f:
            f.write(data)
        seen, carry = 0, b""
        while seen < n:
            chunk = sock.recv(1 << 20)
            assert chunk, "connection closed"
            buf = carry + chunk
            seen += buf.count(b'"}\n\n')
            carry = buf[-3:]
        elapsed = time.perf_counter() - start
        sock.close()
        return elapsed
    finally:
        server.stop()
        shutil.rmtree(base, ignore_errors=True)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(") ", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def idle_cost(streams, seconds):
    base = tempfile.mkdtemp(prefix="zetadesk-bench-idle-")
    server = LiveServer(base).wait_ready()
    try:
        pid = server.proc.pid
        before = cpu_seconds(pid)
        real_sleep(seconds)
        baseline = cpu_seconds(pid) - before
        socks = [open_stream_socket(server) for _ in range(streams)]
        real_sleep(2.0)
        threads = len(os.listdir(f"/proc/{pid}/task"))
        before = cpu_seconds(pid)
        real_sleep(seconds)
        with_streams = cpu_seconds(pid) - before
        for s in socks:
            s.close()
        return baseline, with_streams, threads
    finally:
        server.stop()
        shutil.rmtree(base, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lines", type=int, default=100_000)
    parser.add_argument("--idle-streams", type=int, default=50)
    parser.add_argument("--idle-seconds", type=float, default=30)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    rates = event_building(args.lines, args.rounds)
    print(f"event building, {args.lines} lines appended at once (pauses shortened to 1 ms, best of {args.rounds}):")
    for name, seconds in rates.items():
        print(f"  {name:7} {seconds * 1000:8.1f} ms  {args.lines / seconds:12,.0f} events/s")
    print(f"  native / plain Python speed: {rates['python'] / rates['native']:.1f}x; "
          f"the module's Python path / plain Python: {rates['python'] / rates['module']:.2f}x")

    seconds = live_delivery(args.lines)
    print(f"real server, raw-socket client: {args.lines} events arrived {seconds:.2f} s after the append "
          f"({'within' if seconds <= 1.0 else 'NOT within'} two polling cycles of 0.5 s), "
          f"{args.lines / seconds:,.0f} events/s end to end")

    baseline, with_streams, threads = idle_cost(args.idle_streams, args.idle_seconds)
    print(f"idle server CPU over {args.idle_seconds:.0f} s: {baseline:.2f} s without streams, "
          f"{with_streams:.2f} s with {args.idle_streams} idle streams ({threads} threads)")


if __name__ == "__main__":
    main()
