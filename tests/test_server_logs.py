"""POST /api/server/logs: the tail of server.log, or of the log buffer."""

import builtins
import io
import json
import os
import platform
import random
import re
import subprocess
import sys
import threading
import time
import traceback

import pytest
from hypothesis import given, strategies as st

import routes.opsdeck as opsdeck
from conftest import NATIVE_SHORTCUTS, ROOT, SLOW, property_settings, run_python

# Fragments that stress the line scanner: every kind of line break, valid
# multi-byte characters, and invalid or cut-off UTF-8 sequences (a CR and an
# LF separated only by invalid bytes still form one CR LF).
FRAGMENTS = [
    b"a", b"line", b" ", b"\t", b"\r", b"\n", b"\r\n", b"\r\xff\n", b"\n\r",
    b"\xc3\xa9", b"\xe2\x82\xac", b"\xf0\x9f\x98\x80", b"\xef\xbb\xbf",
    b"\xff", b"\x80", b"\xc3", b"\xe2\x82", b"\xf0\x9f\x98", b"\xc0\xaf", b"\xed\xa0\x80",
    b"\xf4\x90\x80\x80", b"\xe0\x80\xaf", b"\x00", b"x" * 61,
    b"\r\xe2\x82\n", b"\r\xf0\x9f\n", b"\r\xe2\x82\xac\n", b"\r\xff\xfe\r\n", b"\xe4\xb8\xad\xd0\xb6",
]

# The view reads 256 KiB chunks and counts 4 KiB segments; a prefix of plain
# lines puts the fragments across those boundaries.
CHUNK, SEGMENT = 256 * 1024, 4096


def prefix(length):
    return (b"p" * 63 + b"\n") * (length // 64) + b"q" * (length % 64)


PREFIXES = [0, 1, 63, 64, SEGMENT - 2, SEGMENT - 1, SEGMENT, CHUNK - 3, CHUNK - 2, CHUNK - 1, CHUNK, CHUNK + 1]
COUNTS = [0, 1, 2, 3, 100, -1, -3, 10**20, -10**20]


def scanner_paths():
    """The scanner paths this machine runs (ZETADESK_SCANNER values)."""
    machine = platform.machine().lower()
    if machine in ("x86_64", "amd64"):
        with open("/proc/cpuinfo") as f:
            avx2 = " avx2" in f.read()
        return ["scalar", "sse2"] + (["avx2"] if avx2 else [])
    if machine in ("aarch64", "arm64"):
        return ["scalar", "neon"]
    return ["scalar"]


LINE_LIMIT = 64 * 1024


def bounded(line):
    """A line as answered: over LINE_LIMIT bytes of UTF-8, its longest start
    and end of half that each around the count of the bytes left out."""
    if len(line) * 4 <= LINE_LIMIT:
        return line
    sizes = [len(c.encode("utf-8", "surrogatepass")) for c in line]
    size = sum(sizes)
    if size <= LINE_LIMIT:
        return line
    head = head_bytes = tail_bytes = 0
    tail = len(line)
    while head_bytes + sizes[head] <= LINE_LIMIT // 2:
        head_bytes += sizes[head]
        head += 1
    while tail_bytes + sizes[tail - 1] <= LINE_LIMIT // 2:
        tail -= 1
        tail_bytes += sizes[tail]
    return f"{line[:head]} [... {size - head_bytes - tail_bytes} bytes left out ...] {line[tail:]}"


def python_lines(path):
    """The lines Python reads from the file, each without its LF, bounded."""
    with open(path, "r", encoding="utf-8", errors="ignore") as f:
        return [bounded(line.rstrip("\n")) for line in f.readlines()]


def python_reference(path, count):
    """Python's answer for `count`: (lines, total)."""
    all_lines = python_lines(path)
    return all_lines[-count:], len(all_lines)


def write_log(host, data):
    path = os.path.join(host.CONFIG_DIR, "server.log")
    with open(path, "wb") as f:
        f.write(data)
    return path


def ask(client, body=None):
    # None is sent as the JSON text null, which reads as a false body.
    resp = client.post("/api/server/logs", data="null" if body is None else None,
                       json=body, content_type="application/json")
    return resp.status_code, resp.get_json()


@property_settings(300)
@given(pieces=st.lists(st.sampled_from(FRAGMENTS), max_size=80), count=st.sampled_from(COUNTS))
def test_file_lines_match_python_readlines(host, client, pieces, count):
    path = write_log(host, b"".join(pieces))
    expected, total = python_reference(path, count)
    assert ask(client, {"count": count}) == (200, {"lines": expected, "source": "file", "total": total})


@property_settings(150)
@given(length=st.sampled_from(PREFIXES), pieces=st.lists(st.sampled_from(FRAGMENTS), max_size=12),
       ending=st.sampled_from([b"", b"\n", b"\r", b"\xff", b"\xe2\x82", b"\r\xff", b"\r\n\xf0\x9f\x98"]),
       count=st.sampled_from(COUNTS))
def test_file_lines_match_python_readlines_across_boundaries(host, client, length, pieces, ending, count):
    path = write_log(host, prefix(length) + b"".join(pieces) + ending)
    expected, total = python_reference(path, count)
    assert ask(client, {"count": count}) == (200, {"lines": expected, "source": "file", "total": total})


native_scanner = pytest.mark.skipif(not NATIVE_SHORTCUTS, reason="a portable build has no native scanner")


@native_scanner
@pytest.mark.skipif(os.environ.get("ZETADESK_SCANNER") is not None, reason="runs each path itself")
@pytest.mark.parametrize("path", scanner_paths()[:-1])  # the best one runs in this process
def test_every_scanner_path_matches_python(path):
    # The differential tests again, in an interpreter that runs this path.
    env = dict(os.environ, ZETADESK_SCANNER=path)
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-s", "-q", "-p", "no:cacheprovider", __file__,
         "-k", "matches_python_readlines or large_file or line_endings"],
        env=env, capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    assert f"zetadesk: log scanner {path}\n" in result.stderr


