"""GET /api/server/logs/stream: the body iterator in process, and a real
server streaming to a raw socket."""

import builtins
import collections
import datetime
import gc
import json
import os
import queue
import socket
import threading
import time
import traceback
import types
import weakref

import flask
import pytest
from hypothesis import given, strategies as st

import routes.opsdeck as opsdeck
from conftest import NATIVE_SHORTCUTS, LiveServer, OsProxy, property_settings, wait_for
from test_server_logs import LONG_LINES, bounded

END = object()


class ClosingRequest(flask.Request):
    """A host request that offers call_on_close, as some hosts add."""

    def call_on_close(self, f):
        self.environ.setdefault("test.on_close", []).append(f)
        return f


@pytest.fixture
def polls(monkeypatch):
    """Polling pauses shortened to 5 ms; the list holds the pauses asked for."""
    asked = []
    real_sleep = time.sleep

    def sleep(seconds):
        asked.append(seconds)
        real_sleep(0.005)

    monkeypatch.setattr(opsdeck, "time", types.SimpleNamespace(sleep=sleep))
    return asked


def open_stream(app):
    """(response, body, on_close) of one stream request on a host request class."""
    app.request_class = ClosingRequest
    with app.test_request_context("/api/server/logs/stream") as ctx:
        resp = opsdeck.server_logs_stream()
        (on_close,) = ctx.request.environ["test.on_close"]
    return resp, resp.response, on_close


class Reader:
    """Pulls the body on its own thread, as the web server does."""

    def __init__(self, body):
        self.body, self.events, self.error = body, queue.Queue(), None
        self.item_sizes = []
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            for item in self.body:
                # An item holds whole events: several when a cycle found a burst.
                self.item_sizes.append(len(item))
                for event in split_events(item):
                    self.on_event(event)
        except BaseException as e:
            self.error = e
        self.events.put(END)

    def on_event(self, event):
        """Called on the reader's thread for each event, in order."""
        self.events.put(event)

    def take(self, n, timeout=5):
        got = []
        deadline = time.monotonic() + timeout
        while len(got) < n:
            item = self.events.get(timeout=max(0.01, deadline - time.monotonic()))
            assert item is not END, f"stream ended after {got}"
            got.append(item)
        return got

    def rest(self, timeout=5):
        """Everything until the body ends."""
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "stream did not end"
        got = []
        while (item := self.events.get_nowait()) is not END:
            got.append(item)
        return got


def stream_of_empty_log(app, host, polls):
    """(reader, on_close) of a stream that has begun on an empty server.log."""
    with open(os.path.join(host.CONFIG_DIR, "server.log"), "wb"):
        pass
    resp, body, on_close = open_stream(app)
    reader = Reader(body)
    started(polls)
    return reader, on_close


def started(polls, cycles=1):
    """Waits until the stream has run `cycles` polling cycles."""
    n = len(polls) + cycles
    wait_for(lambda: len(polls) >= n, timeout=5, step=0.002)


def split_events(item):
    assert item.endswith("\n\n")
    return [event + "\n\n" for event in item.split("\n\n")[:-1]]


def payload(event):
    assert event.startswith("data: ") and event.endswith("\n\n")
    return json.loads(event[6:-2])


def texts(events):
    return [payload(e)["text"] for e in events]


def append_file(host, data):
    with open(os.path.join(host.CONFIG_DIR, "server.log"), "ab") as f:
        f.write(data)


def test_response_through_the_test_client(client, host, polls):
    # The client pulls the first event before it returns the response.
    feeder = threading.Thread(target=lambda: (started(polls), host._log_buffer.append(
        {"time": "t", "text": "first"})))
    feeder.start()
    resp = client.get("/api/server/logs/stream", buffered=False)
    feeder.join()
    assert resp.status_code == 200 and resp.mimetype == "text/event-stream"
    assert [(k, v) for k, v in resp.headers if k in ("Cache-Control", "X-Accel-Buffering")] == [
        ("Cache-Control", "no-cache"), ("X-Accel-Buffering", "no")]
    assert next(resp.response) == b'data: {"type": "log", "text": "first", "time": "t"}\n\n'
    resp.close()


