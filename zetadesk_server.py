"""ZetaDesk server (stand-in of the IDE's main program).

Serves the IDE's Flask application with the native server-management routes
on ZETADESK_HOST:ZETADESK_PORT, workspace ZETADESK_WORKSPACE.
"""

import io
import os
import re
import socket
import sys
import threading
import time

if __name__ == "__main__":
    # Run as a script (also by a restart): import siblings from this directory.
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from flask import Flask, jsonify, redirect, request
from werkzeug.serving import WSGIRequestHandler, get_sockaddr, make_server, select_address_family

try:
    import utils
except PermissionError as e:
    # The configuration directory is not this user's alone: say so plainly.
    sys.exit(f"[SERVER] {e}")
from routes.opsdeck import bp

STATIC_DIR = os.path.join(utils.SERVER_DIR, "static")

# The page and its files load nothing from elsewhere and are never framed.
PAGE_HEADERS = {
    "Content-Security-Policy": "default-src 'self'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
}

# Bodies beyond this are refused before any view reads them: no request of
# the API needs more, and a configuration must not grow without bound.
MAX_BODY_BYTES = 1024 * 1024

LOGIN_REFUSED = "login link unknown, used or expired"


def page_url(port, code=None):
    """The page's address for a browser on this machine; with a login code
    in the fragment, which the browser never sends to the server."""
    host = utils.HOST
    if host in ("", "0.0.0.0"):
        host = "127.0.0.1"
    elif host == "::":
        host = "[::1]"
    elif ":" in host:
        host = f"[{host}]"
    url = f"http://{host}:{port}/"
    return f"{url}#code={code}" if code else url


def _add_login(app):
    """POST /login {"code": ...}: the page trades a one-time login code for
    the access token, which it keeps in its own origin's storage and sends
    as a Bearer header.  Nothing is set that the browser would send by
    itself (a cookie goes to every port of the host)."""

    @app.post("/login")
    def login():
        body = request.get_json(silent=True)
        code = body.get("code") if isinstance(body, dict) else None
        token = getattr(utils, "ACCESS_TOKEN", None)
        if token and utils.redeem_login_code(code):
            response = jsonify({"ok": True, "token": token})
        else:
            response = jsonify({"ok": False, "error": LOGIN_REFUSED})
            response.status_code = 401
        response.headers["Cache-Control"] = "no-store"
        return response


def login_link():
    """`zetadesk login`: prints a fresh one-time address of the page (for the
    server on ZETADESK_HOST:ZETADESK_PORT), without a restart."""
    print(page_url(utils.PORT, utils.new_login_code()))


def create_app():
    app = Flask(__name__, static_folder=STATIC_DIR, static_url_path="/static")
    # Keep the key order the views build, so clients see it.
    app.json.sort_keys = False
    app.config["MAX_CONTENT_LENGTH"] = MAX_BODY_BYTES
    app.register_blueprint(bp)
    _add_login(app)

    @app.get("/")
    def index():
        # /?token=...: an address of earlier versions.  The token leaves the
        # address bar at once; the page asks for a login link.
        if request.args.get("token") is None:
            return app.send_static_file("index.html")
        response = redirect("/", code=303)
        response.headers["Cache-Control"] = "no-store"
        return response

    # The page has no icon; an empty answer keeps the browser from asking
    # again, and a data: URL would break the page's content policy.
    @app.get("/favicon.ico")
    def favicon():
        return "", 204

    @app.after_request
    def page_headers(response):
        if request.endpoint in ("index", "favicon", "static", "login"):
            response.headers.update(PAGE_HEADERS)
        return response

    return app


def _setting(name, default, kind):
    """A positive number from the environment; `default` when unset or not one."""
    try:
        value = kind(os.environ.get(name) or default)
    except ValueError:
        return default
    return value if value > 0 else default


# A client has this long to send each request whole (from the first byte it
# is awaited: an idle kept-alive connection is closed after as long), and
# the server keeps at most this many connections at once.
REQUEST_RECEIVE_SECONDS = _setting("ZETADESK_REQUEST_SECONDS", 10.0, float)
MAX_CONNECTIONS = _setting("ZETADESK_MAX_CONNECTIONS", 512, int)


class _DeadlineReader(io.RawIOBase):
    """The connection's bytes, each read given only what is left of the
    handler's time to receive its request."""

    def __init__(self, handler):
        self._handler = handler

    def readable(self):
        return True

    def readinto(self, buffer):
        sock = self._handler.connection
        left = self._handler.receive_deadline - time.monotonic()
        if left <= 0:
            raise TimeoutError("request not received in time")
        sock.settimeout(left)
        try:
            return sock.recv_into(buffer)
        finally:
            sock.settimeout(None)  # writes (a live stream's) have no limit


class _ReceiveDeadline:
    """Request handler part: reading a request stops at its deadline, and the
    connection is closed.  Nothing else is timed: a response (a live stream)
    takes as long as it lasts."""

    def setup(self):
        super().setup()
        self.rfile.close()  # the socket closes only once its files are closed
        self.rfile = io.BufferedReader(_DeadlineReader(self))

    def handle_one_request(self):
        self.receive_deadline = time.monotonic() + REQUEST_RECEIVE_SECONDS
        super().handle_one_request()