@native_scanner
def test_unavailable_path_falls_back_to_the_best(tmp_path):
    log = tmp_path / "server.log"
    log.write_bytes(b"a\r\xff\nb\rc")
    code = ("import os, routes.opsdeck as o, zetadesk_server as z; o.CONFIG_DIR = os.environ['LOGDIR']\n"
            "app = z.create_app()\n"
            "with app.test_request_context('/api/server/logs', method='POST', json={'count': 0}):\n"
            "    print(o.server_logs.__wrapped__().get_json())")
    env = dict(os.environ, ZETADESK_SCANNER="vax", LOGDIR=str(tmp_path))
    result = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60,
                            cwd=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    assert result.returncode == 0, result.stderr
    assert f"zetadesk: log scanner vax is not available here, using {scanner_paths()[-1]}" in result.stderr
    assert result.stdout.strip() == str({"lines": ["a", "b", "c"], "source": "file", "total": 3})


def test_large_file_across_read_chunks_and_checkpoints(host, client):
    # Several MiB and tens of thousands of lines, so reads are split inside
    # multi-byte sequences and between CR and LF, and the tail starts after
    # many checkpoints (one per 256 KiB chunk).
    rng = random.Random(4)
    chunks = []
    for _ in range(120_000):
        chunks.append(rng.choice(FRAGMENTS) if rng.random() < 0.5 else b"plain log text " * rng.randrange(0, 5))
        chunks.append(rng.choice([b"\n", b"\r\n", b"\r", b"\n"]))
    all_lines = python_lines(write_log(host, b"".join(chunks)))
    total = len(all_lines)
    assert total > 3 * 4096
    for count in [1, 100, 4095, 4096, 4097, total - 4096, total - 4097, total - 1, -8191, -8192, 0]:
        expected = all_lines[-count:]
        status, answer = ask(client, {"count": count})
        assert status == 200 and answer["total"] == total
        assert answer["lines"] == expected, count


# A large file is counted in parts at once, one per CPU and none under
# 4 MiB, cut at size // parts * j: 9 MiB makes two parts on any machine with
# two CPUs or more.  Each case puts one kind of hazard across the cut;
# offsets are relative to it.
SPLIT_HAZARDS = {
    "cr lf": [(-1, b"\r\n")],
    "cr | lf": [(-1, b"\r"), (0, b"\n")],
    "cr | dropped lf": [(-3, b"\r\xff\xfe"), (0, b"\xff\n")],
    "cr dropped | kept": [(-2, b"\r\xff"), (0, b"\xe2\x82\xac\n")],
    "character across": [(-2, b"\n\xe2"), (0, b"\x82\xac")],
    "cr | cr lf": [(-1, b"\r"), (0, b"\r\n")],
}