def test_close_callback_on_the_response_when_the_request_has_none(app, host, polls, monkeypatch):
    registered = []

    class RecordingResponse(flask.Response):
        def call_on_close(self, f):
            registered.append(f)
            return super().call_on_close(f)

    monkeypatch.setattr(opsdeck, "Response", RecordingResponse)
    with app.test_request_context("/api/server/logs/stream"):
        resp = opsdeck.server_logs_stream()
    (on_close,) = registered
    assert on_close.__name__ == "on_close" and on_close.__doc__ is None
    reader = Reader(resp.response)
    started(polls)
    on_close()
    assert reader.rest() == [] and reader.error is None


def test_new_output_only_as_events(app, host, polls):
    host._log_buffer.append({"time": "09:00:00", "text": "history"})
    append_file(host, b"old line\n")
    resp, body, on_close = open_stream(app)
    reader = Reader(body)
    started(polls)
    host._log_buffer.append({"time": "12:00:01", "text": "build ok"})
    append_file(host, b"alpha\n\n  beta  \n")
    before = datetime.datetime.now(datetime.timezone.utc)
    events = reader.take(3)
    assert events[0] == 'data: {"type": "log", "text": "build ok", "time": "12:00:01"}\n\n'
    assert texts(events[1:]) == ["alpha", "beta"]
    for event in events[1:]:
        assert list(payload(event)) == ["type", "text", "time"]
        when = datetime.datetime.fromisoformat(payload(event)["time"])
        assert when.utcoffset() == datetime.timedelta(0)
        assert abs((when - before).total_seconds()) < 5
    started(polls, 3)
    on_close()
    assert reader.rest() == [] and reader.error is None
    assert set(polls) == {0.5}


@pytest.fixture(params=["native", "module open", "builtins open", "os.path.getsize"])
def file_step(request, monkeypatch):
    """The file step natively, or through the Python objects because open
    (a module global or the builtin) or the size query is replaced; the
    list holds the paths opened for reading by a replaced open."""
    opened = []
    real_open = builtins.open

    def recording_open(file, mode="r", *args, **kwargs):
        if mode == "r":
            opened.append(file)
        return real_open(file, mode, *args, **kwargs)

    if request.param == "module open":
        monkeypatch.setattr(opsdeck, "open", recording_open, raising=False)
    elif request.param == "builtins open":
        monkeypatch.setattr(builtins, "open", recording_open)
    elif request.param == "os.path.getsize":
        monkeypatch.setattr(opsdeck, "os", OsProxy(lambda path: os.path.getsize(path)))
    return request.param, opened


def test_file_changes(app, host, polls, file_step):
    resp, body, on_close = open_stream(app)
    reader = Reader(body)
    started(polls)
    # Created after the stream began: everything in it is new.
    append_file(host, b"first\n")
    assert texts(reader.take(1)) == ["first"]
    # A line written in two cycles arrives as two events, and a character
    # cut between them is not lost: its first bytes wait for the rest.
    append_file(host, b"caf\xc3")
    assert texts(reader.take(1)) == ["caf"]
    started(polls, 2)
    append_file(host, b"\xa9 au lait\r\n")
    assert texts(reader.take(1)) == ["\u00e9 au lait"]
    # Four bytes over three cycles.
    for part in (b"x\xf0", b"\x9f", b"\x98\x80!\n"):
        append_file(host, part)
        started(polls, 2)
    assert texts(reader.take(2)) == ["x", "\U0001F600!"]
    on_close()
    assert reader.rest() == []


class BareFile:
    """A host's own file object: a context manager with seek() and read() only."""

    def __init__(self, f):
        self._f = f

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._f.close()

    def seek(self, offset):
        return self._f.seek(offset)

    def read(self):
        return self._f.read()


