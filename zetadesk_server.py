"""ZetaDesk server (stand-in of the IDE's main program).

Serves the IDE's Flask application with the native server-management routes
on ZETADESK_HOST:ZETADESK_PORT, workspace ZETADESK_WORKSPACE.
"""

import hmac
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


class _RequestHandler(WSGIRequestHandler):
    """Werkzeug's handler, with the token of a /?token= request line left out
    of the request log."""

    _TOKEN_VALUE = re.compile(r"(token=)[^&\s\"']*")

    def log(self, type, message, *args):
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
    app = create_app()
    os.makedirs(utils.WORKSPACE, exist_ok=True)
    host = utils.HOST or "127.0.0.1"
    server = _inherited_server(app, host, utils.PORT)
    if server is None:
        # All that can still fail is the port, which the predecessor frees on this.
        utils.signal_takeover()
        server = _bind(app, host, utils.PORT, wait_seconds=10)
    line = "[SERVER] ZetaDesk listening on {} (pid %d)" % os.getpid()
    # The address with the token goes to a terminal only, never into a log
    # (the buffer, server.log after a restart, a redirected output).
    shown = line.format(page_url(server.port, with_token=True)) if sys.stdout.isatty() else None
    utils.log_write(line.format(page_url(server.port)), console=shown)
    handover = _PortHandover(server)
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