@pytest.mark.parametrize("hazard", [*SPLIT_HAZARDS, "cr, megabytes dropped, lf"])
def test_large_file_counted_in_parts(host, client, hazard):
    size = 9 * 1024 * 1024
    cut = size // 2
    data = bytearray(prefix(size))  # lines of 64 bytes
    if hazard in SPLIT_HAZARDS:
        for at, piece in SPLIT_HAZARDS[hazard]:
            data[cut + at:cut + at + len(piece)] = piece
        near = cut // 64  # the line at the cut
    else:
        # One CR LF with dropped bytes between that span the cut and many
        # read chunks, so checkpoints of the second part fall inside the pair.
        data[1 << 20] = ord("\r")
        data[(1 << 20) + 1:size - (1 << 20)] = b"\xff" * (size - (2 << 20) - 1)
        data[size - (1 << 20)] = ord("\n")
        near = (1 << 20) // 64 + 1  # the line after the pair
    assert len(data) == size
    all_lines = python_lines(write_log(host, bytes(data)))
    total = len(all_lines)
    for count in [0, 100] + [total - near + d for d in range(-2, 3)]:
        expected = all_lines[-count:]
        assert ask(client, {"count": count}) == (200, {"lines": expected, "source": "file", "total": total}), count


# Lines longer than the bound: cut around multi-byte characters, dropped
# bytes, read chunks and the stream's 16 MiB read cap; the ones that only
# look long stay whole.  Shared with the stream's tests.
LONG_LINES = {
    "ascii": b"a" * 100_000 + b"\nshort\n" + b"b" * (LINE_LIMIT + 1),
    "at the limit": b"c" * LINE_LIMIT + b"\r\n" + b"d" * LINE_LIMIT + b"e",
    "multi-byte at the cuts": b"x" + "\u20ac\U0001F600\u00e9".encode() * 9000 + b"\n",
    "dropped bytes near the cuts": b"x" * 32766 + b"\xe2\x82\xff" + b"\xe2\x82\xac" * 9 + b"\xff" * 90_000
                                   + b"\x80\x80\xbf" + b"y" * 32767 + b"\xf0\x9f\x98",
    "long only in bytes": b"\xff" * 200_000 + b"z\r",
    "nul": b"\0" * 300_000,
    "across read chunks": b"p\n" * 1000 + b"e" * 600_000 + b"\r\ntail",
    "spaces around": b" " * 70_000 + b"word \xc2\x85" + b"\t" * 70_000 + b"\n" + b"a" + b" " * 70_000 + b"b",
}


@pytest.mark.parametrize("replaced", [False, True], ids=["as named", "replaced open"])
@pytest.mark.parametrize("case", LONG_LINES)
def test_long_lines_are_cut_around_a_marker(host, client, monkeypatch, case, replaced):
    path = write_log(host, LONG_LINES[case])
    all_lines = python_lines(path)
    if replaced:
        monkeypatch.setattr(opsdeck, "open", lambda *a, **k: builtins.open(*a, **k), raising=False)
    for count in [0, 1, 2]:
        answer = ask(client, {"count": count})
        assert answer == (200, {"lines": all_lines[-count:], "source": "file", "total": len(all_lines)}), count
    assert all(len(line.encode("utf-8", "surrogatepass")) <= LINE_LIMIT + 40 for line in all_lines)


# One request in a fresh interpreter: seconds, peak RSS growth in bytes, and
# the answer (tests/bench_logs.py --bounds measures the same way).
REQUEST_IN_CHILD = """
import json, os, resource, sys, time
os.environ["ZETADESK_CONFIG_DIR"] = sys.argv[1]
import zetadesk_server, routes.opsdeck as opsdeck
app = zetadesk_server.create_app()
peak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
before, start = peak(), time.perf_counter()
with app.test_request_context("/api/server/logs", method="POST", json={"count": int(sys.argv[2])}):
    body = opsdeck.server_logs.__wrapped__().get_data()
print(json.dumps([time.perf_counter() - start, peak() - before, json.loads(body)]))
"""


@pytest.mark.skipif(sys.platform != "linux" or not NATIVE_SHORTCUTS,
                    reason="ru_maxrss in KiB, sparse files; the Python path reads the file whole")