def test_a_host_open_whose_files_cannot_tell(app, host, polls, monkeypatch):
    monkeypatch.setattr(opsdeck, "open", lambda *a, **k: BareFile(builtins.open(*a, **k)), raising=False)
    resp, body, on_close = open_stream(app)
    reader = Reader(body)
    started(polls)
    # The offset follows the size query: each line once, and the stream goes on.
    for line in ("first", "second", "caf\u00e9"):
        append_file(host, line.encode() + b"\n")
        assert texts(reader.take(1)) == [line]
    started(polls, 2)
    on_close()
    assert reader.rest() == [] and reader.error is None


def test_truncated_or_replaced_file_is_read_from_its_start(app, host, polls, file_step):
    path = os.path.join(host.CONFIG_DIR, "server.log")
    append_file(host, b"one\ntwo\nthree\n")
    resp, body, on_close = open_stream(app)
    reader = Reader(body)
    started(polls)
    # Truncated to empty, then given more than it held before: every new
    # line, once.
    with open(path, "wb"):
        pass
    started(polls, 2)
    append_file(host, b"four\n" + b"x" * 40 + b"\n")
    assert texts(reader.take(2)) == ["four", "x" * 40]
    # Replaced by a shorter file: its lines, once; then only its growth.
    with open(path + ".new", "wb") as f:
        f.write(b"five\nsix\n")
    os.replace(path + ".new", path)
    assert texts(reader.take(2)) == ["five", "six"]
    append_file(host, b"seven\n")
    assert texts(reader.take(1)) == ["seven"]
    started(polls, 2)
    on_close()
    assert reader.rest() == []
    kind, opened = file_step
    assert (kind in ("native", "os.path.getsize")) == (opened == []) and set(opened) <= {path}


def test_concurrent_appends_are_sent_exactly_once(app, host, polls, file_step):
    resp, body, on_close = open_stream(app)
    reader = Reader(body)
    started(polls)
    lines = [f"line-{i:05}" for i in range(20000)]
    fd = os.open(os.path.join(host.CONFIG_DIR, "server.log"), os.O_WRONLY | os.O_APPEND | os.O_CREAT)
    try:
        for line in lines:
            os.write(fd, line.encode() + b"\n")
    finally:
        os.close(fd)
    got = texts(reader.take(len(lines) - 1, timeout=20))
    started(polls, 3)
    on_close()
    got += texts(reader.rest())
    # A line caught half-written arrives in two pieces; nothing twice, nothing lost.
    assert "".join(got) == "".join(lines)
    # The burst went out in items of many events, none much over 64 KiB.
    assert len(reader.item_sizes) < len(lines) / 10
    assert max(reader.item_sizes) < 64 * 1024 + 200


def test_bounded_buffers_keep_delivering(app, host, polls, monkeypatch):
    bounded = collections.deque(({"time": "t", "text": f"old {i}"} for i in range(3)), maxlen=3)
    monkeypatch.setattr(opsdeck, "_log_buffer", bounded)
    resp, body, on_close = open_stream(app)
    reader = Reader(body)
    started(polls)
    # Full from the start: every new entry pushes the oldest out.
    for i in range(4):
        bounded.append({"time": "t", "text": f"new {i}"})
        assert texts(reader.take(1)) == [f"new {i}"]
    with host._log_lock:
        bounded.extend({"time": "t", "text": f"pair {i}"} for i in range(2))
    assert texts(reader.take(2)) == ["pair 0", "pair 1"]
    on_close()
    assert reader.rest() == []

    # A list trimmed from the front, shorter than before.
    trimmed = [{"time": "t", "text": f"old {i}"} for i in range(6)]
    monkeypatch.setattr(opsdeck, "_log_buffer", trimmed)
    resp, body, on_close = open_stream(app)
    reader = Reader(body)
    started(polls)
    with host._log_lock:
        del trimmed[:5]
        trimmed.append({"time": "t", "text": "fresh"})
    assert texts(reader.take(1)) == ["fresh"]
    on_close()
    assert reader.rest() == []


