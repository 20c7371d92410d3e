"""POST /api/server/logs: the tail of server.log, or of the log buffer."""

import builtins
import io
import os
import random
import traceback

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import routes.opsdeck as opsdeck

# Fragments that stress the line scanner: every kind of line break, valid
# multi-byte characters, and invalid or cut-off UTF-8 sequences (a CR and an
# LF separated only by invalid bytes still form one CR LF).
FRAGMENTS = [
    b"a", b"line", b" ", b"\t", b"\r", b"\n", b"\r\n", b"\r\xff\n", b"\n\r",
    b"\xc3\xa9", b"\xe2\x82\xac", b"\xf0\x9f\x98\x80", b"\xef\xbb\xbf",
    b"\xff", b"\x80", b"\xc3", b"\xe2\x82", b"\xf0\x9f\x98", b"\xc0\xaf", b"\xed\xa0\x80",
    b"\xf4\x90\x80\x80", b"\xe0\x80\xaf", b"\x00", b"x" * 61,
]


def python_reference(path, count):
    with open(path, "r", encoding="utf-8", errors="ignore") as f:
        all_lines = f.readlines()
    return [line.rstrip("\n") for line in all_lines[-count:]], len(all_lines)


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


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(pieces=st.lists(st.sampled_from(FRAGMENTS), max_size=80),
       count=st.sampled_from([0, 1, 2, 3, 100, -1, -3, 10**20, -10**20]))
def test_file_lines_match_python_readlines(host, client, pieces, count):
    path = write_log(host, b"".join(pieces))
    expected, total = python_reference(path, count)
    assert ask(client, {"count": count}) == (200, {"lines": expected, "source": "file", "total": total})


def test_large_file_across_read_chunks_and_checkpoints(host, client):
    # Several MiB and tens of thousands of lines, so reads are split inside
    # multi-byte sequences and between CR and LF, and the tail starts after
    # many checkpoints.
    rng = random.Random(4)
    chunks = []
    for _ in range(120_000):
        chunks.append(rng.choice(FRAGMENTS) if rng.random() < 0.5 else b"plain log text " * rng.randrange(0, 5))
        chunks.append(rng.choice([b"\n", b"\r\n", b"\r", b"\n"]))
    path = write_log(host, b"".join(chunks))
    total = python_reference(path, 0)[1]
    assert total > 3 * 4096
    for count in [1, 100, 4095, 4096, 4097, total - 4096, total - 4097, total - 1, -8191, -8192, 0]:
        expected, _ = python_reference(path, count)
        status, answer = ask(client, {"count": count})
        assert status == 200 and answer["total"] == total
        assert answer["lines"] == expected, count


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
