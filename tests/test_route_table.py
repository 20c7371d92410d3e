"""The route module's names, route table, health check and error reporting."""

import json
import traceback

import pytest

import routes.opsdeck as opsdeck

ROUTES = [
    ("GET", "/api/health", "health_check", False),
    ("GET", "/api/config", "get_config", True),
    ("POST", "/api/config", "update_config", True),
    ("GET", "/api/server/status", "server_status", True),
    ("POST", "/api/server/restart", "server_restart", True),
    ("POST", "/api/server/logs", "server_logs", True),
    ("GET", "/api/server/logs/stream", "server_logs_stream", False),
    ("GET", "/api/system/info", "system_info", False),
    ("GET", "/api/platform/info", "platform_info", True),
]

DOCS = {
    "server_status": "Returns server uptime, version, process info, memory usage, connected processes count.",
    "server_restart": "Restart the Flask server by spawning a new process and exiting current.",
    "server_logs": "Returns last N lines of server output log.",
    "server_logs_stream": "SSE stream of server log output in real-time.",
    "platform_info": "Return platform info for frontend to adapt shell/terminal behavior.",
}


def test_module_attributes_in_binding_order():
    names = [n for n in vars(opsdeck) if not n.startswith("__")]
    assert names == [
        "os", "sys", "json", "subprocess", "time", "threading", "datetime", "timezone",
        "Blueprint", "jsonify", "request", "Response",
        "handle_error", "load_config", "WORKSPACE", "SERVER_DIR", "PORT", "HOST", "CONFIG_DIR",
        "running_processes", "_log_buffer", "_log_lock", "log_write",
        "bp", "SERVER_START_TIME", "SERVER_VERSION",
        *[view for _, _, view, _ in ROUTES],
    ]
    import datetime, flask, utils
    assert opsdeck.datetime is datetime.datetime and opsdeck.timezone is datetime.timezone
    assert opsdeck.Blueprint is flask.Blueprint and opsdeck.Response is flask.Response
    assert opsdeck._log_buffer is utils._log_buffer and opsdeck._log_lock is utils._log_lock
    assert opsdeck.bp.name == "opsdeck" and opsdeck.bp.import_name == "routes.opsdeck"
    assert opsdeck.SERVER_VERSION == "2.0.0" and isinstance(opsdeck.SERVER_START_TIME, float)
    assert opsdeck.__doc__ == "\nZetaDesk - Server Management API routes.\n"


def test_route_table(app):
    rules = [r for r in app.url_map.iter_rules() if r.endpoint.startswith("opsdeck.")]
    assert [(r.rule, r.endpoint) for r in rules] == [(rule, "opsdeck." + view) for _, rule, view, _ in ROUTES]
    for rule, (method, _, _, _) in zip(rules, ROUTES):
        assert rule.methods - {"HEAD", "OPTIONS"} == {method}


@pytest.mark.parametrize("method,view,wrapped", [(m, v, w) for m, _, v, w in ROUTES])
def test_views_names_docs_and_wrapping(app, method, view, wrapped):
    func = getattr(opsdeck, view)
    registered = app.view_functions["opsdeck." + view]
    assert registered is func
    assert func.__name__ == view and func.__module__ == "routes.opsdeck"
    inner = func.__wrapped__ if wrapped else func
    assert hasattr(func, "__wrapped__") == wrapped
    assert inner.__qualname__ == view
    expected = f"{view}()" + (f"\n\n{DOCS[view]}" if view in DOCS else "")
    assert inner.__doc__ == expected


def test_health_answers_port_not_server_version(client, monkeypatch):
    resp = client.get("/api/health")
    assert resp.status_code == 200
    assert resp.data == json.dumps({"status": "ok", "version": "1.0.0", "port": opsdeck.PORT},
                                   separators=(",", ":")).encode() + b"\n"
    # Module globals are looked up when the view runs.
    monkeypatch.setattr(opsdeck, "PORT", "sixty")
    assert client.get("/api/health").get_json()["port"] == "sixty"
    monkeypatch.setattr(opsdeck, "jsonify", lambda d: f"jsonify saw {sorted(d)}")
    assert client.get("/api/health").data == b"jsonify saw ['port', 'status', 'version']"


@pytest.mark.parametrize("method,url", [
    ("POST", "/api/health"), ("DELETE", "/api/config"), ("GET", "/api/server/logs"),
    ("GET", "/api/server/restart"), ("POST", "/api/system/info"),
])
def test_other_methods_are_refused(client, method, url):
    assert client.open(url, method=method).status_code == 405


def test_failing_view_reports_its_traceback_entry(host, monkeypatch):
    monkeypatch.delattr(opsdeck, "PORT")
    with pytest.raises(NameError) as info:
        opsdeck.health_check()
    assert str(info.value) == "name 'PORT' is not defined"
    last = traceback.extract_tb(info.value.__traceback__)[-1]
    assert (last.name, last.filename) == ("routes.opsdeck.health_check", "routes/opsdeck")


def test_builtins_are_found_after_module_globals(monkeypatch):
    # A module global shadows a builtin of the same name; removing it shows the builtin.
    import builtins
    monkeypatch.setattr(builtins, "PORT", 4242, raising=False)
    monkeypatch.delattr(opsdeck, "PORT")
    resp = opsdeck.health_check
    from zetadesk_server import create_app
    with create_app().test_request_context():
        assert json.loads(resp().data)["port"] == 4242