def pull_one(body, polls, feed):
    """next(body) on another thread, with `feed` run once the stream is polling."""
    pulled = []
    puller = threading.Thread(target=lambda: pulled.append(next(body)))
    puller.start()
    started(polls)
    feed()
    puller.join(5)
    assert not puller.is_alive()
    return pulled[0]


def test_close_contract(app, host, polls):
    # Closed before the first pull: no events, and the loop never runs.
    resp, body, on_close = open_stream(app)
    body.close()
    body.close()
    assert list(body) == [] and polls == []

    # Suspended at an event: no lock held, no file open; the close is absorbed.
    resp, body, on_close = open_stream(app)
    item = pull_one(body, polls, lambda: host._log_buffer.extend(
        [{"time": "t", "text": "one"}, {"time": "t", "text": "two"}]))
    assert texts(split_events(item)) == ["one", "two"]
    assert host._log_lock.acquire(blocking=False)
    host._log_lock.release()
    log_path = os.path.join(host.CONFIG_DIR, "server.log")
    open_files = {os.path.realpath(f"/proc/self/fd/{fd}") for fd in os.listdir("/proc/self/fd")}
    assert os.path.realpath(log_path) not in open_files
    assert body.close() is None
    assert list(body) == []
    body.close()


def test_close_while_running(app, host, monkeypatch):
    entered, release = threading.Event(), threading.Event()

    def sleep(seconds):
        entered.set()
        release.wait(5)

    monkeypatch.setattr(opsdeck, "time", types.SimpleNamespace(sleep=sleep))
    resp, body, on_close = open_stream(app)
    reader = Reader(body)
    assert entered.wait(5)
    with pytest.raises(ValueError, match="^generator already executing$"):
        body.close()
    with pytest.raises(ValueError, match="^generator already executing$"):
        next(body)
    host._log_buffer.append({"time": "t", "text": "one"})
    release.set()
    assert texts(reader.take(1)) == ["one"]
    on_close()
    assert reader.rest() == [] and reader.error is None


def test_dropped_body_releases_what_it_holds(app, host, polls):
    class Entry(dict):
        pass

    entry = Entry(time="t", text="x")
    ref = weakref.ref(entry)
    resp, body, on_close = open_stream(app)
    assert texts([pull_one(body, polls, lambda: host._log_buffer.append(entry))]) == ["x"]
    host._log_buffer.clear()
    del entry, body, resp
    gc.collect()
    assert ref() is None


def test_errors_end_the_stream_after_earlier_events(app, host, polls):
    resp, body, on_close = open_stream(app)
    reader = Reader(body)
    started(polls)
    host._log_buffer.extend([{"time": "t", "text": "good"}, {"time": "t"}])
    assert texts(reader.take(1)) == ["good"]
    assert reader.rest() == []
    assert isinstance(reader.error, KeyError)
    last = traceback.extract_tb(reader.error.__traceback__)[-1]
    assert (last.name, last.filename) == ("routes.opsdeck.server_logs_stream.generate", "routes/opsdeck")


# ---- names replaced on the module ---------------------------------------------


@pytest.mark.parametrize("fails", ["never", "at the start", "in a cycle"])
def test_failing_size_query_ends_the_body(app, host, polls, monkeypatch, fails):
    append_file(host, b"history\n")
    asked = []

    def getsize(path):
        asked.append(path)
        if fails == "at the start" or len(asked) > 1:
            raise PermissionError("size refused")
        return os.path.getsize(path)

    if fails != "never":
        monkeypatch.setattr(opsdeck, "os", OsProxy(getsize))
    resp, body, on_close = open_stream(app)
    reader = Reader(body)
    if fails == "never":
        started(polls)
        append_file(host, b"fresh\n")
        assert texts(reader.take(1)) == ["fresh"]
        on_close()
        assert reader.rest() == [] and reader.error is None
        return
    # The body ends with the error of the size query, without an event.
    assert reader.rest() == []
    assert isinstance(reader.error, PermissionError)
    names = [entry.name for entry in traceback.extract_tb(reader.error.__traceback__)]
    assert names[-2:] == ["routes.opsdeck.server_logs_stream.generate", "getsize"]
    # Asked once at the start, and once more in the first cycle.
    assert asked == [os.path.join(host.CONFIG_DIR, "server.log")] * (1 if fails == "at the start" else 2)
    assert polls == []


