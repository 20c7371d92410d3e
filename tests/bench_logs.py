"""Log retrieval on four kinds of 200 MB server log: the native view against
the same view in plain Python (readlines + slice) and against `wc -l` on the
same file, all in the same run.

    tools/devenv.sh run python3.14 tests/bench_logs.py [--mb 200] [--rounds 7] [--count 100]

Files (generated into a temporary directory, removed at the end):
  ascii    plain access-log lines, LF
  utf8     build and application output, over a third of the characters
           non-ASCII (CJK, Cyrillic, emoji, box drawing), LF
  crlf     CR LF on every line, a few invalid bytes (some between CR and LF)
  cr       every line ends in a lone CR

The timings are interleaved (one round = every file with every contender)
and the medians are compared; the machine load is printed with them.
Goals per file: plain Python / native >= 20, native / wc -l <= 1.5.
Set ZETADESK_SCANNER (scalar, sse2, avx2, neon) to time one path.

    ... tests/bench_logs.py --bounds [--before CHECKOUT] [--mb 200]

instead answers, each in a fresh interpreter, lines of 100 MiB and 1 GiB
without a line break (x bytes, and sparse NUL bytes) with count 5 and 100,
and count 0 of an ordinary log: seconds, answer size, peak RSS growth; with
--before, the same requests (100 MiB only) to an earlier checkout built in
place, and whether both answer the ordinary log alike.  The
view counts a large file on one thread per CPU it may use (at most four);
`taskset -c 0 tools/devenv.sh run ...` times it, and the others, on one.
"""

import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
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


PATHS = ["/api/files", "/api/server/status", "/api/git/status", "/api/terminal/input", "/static/app.js"]
CJK = "构建成功完成失败警告错误文件目录项目提交推送拉取合并分支测试运行服务器日志编译链接"
CYRILLIC = "сборка завершена успешно предупреждение ошибка файл проект ветка коммит сервер журнал"
EMOJI = "📦✅❌⚠️🚀🔧🐍📁🔥✨"
BOX = "├──└──│  ┌─┐╭─╮━━━"


def ascii_line(rng, n):
    return (f"[2026-01-02 03:{n % 60:02}:{n % 59:02}] INFO 127.0.0.1 \"GET {rng.choice(PATHS)}?id={n} "
            f"HTTP/1.1\" 200 {n % 9000} {n % 300}ms worker-{n % 8}")


def utf8_line(rng, n):
    words = []
    for _ in range(rng.randrange(3, 9)):
        kind = rng.randrange(6)
        if kind in (0, 5):
            start = rng.randrange(len(CJK) - 6)
            words.append(CJK[start:start + rng.randrange(2, 6)])
        elif kind == 1:
            words.append(rng.choice(CYRILLIC.split()))
        elif kind == 2:
            words.append(rng.choice(EMOJI))
        elif kind == 3:
            words.append(BOX[rng.randrange(0, len(BOX) - 3):][:3] + " src/" + rng.choice(["main.py", "app.js"]))
        else:
            words.append(f"id={n}" if n % 2 else "ok")
    return f"[03:{n % 60:02}:{n % 59:02}] " + " ".join(words)


def generate(path, kind, megabytes):
    """Writes a log of about `megabytes` MiB; returns its non-ASCII share of characters."""
    rng = random.Random(kind)
    target = megabytes * 1024 * 1024
    written = chars = non_ascii = 0
    n = 0
    with open(path, "wb") as f:
        while written < target:
            parts = []
            for _ in range(5000):
                n += 1
                if kind == "utf8":
                    text = utf8_line(rng, n)
                else:
                    text = ascii_line(rng, n)
                if kind == "crlf":
                    data = text.encode() + (b"\r\xff\n" if n % 5000 == 0 else b"\r\n")
                    if n % 997 == 0:
                        data = b"\xc3" + data  # an unfinished sequence at the line's start
                elif kind == "cr":
                    data = text.encode() + b"\r"
                else:
                    data = text.encode() + b"\n"
                if n % 64 == 0:  # only a sample is counted, to keep generating fast
                    chars += len(text)
                    non_ascii += sum(1 for c in text if ord(c) > 127)
                parts.append(data)
            chunk = b"".join(parts)
            f.write(chunk)
            written += len(chunk)
    return non_ascii / max(chars, 1)


# One request in a fresh interpreter of the tree in its working directory:
# seconds (wall, then CPU on all threads: on a loaded machine the wall time
# waits for a core), peak RSS before and its growth (bytes), answer size and
# digest.  The file is read once first, so the page cache holds it.
REQUEST_IN_CHILD = """
import hashlib, json, os, resource, sys, time
sys.path.insert(0, os.getcwd())
os.environ["ZETADESK_CONFIG_DIR"] = sys.argv[1]
import zetadesk_server, routes.opsdeck as opsdeck
app = zetadesk_server.create_app()
peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
before, start, cpu = peak(), time.perf_counter(), time.process_time()
with app.test_request_context("/api/server/logs", method="POST", json={"count": int(sys.argv[2])}):
    body = opsdeck.server_logs.__wrapped__().get_data()
print(json.dumps([time.perf_counter() - start, time.process_time() - cpu, before, peak() - before, len(body),
                  hashlib.sha256(body).hexdigest()]))
"""


