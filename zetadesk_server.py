"""ZetaDesk server (stand-in of the IDE's main program).

Serves the IDE's Flask application with the native server-management routes
on ZETADESK_HOST:ZETADESK_PORT, workspace ZETADESK_WORKSPACE.
"""

import hmac
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

from flask import Flask, redirect, request
from werkzeug.serving import WSGIRequestHandler, get_sockaddr, make_server, select_address_family

import utils
from routes.opsdeck import bp

STATIC_DIR = os.path.join(utils.SERVER_DIR, "static")

# The page and its files load nothing from elsewhere and are never framed.
PAGE_HEADERS = {
    "Content-Security-Policy": "default-src 'self'; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
}

# The cookie the route group's guard accepts in place of a Bearer header.
TOKEN_COOKIE = "zetadesk_token"


def _token_matches(given):
    token = getattr(utils, "ACCESS_TOKEN", None)
    return bool(token) and hmac.compare_digest(given.encode("utf-8", "surrogateescape"), token.encode())


def page_url(port, with_token=False):
    """The page's address for a browser on this machine."""
    host = utils.HOST
    if host in ("", "0.0.0.0"):
        host = "127.0.0.1"
    elif host == "::":
        host = "[::1]"
    elif ":" in host:
        host = f"[{host}]"
    url = f"http://{host}:{port}/"
    return f"{url}?token={utils.ACCESS_TOKEN}" if with_token else url


def create_app():
    app = Flask(__name__, static_folder=STATIC_DIR, static_url_path="/static")
    # Keep the key order the views build, so clients see it.
    app.json.sort_keys = False
    app.register_blueprint(bp)

    @app.get("/")
    def index():
        # /?token=...: the printed address.  The token moves into a cookie the
        # page's script cannot read and a foreign site cannot send, and leaves
        # the address bar at once.  A wrong token sets nothing.
        given = request.args.get("token")
        if given is None:
            return app.send_static_file("index.html")
        response = redirect("/", code=303)
        response.headers["Cache-Control"] = "no-store"
        if _token_matches(given):
            response.set_cookie(TOKEN_COOKIE, utils.ACCESS_TOKEN, httponly=True, samesite="Strict", path="/")
        return response

    # The page has no icon; an empty answer keeps the browser from asking
    # again, and a data: URL would break the page's content policy.
    @app.get("/favicon.ico")
    def favicon():
        return "", 204

    @app.after_request
    def page_headers(response):
        if request.endpoint in ("index", "favicon", "static"):
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


def main():
    app = create_app()
    os.makedirs(utils.WORKSPACE, exist_ok=True)
    # All that can still fail is the port, which the predecessor frees on this.
    utils.signal_takeover()
    server = _bind(app, utils.HOST or "127.0.0.1", utils.PORT, wait_seconds=10)
    _ConnectionCap(server, MAX_CONNECTIONS)
    line = "[SERVER] ZetaDesk listening on {} (pid %d)" % os.getpid()
    # The address with the token goes to a terminal only, never into a log
    # (the buffer, server.log after a restart, a redirected output).
    shown = line.format(page_url(server.port, with_token=True)) if sys.stdout.isatty() else None
    utils.log_write(line.format(page_url(server.port)), console=shown)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