@pytest.mark.parametrize("ends", [b"", b"start of the line"], ids=["nul", "text around nul"])
def test_gigabyte_line_costs_a_bounded_memory(tmp_path, ends):
    # Sparse: a gibibyte of NUL bytes without a line break costs no disk.
    size = 1 << 30
    with open(tmp_path / "server.log", "wb") as f:
        f.truncate(size)
        f.write(ends)
        f.seek(size - len(ends))
        f.write(ends[::-1])
    result = subprocess.run([sys.executable, "-c", REQUEST_IN_CHILD, str(tmp_path), "5"], cwd=ROOT,
                            capture_output=True, text=True, timeout=SLOW)
    assert result.returncode == 0, result.stderr
    seconds, growth, answer = json.loads(result.stdout)
    middle = size - 2 * (LINE_LIMIT // 2)
    text = ends.decode() + "\0" * (LINE_LIMIT // 2 - len(ends))
    assert answer == {"lines": [f"{text} [... {middle} bytes left out ...] {text[::-1]}"], "source": "file", "total": 1}
    assert growth < 64 << 20, growth


def test_count_rules_on_a_plain_file(host, client):
    write_log(host, "".join(f"line {i}\n" for i in range(1, 251)).encode())
    lines = [f"line {i}" for i in range(1, 251)]

    def tail(body):
        status, answer = ask(client, body)
        assert status == 200 and answer["source"] == "file" and answer["total"] == 250
        return answer["lines"]

    assert tail({"count": 10}) == lines[240:]
    assert tail(None) == tail({}) == tail({"other": 1}) == lines[150:]  # default 100
    assert tail({"count": 0}) == lines
    assert tail({"count": -3}) == lines[3:]
    assert tail({"count": 1000}) == lines
    assert tail({"count": True}) == lines[-1:]
    assert tail({"count": False}) == lines
    # Beyond 64 bits the file path still slices as Python does.
    assert tail({"count": 10**30}) == lines
    assert tail({"count": -10**30}) == []


def test_line_endings_and_undecodable_bytes(host, client):
    write_log(host, b"one \r\ntwo\rthree\n\xffbad\xc3\n\xe2\x82\xac tail\t")
    assert ask(client, {"count": 0}) == (200, {
        "lines": ["one ", "two", "three", "bad", "\u20ac tail\t"], "source": "file", "total": 5})
    write_log(host, b"ends with newline\n")
    assert ask(client)[1]["lines"] == ["ends with newline"]
    write_log(host, b"")
    assert ask(client) == (200, {"lines": [], "source": "file", "total": 0})
    # Runs of line breaks longer than any counter of the scanner's byte lanes.
    write_log(host, b"\n" * 20000 + b"x" + b"\r\n" * 9000 + b"\r" * 9000)
    assert ask(client, {"count": 2})[1] == {"lines": ["", ""], "source": "file", "total": 38000}
    # A rest of only invalid bytes is no line; one valid character is.
    write_log(host, b"one\r\xff\xc3")
    assert ask(client)[1] == {"lines": ["one"], "source": "file", "total": 1}
    write_log(host, b"one\r\xff\xc3\xa9")
    assert ask(client)[1] == {"lines": ["one", "\u00e9"], "source": "file", "total": 2}


def test_missing_file_counts_the_buffer_only(host, client):
    host._log_buffer.extend({"time": f"10:00:{i:02}", "text": f"entry {i}"} for i in range(40))
    assert ask(client, {"count": 5}) == (200, {"lines": [], "source": "memory", "total": 40})


def test_unreadable_file_falls_back_to_the_buffer(host, client):
    os.mkdir(os.path.join(host.CONFIG_DIR, "server.log"))
    host._log_buffer.extend([{"time": "10:00:01", "text": "first"}, {"time": 7, "text": 2.5},
                             {"time": "10:00:03", "text": "third"}])
    assert ask(client, {"count": 2}) == (200, {
        "lines": ["7 2.5", "10:00:03 third"], "source": "memory", "total": 3})
    assert ask(client, {"count": 0})[1]["lines"] == ["10:00:01 first", "7 2.5", "10:00:03 third"]
    assert ask(client, {"count": -1})[1]["lines"] == ["7 2.5", "10:00:03 third"]
    # The fallback takes count as a machine-size index.
    status, answer = ask(client, {"count": 10**30})
    assert status == 500 and answer["ok"] is False
    host._log_buffer.append({"text": "no time"})
    status, answer = ask(client, {"count": 1})
    assert (status, answer["error"]) == (500, "'time'")


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files without permission")
def test_file_without_permission_falls_back(host, client):
    path = write_log(host, b"secret\n")
    os.chmod(path, 0)
    host._log_buffer.append({"time": "t", "text": "from memory"})
    assert ask(client) == (200, {"lines": ["t from memory"], "source": "memory", "total": 1})


@pytest.mark.parametrize("where", [None, "module", "builtins"])
@pytest.mark.parametrize("policy", ["substitute", "refuse"])
def test_log_retrieval_follows_a_replaced_open(host, client, monkeypatch, where, policy):
    path = write_log(host, b"from the file\r\n")
    host._log_buffer.append({"time": "t", "text": "from memory"})
    real_open = builtins.open
    calls = []

    def policy_open(file, *args, **kwargs):
        if file != path:  # the builtin also serves everyone else
            return real_open(file, *args, **kwargs)
        calls.append((args, kwargs))
        if policy == "refuse":
            raise PermissionError("refused by policy")
        return io.StringIO("policy one\npolicy two \r\n")

    if where:
        monkeypatch.setattr(opsdeck if where == "module" else builtins, "open", policy_open, raising=False)
    status, answer = ask(client, {"count": 5})
    monkeypatch.undo()
    if not where:
        assert answer == {"lines": ["from the file"], "source": "file", "total": 1}
        return
    assert calls == [(("r",), {"encoding": "utf-8", "errors": "ignore"})]
    if policy == "refuse":
        assert answer == {"lines": ["t from memory"], "source": "memory", "total": 1}
    else:
        # readlines and rstrip("\n") of what the replacement opened.
        assert answer == {"lines": ["policy one", "policy two \r"], "source": "file", "total": 2}


@pytest.mark.parametrize("count", ["5", 2.5, None, [1]])
def test_unusable_count_fails_through_handle_error(host, client, count):
    write_log(host, b"a\nb\n")
    status, answer = ask(client, {"count": count})
    assert status == 500 and answer["ok"] is False


def test_body_that_is_not_a_mapping_fails_with_the_view_entry(host, app):
    with app.test_request_context("/api/server/logs", method="POST", json=[1, 2]):
        with pytest.raises(AttributeError) as info:
            opsdeck.server_logs.__wrapped__()
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (last.name, last.filename) == ("routes.opsdeck.server_logs", "routes/opsdeck")


# ---- a log that changes while it is read --------------------------------------


def version(g, n):
    """Lines 0..n-1 of version g of a rotated log: each version has lines of
    its own length, so lines counted in one version and collected in another
    would not line up."""
    return [f"{g}:{i}:{'x' * (g % 5 * 9)};" for i in range(n)]


def rotate(path, stop, first_lines, appended, versions, pause):
    """Truncates the log, rewrites it as a new version and appends to it,
    again and again (`pause` seconds apart) until `stop` is set."""
    fd = os.open(path, os.O_WRONLY | os.O_APPEND)
    try:
        g = 0
        while not stop.is_set():
            g += 1
            lines = version(g, first_lines + appended)
            os.ftruncate(fd, 0)
            os.write(fd, "".join(line + "\n" for line in lines[:first_lines]).encode())
            for line in lines[first_lines:]:
                os.write(fd, line.encode() + b"\n")
            versions.append(g)
            time.sleep(pause)
    finally:
        os.close(fd)


def check_run(lines, count, total, whole):
    """The lines are consecutive lines of one version (the last one perhaps
    cut short by a write under way), at most `count` of them; with `whole`,
    `total` counts exactly the lines up to the last one returned."""
    if count > 0:
        assert len(lines) <= count
    if not lines:
        return None
    match = [re.fullmatch(r"(\d+):(\d+):(x*);", line) for line in lines]
    full = match if match[-1] else match[:-1]
    assert all(full), lines[:3]
    if not full:
        return None
    g, first = int(full[0][1]), int(full[0][2])
    expected = version(g, first + len(lines))[first:]
    assert lines[:len(full)] == expected[:len(full)]
    assert expected[-1].startswith(lines[-1])
    if whole:
        assert total == first + len(lines)
    return g


# Small: one read of one page holds the whole file.  Large: more than one
# chunk, so long tails are read a second time and checked.  The Python path
# is readlines(), which itself reads a changing file in several steps.
@pytest.mark.skipif(not NATIVE_SHORTCUTS, reason="readlines() reads in several steps: the native view is checked")
@pytest.mark.parametrize("first_lines,appended,pause,whole", [(40, 30, 0.002, True), (12000, 20, 0.02, False)])
def test_answers_of_a_log_rotated_during_the_requests(host, client, first_lines, appended, pause, whole):
    path = write_log(host, b"")
    stop, versions = threading.Event(), []
    writer = threading.Thread(target=rotate, args=(path, stop, first_lines, appended, versions, pause))
    writer.start()
    seen, answers = set(), 0

    def enough():
        return len(versions) > 10 and len(seen - {None}) > 1

    try:
        # Three seconds at least; longer where the machine is slow (emulated),
        # until the answers have met several versions.
        started = time.monotonic()
        while time.monotonic() - started < 3 or (not enough() and time.monotonic() - started < SLOW):
            for count in (1, 5, 100, 0):
                status, answer = ask(client, {"count": count})
                assert status == 200 and answer["source"] == "file"
                seen.add(check_run(answer["lines"], count, answer["total"], whole))
                answers += 1
    finally:
        stop.set()
        writer.join(10)
    assert not writer.is_alive()
    # The answers came from several versions of the file.
    assert enough(), (len(versions), seen, answers)


# ---- a log that is not a regular file -----------------------------------------

SPECIAL_LOG = """
import builtins, itertools, json, os, threading, time, types
import utils, zetadesk_server
import routes.opsdeck as opsdeck

kind, view, replaced = {kind!r}, {view!r}, {replaced!r}
log = os.path.join(utils.CONFIG_DIR, "server.log")
os.makedirs(utils.CONFIG_DIR, exist_ok=True)
if kind == "fifo":
    os.mkfifo(log)
else:
    os.symlink("/dev/zero", log)
utils._log_buffer.append({{"time": "t", "text": "kept"}})
app = zetadesk_server.create_app()
app.testing = True
if view == "logs":
    if replaced:
        opsdeck.open = lambda *args, **kwargs: builtins.open(*args, **kwargs)
    resp = app.test_client().post("/api/server/logs", json={{"count": 5}},
                                  headers={{"Authorization": "Bearer " + utils.ACCESS_TOKEN}})
    print(json.dumps([resp.status_code, resp.get_json()]))
else:
    if replaced:
        # A size that always grows: the Python path tries to read every cycle.
        sizes = itertools.count(1000, 1000)
        proxy = types.SimpleNamespace(join=os.path.join, exists=os.path.exists, getsize=lambda p: next(sizes))
        opsdeck.os = types.SimpleNamespace(path=proxy)
    real_sleep = time.sleep
    opsdeck.time = types.SimpleNamespace(sleep=lambda seconds: real_sleep(0.01))
    with app.test_request_context("/api/server/logs/stream"):
        body = opsdeck.server_logs_stream().response
    got = []
    reader = threading.Thread(target=lambda: got.append(next(body)), daemon=True)
    reader.start()
    real_sleep(0.2)
    utils._log_buffer.append({{"time": "t", "text": "after"}})
    reader.join(5)
    print(json.dumps(got))
"""


@pytest.mark.parametrize("replaced", [False, True], ids=["as named", "replaced"])
@pytest.mark.parametrize("view", ["logs", "stream"])
@pytest.mark.parametrize("kind", ["fifo", "/dev/zero"])
def test_log_that_is_not_a_regular_file_is_refused(tmp_path, kind, view, replaced):
    # A FIFO would block the open, a device never ends: each request is
    # answered from the buffer (the stream goes on), in a child so that a
    # hang ends with its timeout.
    result = run_python(SPECIAL_LOG.format(kind=kind, view=view, replaced=replaced),
                        env={"ZETADESK_CONFIG_DIR": str(tmp_path / "config")}, timeout=20)
    assert result.returncode == 0, result.stderr[-2000:]
    answer = json.loads(result.stdout.strip().splitlines()[-1])
    if view == "logs":
        assert answer == [200, {"lines": ["t kept"], "source": "memory", "total": 1}]
    else:
        assert answer == ['data: {"type": "log", "text": "after", "time": "t"}\n\n']
