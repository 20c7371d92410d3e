"""GET and POST /api/config: the document, the merge, the workspace directory,
the git authentication refresh and overlapping updates."""

import json
import sys
import threading
import traceback

import pytest

import routes.git
import routes.opsdeck as opsdeck

OK_UNCHANGED = b'{"ok":true,"token_changed":false,"projects_refreshed":0}\n'


def stored(host):
    with open(host.CONFIG_FILE, encoding="utf-8") as f:
        return json.load(f)


@pytest.fixture
def refreshes(monkeypatch, host):
    """Records each refresh with the token saved at that moment; answers 3."""
    calls = []

    def refresh(token):
        calls.append((token, host.load_config().get("github_token")))
        return 3

    monkeypatch.setattr(routes.git, "_refresh_all_project_git_auth", refresh)
    return calls


def test_get_returns_the_document_as_stored(client, host, monkeypatch):
    document = {"zeta": 1, "github_token": "ghp_secret", "alpha": {"b": [1, 2], "a": None}}
    host.save_config(document)
    resp = client.get("/api/config")
    assert resp.status_code == 200
    assert resp.data == json.dumps(document, separators=(",", ":")).encode() + b"\n"

    # utils.load_config is looked up at each request, not the name bound at import.
    monkeypatch.setattr(host, "load_config", lambda: {"from": "now"})
    assert client.get("/api/config").data == b'{"from":"now"}\n'


def test_post_merges_shallowly_and_keeps_other_keys(client, host, refreshes):
    host.save_config({"b": 1, "nested": {"x": 1, "y": 2}, "github_token": "t", "keep": [1]})
    resp = client.post("/api/config", json={"nested": {"z": 3}, "a": None, "b": 2})
    assert resp.data == OK_UNCHANGED
    assert client.get("/api/config").data == (
        b'{"b":2,"nested":{"z":3},"github_token":"t","keep":[1],"a":null}\n')
    assert refreshes == []

    # An empty body saves the document unchanged.
    before = client.get("/api/config").data
    assert client.post("/api/config", json={}).data == OK_UNCHANGED
    assert client.get("/api/config").data == before


@pytest.mark.parametrize("stored_doc,body,changed,refreshed_with,token_after", [
    ({"github_token": "t"}, {"github_token": "t"}, False, [], "t"),
    ({}, {"github_token": ""}, False, [], ""),
    ({"github_token": "t"}, {"github_token": ""}, True, [""], ""),
    ({"github_token": "t"}, {"github_token": None}, False, [], None),
    ({"github_token": "t"}, {"other": 1}, False, [], "t"),
    ({}, {"github_token": "new"}, True, ["new"], "new"),
    ({"github_token": "t"}, {"github_token": " t"}, True, [" t"], " t"),
    ({"github_token": "T"}, {"github_token": "t"}, True, ["t"], "t"),
    ({"github_token": None}, {"github_token": ""}, True, [""], ""),
    ({"github_token": 1}, {"github_token": "1"}, True, ["1"], "1"),
], ids=["same", "empty-vs-missing", "empty-vs-stored", "null", "absent", "new", "untrimmed",
        "case", "empty-vs-stored-null", "text-vs-stored-number"])
def test_token_change(client, host, refreshes, stored_doc, body, changed, refreshed_with, token_after):
    host.save_config(stored_doc)
    resp = client.post("/api/config", json=body)
    assert resp.status_code == 200
    assert resp.data == (b'{"ok":true,"token_changed":%s,"projects_refreshed":%d}\n'
                         % (b"true" if changed else b"false", 3 if changed else 0))
    # The refresh runs after the save and gets the body's token.
    assert refreshes == [(token, token) for token in refreshed_with]
    assert stored(host)["github_token"] == token_after


def _raise_refresh(token):
    raise RuntimeError("no network")