def test_size_query_that_appends_as_it_answers(app, host, polls, monkeypatch):
    append_file(host, b"history\n")
    ticks = iter(range(100))

    def getsize(path):
        size = os.path.getsize(path)
        append_file(host, f"tick {next(ticks)}\n".encode())
        return size

    monkeypatch.setattr(opsdeck, "os", OsProxy(getsize))
    resp, body, on_close = open_stream(app)
    reader = Reader(body)
    # Each read runs to the end of the file, past the size it was given, and
    # the next one starts where that read ended: the line appended during a
    # size query is sent once.
    assert texts(reader.take(5)) == ["tick 0", "tick 1", "tick 2", "tick 3", "tick 4"]
    on_close()
    reader.rest()


@pytest.mark.parametrize("replaced", [False, True])
def test_events_follow_a_replaced_json(app, host, polls, monkeypatch, replaced):
    def dumps(obj):
        return json.dumps({**obj, "via": "caf\u00e9"}, ensure_ascii=False)

    if replaced:
        monkeypatch.setattr(opsdeck, "json", types.SimpleNamespace(dumps=dumps))
    expected = dumps if replaced else json.dumps
    resp, body, on_close = open_stream(app)
    reader = Reader(body)
    started(polls)
    host._log_buffer.extend([{"time": "12:00:01", "text": "build ok"}, {"time": 2, "text": ["a"]}])
    assert reader.take(2) == ["data: " + expected({"type": "log", "text": "build ok", "time": "12:00:01"}) + "\n\n",
                              "data: " + expected({"type": "log", "text": ["a"], "time": 2}) + "\n\n"]
    append_file(host, "alpha \u00e9\n".encode())
    (event,) = reader.take(1)
    when = payload(event)["time"]
    assert event == "data: " + expected({"type": "log", "text": "alpha \u00e9", "time": when}) + "\n\n"
    on_close()
    assert reader.rest() == []


class FrozenClock(datetime.datetime):
    @classmethod
    def now(cls, tz=None):
        return datetime.datetime(2026, 1, 2, 3, 4, 5, 678901, tzinfo=tz)


@pytest.mark.parametrize("replaced", [None, "datetime", "timezone"])
def test_line_times_follow_a_replaced_clock(app, host, polls, monkeypatch, replaced):
    plus_two = datetime.timezone(datetime.timedelta(hours=2))
    if replaced == "datetime":
        monkeypatch.setattr(opsdeck, "datetime", FrozenClock)
    elif replaced == "timezone":
        monkeypatch.setattr(opsdeck, "timezone", types.SimpleNamespace(utc=plus_two))
    resp, body, on_close = open_stream(app)
    reader = Reader(body)
    started(polls)
    before = datetime.datetime.now(datetime.timezone.utc)
    append_file(host, b"one\ntwo\n")
    host._log_buffer.append({"time": "12:00:01", "text": "entry"})
    events = reader.take(3)
    # Buffer entries keep their own time.
    assert payload(events[0]) == {"type": "log", "text": "entry", "time": "12:00:01"}
    times = [payload(e)["time"] for e in events[1:]]
    if replaced == "datetime":
        assert times == ["2026-01-02T03:04:05.678901+00:00"] * 2
    else:
        for when in map(datetime.datetime.fromisoformat, times):
            assert when.utcoffset() == (plus_two.utcoffset(None) if replaced else datetime.timedelta(0))
            assert abs((when - before).total_seconds()) < 5
    on_close()
    assert reader.rest() == []