def bounds(args):
    """Long lines and a whole ordinary log, each request in a child of this
    tree and, with --before, of an earlier checkout built in place."""
    trees = {"after": ROOT}
    if args.before:
        trees["before"] = os.path.abspath(args.before)
    cases = []  # (name, directory, count, trees that run it)
    for size, label in [(100 << 20, "100 MiB"), (1 << 30, "1 GiB")]:
        # Before, a gibibyte costs minutes and over 14 GB: 100 MiB only.
        who = list(trees) if size < (1 << 30) else ["after"]
        for kind in ["no line break", "NUL"]:
            d = os.path.join(WORK, f"{kind}-{size}".replace(" ", "-"))
            os.mkdir(d)
            with open(os.path.join(d, "server.log"), "wb") as f:
                if kind == "NUL":
                    f.truncate(size)  # sparse
                else:
                    block = b"x" * (1 << 20)
                    for _ in range(size >> 20):
                        f.write(block)
            cases += [(f"{label} {kind}", d, count, who) for count in (5, 100)]
    d = os.path.join(WORK, "ordinary")
    os.mkdir(d)
    generate(os.path.join(d, "server.log"), "ascii", args.mb)
    cases.append((f"{args.mb} MiB ordinary", d, 0, list(trees)))

    print(f"load average {os.getloadavg()[0]:.2f}, {os.process_cpu_count()} CPUs usable")
    print(f"{'case':24} {'count':>5} {'tree':>6} {'seconds':>8} {'CPU s':>6} {'answer MB':>10} {'RSS MiB':>8} "
          f"{'peak +MiB':>9}")
    for name, d, count, who in cases:
        with open(os.path.join(d, "server.log"), "rb") as f:  # into the page cache
            while f.read(1 << 24):
                pass
        digests = set()
        for tree in who:
            out = subprocess.run([sys.executable, "-c", REQUEST_IN_CHILD, d, str(count)], cwd=trees[tree],
                                 capture_output=True, text=True, check=True).stdout
            seconds, cpu, before, growth, size, digest = json.loads(out)
            digests.add(digest)
            print(f"{name:24} {count:5} {tree:>6} {seconds:8.2f} {cpu:6.2f} {size / 1e6:10.2f} {before / 2**20:8.0f} "
                  f"{growth / 2**20:9.0f}", flush=True)
        if name.endswith("ordinary") and len(who) == 2:
            print(f"{'':24} same answer before and after: {len(digests) == 1}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--mb", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--count", type=int, default=100)
    parser.add_argument("--bounds", action="store_true",
                        help="time and measure the memory of long lines and of count 0 instead")
    parser.add_argument("--before", help="with --bounds: an earlier checkout, built, to compare with")
    args = parser.parse_args()
    if args.bounds:
        try:
            bounds(args)
        finally:
            shutil.rmtree(WORK, ignore_errors=True)
        return

    kinds = ["ascii", "utf8", "crlf", "cr"]
    try:
        app = zetadesk_server.create_app()
        dirs = {}
        for kind in kinds:
            dirs[kind] = os.path.join(WORK, kind)
            os.mkdir(dirs[kind])
            share = generate(os.path.join(dirs[kind], "server.log"), kind, args.mb)
            print(f"generated {kind:5}: {os.path.getsize(os.path.join(dirs[kind], 'server.log')) / 1e6:.1f} MB, "
                  f"non-ASCII share of characters {share:.0%}", flush=True)

        def view(kind, fn):
            opsdeck.CONFIG_DIR = dirs[kind]
            with app.test_request_context("/api/server/logs", method="POST", json={"count": args.count}):
                return fn().get_json()

        def wc(kind):
            out = subprocess.run(["wc", "-l", os.path.join(dirs[kind], "server.log")],
                                 capture_output=True, text=True, check=True).stdout
            return int(out.split()[0])

        contenders = {
            "native": lambda kind: view(kind, opsdeck.server_logs.__wrapped__),
            "python": lambda kind: view(kind, python_server_logs),
            "wc": wc,
        }
        # Warm the page cache and check the answers once.
        for kind in kinds:
            native, reference = contenders["native"](kind), contenders["python"](kind)
            assert native == reference, f"{kind}: native and Python answers differ"
            if kind != "cr":  # wc -l counts LF bytes only
                assert native["total"] == contenders["wc"](kind), kind

        times = {(kind, name): [] for kind in kinds for name in contenders}
        load_before = os.getloadavg()
        for _ in range(args.rounds):
            for kind in kinds:
                for name, fn in contenders.items():
                    start = time.perf_counter()
                    fn(kind)
                    times[kind, name].append(time.perf_counter() - start)
        load_after = os.getloadavg()

        print(f"\n{args.mb} MiB per file, count {args.count}, {args.rounds} interleaved rounds, medians; "
              f"load average {load_before[0]:.2f} before, {load_after[0]:.2f} after, "
              f"{os.process_cpu_count()} of {os.cpu_count()} CPUs usable")
        print(f"{'file':6} {'native':>10} {'python':>10} {'wc -l':>10}   {'python/native':>13} {'native/wc':>10}")
        for kind in kinds:
            native, python, wc_time = (statistics.median(times[kind, n]) for n in contenders)
            print(f"{kind:6} {native * 1000:8.1f}ms {python * 1000:8.1f}ms {wc_time * 1000:8.1f}ms   "
                  f"{python / native:12.1f}x {native / wc_time:9.2f}x")
        print("goals: python/native >= 20x, native/wc <= 1.5x")
    finally:
        shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