@pytest.mark.parametrize("breakage,message", [
    (lambda m: m.setattr(routes.git, "_refresh_all_project_git_auth", _raise_refresh), "no network"),
    (lambda m: m.delattr(routes.git, "_refresh_all_project_git_auth"),
     "cannot import name _refresh_all_project_git_auth"),
    (lambda m: m.setitem(sys.modules, "routes.git", None),
     "import of routes.git halted; None in sys.modules"),
], ids=["raises", "function-missing", "module-missing"])
def test_failed_refresh_is_reported_and_the_token_kept(client, host, monkeypatch, capsys, breakage, message):
    breakage(monkeypatch)
    resp = client.post("/api/config", json={"github_token": "fresh"})
    assert resp.data == b'{"ok":true,"token_changed":true,"projects_refreshed":0}\n'
    assert capsys.readouterr().out == f"[config] warning: failed to refresh project git auth: {message}\n"
    assert stored(host)["github_token"] == "fresh"


def test_workspace_directory(client, host, tmp_path, refreshes):
    deep = tmp_path / "a" / "b" / "ws"
    assert client.post("/api/config", json={"workspace": str(deep)}).data == OK_UNCHANGED
    assert deep.is_dir()

    # Every update recreates the stored workspace, even when the body does not name it.
    deep.rmdir()
    client.post("/api/config", json={"other": True})
    assert deep.is_dir()

    # A body without "workspace" keeps the stored one.
    assert client.post("/api/config", json={"github_token": ""}).status_code == 200
    assert stored(host)["workspace"] == str(deep)


BAD_TOKEN = "ghp_leak_me_0123"


@pytest.mark.parametrize("body,error", [
    ({"workspace": "FILE", "github_token": "new"}, "[Errno 17] File exists: 'FILE'"),
    ({"workspace": "FILE/below"}, "[Errno 20] Not a directory: 'FILE/below'"),
    ({"github_token": BAD_TOKEN + "\nquit=1"}, "github_token must not contain a line break (CR, LF) or NUL"),
    ({"github_token": "\r" + BAD_TOKEN}, "github_token must not contain a line break (CR, LF) or NUL"),
    ({"github_token": BAD_TOKEN + "\0", "other": 1}, "github_token must not contain a line break (CR, LF) or NUL"),
    ({"allowed_hosts": "ide.example"}, "allowed_hosts must be a list of strings"),
    ({"allowed_hosts": ["ide.example", 7]}, "allowed_hosts must be a list of strings"),
    ({"allowed_hosts": None}, "allowed_hosts must be a list of strings"),
    ({"allowed_hosts": {"ide.example": True}}, "allowed_hosts must be a list of strings"),
    # A workspace that is not a non-empty string would break every restart.
    *[({"workspace": value, "github_token": "new"}, "workspace must be a non-empty string")
      for value in (False, 0, [], {}, None, "", 0.0, True, 1, ["/tmp"], {"path": "/tmp"})],
    # git would be handed the printed form ("password=123").
    *[({"github_token": value}, "github_token must be a string")
      for value in (123, float("nan"), [BAD_TOKEN], True, {"t": BAD_TOKEN})],
], ids=["workspace-is-file", "workspace-below-file", "token-lf", "token-cr", "token-nul",
        "hosts-string", "hosts-mixed", "hosts-null", "hosts-object",
        *(f"workspace-{name}" for name in ("false", "0", "list", "object", "null", "empty", "0.0", "true", "1",
                                           "path-list", "path-object")),
        *(f"token-{name}" for name in ("number", "nan", "list", "true", "object"))])
def test_refused_update_changes_nothing(client, host, tmp_path, refreshes, capsys, body, error):
    afile = tmp_path / "plain.txt"
    afile.write_text("x")
    body = {k: v.replace("FILE", str(afile)) if isinstance(v, str) else v for k, v in body.items()}
    host.save_config({"github_token": "old", "workspace": str(tmp_path / "ws"), "allowed_hosts": []})
    with open(host.CONFIG_FILE, "rb") as f:
        before = f.read()
    resp = client.post("/api/config", json=body)
    assert resp.status_code == 500
    assert resp.get_json() == {"ok": False, "error": error.replace("FILE", str(afile))}
    with open(host.CONFIG_FILE, "rb") as f:
        assert f.read() == before
    assert refreshes == []
    # Neither the answer nor the printed traceback shows a refused token.
    assert BAD_TOKEN not in resp.get_data(as_text=True) + "".join(capsys.readouterr())