json_values = st.one_of(
    st.text(), st.text(alphabet=st.characters(codec=None, min_codepoint=0, max_codepoint=0x10FFFF)),
    st.integers(), st.integers(min_value=-10**40, max_value=10**40),
    st.floats(allow_nan=True, allow_infinity=True), st.booleans(), st.none(),
    st.lists(st.integers(), max_size=3), st.dictionaries(st.text(max_size=3), st.text(max_size=3), max_size=2),
)


@property_settings(25)
@given(values=st.lists(st.tuples(json_values, json_values), min_size=1, max_size=60))
def test_events_are_json_dumps_byte_for_byte(app, host, polls, values):
    host._log_buffer.clear()
    resp, body, on_close = open_stream(app)
    reader = Reader(body)
    started(polls)
    host._log_buffer.extend({"time": when, "text": what} for what, when in values)
    events = reader.take(len(values))
    on_close()
    reader.rest()
    assert events == ["data: " + json.dumps({"type": "log", "text": what, "time": when}) + "\n\n"
                      for what, when in values]


line_text = st.lists(st.sampled_from(
    list("ab \t\x0b\x0c\x1c\x1f\x85\xa0\u2028\u3000\u00e9\U0001F600") + ["\n", "\r", "\r\n"]),
    max_size=40).map("".join)


@property_settings(25)
@given(content=line_text, junk=st.sampled_from([b"", b"\xff", b"\xc3", b"\xed\xa0\x80"]))
def test_file_lines_split_and_stripped_as_python_does(app, host, polls, content, junk):
    reader, on_close = stream_of_empty_log(app, host, polls)
    data = content.encode().replace(b" ", b" " + junk)
    append_file(host, data)
    decoded = data.decode("utf-8", "ignore").replace("\r\n", "\n").replace("\r", "\n")
    expected = [piece.strip() for piece in decoded.split("\n") if piece.strip()]
    started(polls, 2)
    on_close()
    assert texts(reader.rest()) == expected


@pytest.mark.parametrize("case", [*LONG_LINES, "beyond the read cap"])
def test_long_lines_are_cut_around_a_marker(app, host, polls, file_step, case):
    reader, on_close = stream_of_empty_log(app, host, polls)
    # Past the 16 MiB a cycle reads at most, the line is read on to its end.
    data = LONG_LINES.get(case) or b"s" * 40_000 + b"\xe2\x82\xac" * (6 << 20) + b"t" * 40_000 + b"\n"
    log = os.path.join(host.CONFIG_DIR, "server.log")
    with open(log + ".new", "wb") as f:  # all at once: no line seen half written
        f.write(data)
    os.replace(log + ".new", log)
    decoded = data.decode("utf-8", "ignore").replace("\r\n", "\n").replace("\r", "\n")
    expected = [bounded(piece.strip()) for piece in decoded.split("\n") if piece.strip()]
    assert texts(reader.take(len(expected), timeout=30)) == expected
    on_close()
    assert reader.rest() == []