class _ConnectionCap:
    """At most `limit` connections of `server` at once.  One more is refused
    at once in the accepting thread, without a thread of its own: a 503
    answer if the socket takes it without waiting, then the connection is
    closed.  Connections already open go on."""

    REFUSAL = (b"HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
               b"Content-Length: 47\r\nConnection: close\r\n\r\n"
               b'{"ok": false, "error": "too many connections"}\n')

    def __init__(self, server, limit):
        self.limit, self.open = limit, 0
        self._lock = threading.Lock()
        self._process, self._shutdown = server.process_request, server.shutdown_request
        server.process_request, server.shutdown_request = self.process_request, self.shutdown_request

    def process_request(self, request, client_address):
        with self._lock:
            refused = self.open >= self.limit
            if not refused:
                self.open += 1
        if not refused:
            return self._process(request, client_address)  # paired with one shutdown_request
        try:
            request.setblocking(False)
            request.send(self.REFUSAL)
        except OSError:
            pass
        self._shutdown(request)

    def shutdown_request(self, request):
        try:
            self._shutdown(request)
        finally:
            with self._lock:
                self.open -= 1


class _RequestHandler(_ReceiveDeadline, WSGIRequestHandler):
    """Werkzeug's handler, with the token of a /?token= request line left out
    of the request log."""

    _TOKEN_VALUE = re.compile(r"(token=)[^&\s\"']*")

    def log(self, type, message, *args):
        utils.rotate_server_log()
        super().log(type, "%s", self._TOKEN_VALUE.sub(r"\1…", message % args if args else message))


def _port_free(host, port):
    """Whether the port can be bound now, found without werkzeug's report of a failure."""
    family = select_address_family(host, port)
    with socket.socket(family, socket.SOCK_STREAM) as s:
        if os.name != "nt":  # there it would let a bind share a port in use
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(get_sockaddr(host, port, family))
        except OSError:
            return False
    return True


def _bind(app, host, port, wait_seconds):
    """Bind the port, which a restart's predecessor holds until it ends."""
    deadline = time.monotonic() + wait_seconds
    while True:
        # Wait quietly (werkzeug reports every failed bind), and bind as soon
        # as the predecessor has ended.
        while not _port_free(host, port) and time.monotonic() < deadline:
            time.sleep(0.01)
        try:
            return make_server(host, port, app, threaded=True, request_handler=_RequestHandler)
        except (OSError, SystemExit):
            # Werkzeug reports a port in use with sys.exit(1), not OSError.
            if time.monotonic() >= deadline:
                raise
            time.sleep(0.01)


def _inherited_server(app, host, port):
    """A server on the listening socket a restart handed over, which stays
    open throughout; None when there is none or it does not listen on
    host:port (the port is then bound as usual)."""
    fd = utils.take_inherited_listener()
    if fd is None:
        return None
    try:
        inherited = socket.socket(fileno=fd)
    except OSError:
        return None  # no socket: not ours to close
    with inherited:  # the server works on its own duplicate
        family = select_address_family(host, port)
        if (inherited.family != family or inherited.type != socket.SOCK_STREAM
                or not inherited.getsockopt(socket.SOL_SOCKET, socket.SO_ACCEPTCONN)
                or inherited.getsockname()[:2] != get_sockaddr(host, port, family)[:2]):
            return None
        return make_server(host, port, app, threaded=True, request_handler=_RequestHandler,
                           fd=inherited.fileno())


class _PortHandover:
    """What a restart needs to hand the port to its successor without ever
    letting go of it: the listening socket, and stop_accepting.  Counts the
    connections accepted and not yet closed, so the requests under way can
    finish before the process ends."""

    def __init__(self, server):
        self.server = server
        self.stopping = threading.Event()
        self._open = set()
        self._changed = threading.Condition()
        process, shutdown = server.process_request, server.shutdown_request

        def process_request(request, client_address):
            with self._changed:
                self._open.add(request)
            process(request, client_address)

        def shutdown_request(request):  # also when the request thread could not start
            try:
                shutdown(request)
            finally:
                with self._changed:
                    self._open.discard(request)
                    self._changed.notify_all()

        server.process_request = process_request
        server.shutdown_request = shutdown_request

    def stop_accepting(self, seconds):
        """Ends the serve loop, which closes this process's descriptor of the
        socket (the successor keeps its own and goes on accepting), then
        waits up to `seconds` for the connections under way."""
        self.stopping.set()
        self.server.shutdown()
        with self._changed:
            self._changed.wait_for(lambda: not self._open, timeout=seconds)

    def offer(self):
        utils.RESTART_LISTENER = (self.server.socket, self.stop_accepting)


def main():
    if sys.argv[1:2] == ["login"]:
        return login_link()
    app = create_app()
    os.makedirs(utils.WORKSPACE, exist_ok=True)
    host = utils.HOST or "127.0.0.1"
    server = _inherited_server(app, host, utils.PORT)
    if server is None:
        # All that can still fail is the port, which the predecessor frees on this.
        utils.signal_takeover()
        server = _bind(app, host, utils.PORT, wait_seconds=10)
    # The hand-over counts what the cap lets in: the cap's refusals never
    # reach it, so a stop does not wait for them.
    handover = _PortHandover(server)
    _ConnectionCap(server, MAX_CONNECTIONS)
    line = "[SERVER] ZetaDesk listening on {} (pid %d)" % os.getpid()
    # The login address goes to a terminal only, never into a log (the
    # buffer, server.log after a restart, a redirected output): there
    # `zetadesk login` gives one.
    shown = line.format(page_url(server.port, utils.new_login_code())) if sys.stdout.isatty() else None
    utils.log_write(line.format(page_url(server.port)), console=shown)
    handover.offer()
    # On a handed-over socket: the predecessor stops accepting on this.
    utils.signal_takeover()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    if handover.stopping.is_set():
        # The restart's thread ends the process once the requests under way
        # are done; returning now would cut them off at interpreter exit.
        threading.Event().wait(60)


if __name__ == "__main__":
    main()