def test_accepted_allowed_hosts_and_token_forms(client, host, refreshes):
    # What the checks let through: text tokens without breaks, and null, which clears it.
    for body in ({"allowed_hosts": []}, {"allowed_hosts": ["ide.example", "Box.Local."]},
                 {"github_token": "tab\tand space "}, {"github_token": None}):
        assert client.post("/api/config", json=body).status_code == 200
    assert stored(host) == {"allowed_hosts": ["ide.example", "Box.Local."], "github_token": None}


@pytest.mark.parametrize("kwargs,error", [
    ({"data": "{}", "content_type": "text/plain"}, "415 Unsupported Media Type"),
    ({"data": "{not json", "content_type": "application/json"}, "400 Bad Request"),
    ({"json": [1, 2]}, "'list' object has no attribute 'get'"),
    ({"data": "null", "content_type": "application/json"}, "'NoneType' object has no attribute 'get'"),
    # Over the stand-in's limit of 1 MiB: never read, never saved.
    ({"data": '{"big": "' + "x" * (1 << 20) + '"}', "content_type": "application/json"}, "413 Request Entity Too Large"),
])
def test_unusable_bodies_save_nothing(client, host, kwargs, error):
    host.save_config({"kept": 1})
    resp = client.post("/api/config", **kwargs)
    assert resp.status_code == 500
    assert resp.get_json()["error"].startswith(error)
    assert stored(host) == {"kept": 1}


def test_failures_leave_with_the_view_entry_and_release_the_lock(app, client, host, monkeypatch):
    def broken_save(config):
        raise OSError("disk full")

    monkeypatch.setattr(host, "save_config", broken_save)
    with app.test_request_context("/api/config", method="POST", json={"a": 1}):
        with pytest.raises(OSError) as info:
            opsdeck.update_config.__wrapped__()
    names = [(e.name, e.filename) for e in traceback.extract_tb(info.value.__traceback__)]
    assert ("routes.opsdeck.update_config", "routes/opsdeck") in names
    assert names[-1][0] == "broken_save"

    monkeypatch.delattr(host, "save_config")
    resp = client.post("/api/config", json={"a": 1})
    assert resp.get_json() == {"ok": False, "error": "cannot import name save_config"}
    monkeypatch.undo()

    # A failure between load and save must not leave later updates waiting.
    done = threading.Event()
    threading.Thread(target=lambda: (client.post("/api/config", json={"after": 1}), done.set()),
                     daemon=True).start()
    assert done.wait(10), "update blocked after a failed one"
    assert stored(host) == {"after": 1}

    monkeypatch.setattr(host, "load_config", lambda: 1 / 0)
    with app.test_request_context("/api/config"):
        with pytest.raises(ZeroDivisionError) as info:
            opsdeck.get_config.__wrapped__()
    assert ("routes.opsdeck.get_config", "routes/opsdeck") in [
        (e.name, e.filename) for e in traceback.extract_tb(info.value.__traceback__)]


def test_slow_refresh_does_not_hold_up_other_updates(app, host, monkeypatch):
    # The refresh (git in every project) runs after the save, outside the update lock.
    other = {}

    def refresh(token):
        t = threading.Thread(target=lambda: other.setdefault(
            "status", app.test_client().post("/api/config", json={"other": 1}).status_code))
        t.start()
        t.join(timeout=10)
        return 1

    monkeypatch.setattr(routes.git, "_refresh_all_project_git_auth", refresh)
    resp = app.test_client().post("/api/config", json={"github_token": "new"})
    assert resp.data == b'{"ok":true,"token_changed":true,"projects_refreshed":1}\n'
    assert other == {"status": 200}
    assert stored(host) == {"github_token": "new", "other": 1}


def test_overlapping_updates_keep_every_key(live_server):
    from conftest import http

    threads_per_round, rounds = 24, 3
    for r in range(rounds):
        barrier = threading.Barrier(threads_per_round)
        statuses = []

        def post(i):
            barrier.wait(timeout=10)
            statuses.append(http("POST", live_server.url + "/api/config", {f"r{r}k{i}": i})[0])

        threads = [threading.Thread(target=post, args=(i,)) for i in range(threads_per_round)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=30)
        assert statuses == [200] * threads_per_round
    status, document = http("GET", live_server.url + "/api/config")
    assert status == 200
    expected = {f"r{r}k{i}" for r in range(rounds) for i in range(threads_per_round)}
    assert expected - set(document) == set()