@pytest.mark.skipif(not NATIVE_SHORTCUTS, reason="the Python path reads a whole append in one cycle")
def test_large_append_arrives_over_several_cycles_without_loss(app, host, polls):
    # 36 MiB appended at once is read at most 16 MiB per polling cycle, each
    # read stopping after a line break: every line arrives once, whole and in
    # order, and no cycle holds more than the cap.
    cap = 16 * 1024 * 1024
    with open(os.path.join(host.CONFIG_DIR, "server.log"), "wb"):
        pass
    cycles = []

    class CycleReader(Reader):
        def on_event(self, event):
            cycles.append(len(polls))
            super().on_event(event)

    resp, body, on_close = open_stream(app)
    reader = CycleReader(body)
    started(polls)
    lines = [f"{i:07} " + ("\u00e9x\u4e2d" if i % 3 else "plain") * (8 + i % 40) for i in range(260_000)]
    endings = ["\n", "\r\n", "\r"]
    data = "".join(line + endings[i % 3] for i, line in enumerate(lines)).encode()
    assert len(data) > 2 * cap
    # All at once: the empty log is replaced by the full one (a write of this
    # size could be seen half done, and a line read in two parts is two events).
    log = os.path.join(host.CONFIG_DIR, "server.log")
    with open(log + ".new", "wb") as f:
        f.write(data)
    os.replace(log + ".new", log)
    events = reader.take(len(lines), timeout=120)
    on_close()
    assert reader.rest() == [] and reader.error is None
    assert texts(events) == lines
    per_cycle = collections.Counter()
    for i, (cycle, line) in enumerate(zip(cycles, lines)):
        per_cycle[cycle] += len(line.encode()) + len(endings[i % 3])
    assert len(per_cycle) >= 3 and max(per_cycle.values()) <= cap


# ---- a real server ---------------------------------------------------------


def read_headers(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(4096)
        assert chunk, "connection closed before the headers"
        data += chunk
    head, rest = data.split(b"\r\n\r\n", 1)
    return head.decode("latin-1"), rest


class ChunkReader:
    def __init__(self, sock, pending):
        self.sock, self.buf = sock, pending

    def _fill(self):
        chunk = self.sock.recv(65536)
        assert chunk, "connection closed"
        self.buf += chunk

    def event(self):
        """The next event of the chunked body."""
        while True:
            while b"\r\n" not in self.buf:
                self._fill()
            size_line, rest = self.buf.split(b"\r\n", 1)
            size = int(size_line, 16)
            while len(rest) < size + 2:
                self._fill()
                size_line, rest = self.buf.split(b"\r\n", 1)
            self.buf = rest[size + 2:]
            if size:
                return rest[:size].decode()


def thread_count(pid):
    return len(os.listdir(f"/proc/{pid}/task"))


def settled_thread_count(pid):
    """The thread count once earlier requests' threads have gone."""
    counts = []
    while len(counts) < 3 or len(set(counts[-3:])) > 1:
        counts.append(thread_count(pid))
        assert len(counts) < 100, counts
        time.sleep(0.1)
    return counts[-1]


def test_live_stream_to_a_raw_socket(tmp_path):
    server = LiveServer(str(tmp_path)).wait_ready()
    try:
        with open(server.log_path, "ab") as f:
            f.write(b"history line\n")
        idle_threads = settled_thread_count(server.proc.pid)
        sock = socket.create_connection(("127.0.0.1", server.port), timeout=10)
        sock.sendall(b"GET /api/server/logs/stream HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     b"Authorization: Bearer " + server.token.encode() + b"\r\n\r\n")
        time.sleep(0.7)  # the stream has taken its starting offset
        appended = time.monotonic()
        with open(server.log_path, "ab") as f:
            f.write("fresh \u00e9 line\n".encode())
        # The server sends the headers with the first event.
        head, rest = read_headers(sock)
        assert head.startswith("HTTP/1.1 200")
        assert "Content-Type: text/event-stream" in head and "Cache-Control: no-cache" in head
        event = ChunkReader(sock, rest).event()
        latency = time.monotonic() - appended
        assert payload(event)["text"] == "fresh \u00e9 line"
        assert latency < 1.5  # one polling cycle plus scheduling
        assert thread_count(server.proc.pid) == idle_threads + 1

        # The client goes; the next writes fail and end the body.
        sock.close()
        deadline = time.monotonic() + 10
        while thread_count(server.proc.pid) > idle_threads:
            assert time.monotonic() < deadline, "stream thread still running"
            with open(server.log_path, "ab") as f:
                f.write(b"after the client left\n")
            time.sleep(0.3)
        assert server.proc.poll() is None
    finally:
        server.stop()
