"""The operations page in a real headless Chromium against a live server."""

import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest

from conftest import PROFILES, PYTHON, ROOT, LiveServer, http

webdriver = pytest.importorskip("selenium.webdriver")
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(not (CHROMIUM and CHROMEDRIVER), reason="needs chromium and chromedriver")

ARTIFACTS = os.path.join(ROOT, "tests", "artifacts")


def start_chromium(tmp_path, *extra_flags):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=420,1400",
                 f"--user-data-dir={tmp_path / 'chromium-profile'}", *extra_flags):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    # The browser is not ours to instrument: keep a sanitizer runtime out of it.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(service=webdriver.ChromeService(executable_path=CHROMEDRIVER, env=env),
                              options=options)
    driver.set_page_load_timeout(30)
    return driver


@pytest.fixture
def browser(tmp_path):
    driver = start_chromium(tmp_path)
    yield driver
    driver.quit()


@pytest.fixture
def server(tmp_path, request):
    # Started on a terminal, as by hand: the start-up line shows the page's
    # address.  Under a test's `profile` (conftest.PROFILES), if it has one.
    profile = getattr(request, "param", "linux")
    server = LiveServer(str(tmp_path), tty=True, profile=profile).wait_ready()
    yield server
    server.stop()


TOKEN_KEY = "zetadesk_token"


def sign_in(driver, server, url=None):
    """Opens the one-time login address (the start-up line's unless `url` is
    given): the page trades its code for the token, which it keeps in its
    own tab, and the code leaves the address bar."""
    url = url or server.printed_url()
    assert re.fullmatch(re.escape(server.url) + r"/#code=[A-Za-z0-9_-]{43}", url)
    driver.get("about:blank")  # a fragment change alone would not load the page again
    driver.get(url)
    wait_for(driver, lambda: driver.current_url == server.url + "/"
             and driver.execute_script(f"return sessionStorage.getItem('{TOKEN_KEY}')") == server.token)


def wait_for(driver, condition, timeout=10):
    return WebDriverWait(driver, timeout, poll_frequency=0.05).until(lambda d: condition())


def text(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def wait_until_streaming(driver, log_path):
    """Append probe lines until one arrives: the page's stream is then live.

    The stream only starts counting output once the server runs its body, and
    a silent stream sends nothing, so a probe is the only way to know."""
    for n in range(40):
        with open(log_path, "a", encoding="utf-8") as f:
            f.write(f"probe {n}\n")
        try:
            wait_for(driver, lambda: f"probe {n}" in text(driver, "log"), timeout=0.75)
            return
        except Exception:
            continue
    raise AssertionError("the page's log stream never delivered a line")


def console_errors(driver):
    return [e for e in driver.get_log("browser") if e["level"] == "SEVERE"]


@pytest.mark.parametrize("server", PROFILES, indirect=True)
def test_page_shows_status_log_and_saves_configuration(browser, server):
    with open(server.log_path, "w", encoding="utf-8") as f:
        f.write("earlier line\n")
    sign_in(browser, server)
    _, status = http("GET", server.url + "/api/server/status")
    wait_for(browser, lambda: text(browser, "st-pid") == str(status["pid"]))
    assert text(browser, "st-version") == "2.0.0"
    assert f"127.0.0.1:{server.port}" in text(browser, "st-addresses")
    wait_for(browser, lambda: "earlier line" in text(browser, "log"))
    wait_for(browser, lambda: text(browser, "sys-version") == "2.0.0")

    # A line appended to the server log shows up through the live stream.
    wait_until_streaming(browser, server.log_path)
    started = time.monotonic()
    with open(server.log_path, "a", encoding="utf-8") as f:
        f.write("fresh line from the test\n")
    wait_for(browser, lambda: "fresh line from the test" in text(browser, "log"), timeout=5)
    assert time.monotonic() - started < 2.0

    # Save a token: stored in the configuration file, masked on the page.
    token = "ghp_pagetest_0123456789abcdef"
    browser.find_element(By.ID, "cfg-token").send_keys(token)
    browser.find_element(By.CSS_SELECTOR, "#config-form button[type=submit]").click()
    wait_for(browser, lambda: "projects refreshed: 0" in text(browser, "cfg-result"))
    assert "token changed: yes" in text(browser, "cfg-result")
    with open(os.path.join(server.config_dir, "config.json"), encoding="utf-8") as f:
        stored = json.load(f)
    # Only what the user changed is sent: the untouched workspace stays unset.
    assert stored == {"github_token": token}
    wait_for(browser, lambda: text(browser, "cfg-token-saved").endswith("cdef)"))
    assert token not in browser.find_element(By.TAG_NAME, "body").text
    assert token not in browser.page_source
    assert server.token not in browser.page_source
    assert browser.find_element(By.ID, "locked").is_displayed() is False
    # The browser holds no cookie that it would send by itself.
    assert browser.get_cookies() == []

    os.makedirs(ARTIFACTS, exist_ok=True)
    browser.save_screenshot(os.path.join(ARTIFACTS, "ops-page.png"))
    assert console_errors(browser) == []


@pytest.mark.parametrize("server", PROFILES, indirect=True)
def test_restart_brings_the_page_back_on_a_new_process(browser, server):
    sign_in(browser, server)
    _, status = http("GET", server.url + "/api/server/status")
    old_pid = status["pid"]
    wait_for(browser, lambda: text(browser, "st-pid") == str(old_pid))
    successor = None
    try:
        browser.find_element(By.ID, "restart").click()
        WebDriverWait(browser, 5).until(lambda d: d.switch_to.alert).accept()
        wait_for(browser, lambda: "restarted" in text(browser, "restart-state"), timeout=30)
        successor = int(text(browser, "st-pid"))
        assert successor != old_pid
        assert server.proc.wait(timeout=10) == 0
        # The page's stream follows the successor, which keeps the token.
        wait_until_streaming(browser, server.log_path)
        assert not browser.find_element(By.ID, "locked").is_displayed()
    finally:
        if successor:
            os.kill(successor, signal.SIGTERM)


def test_without_the_token_the_page_says_how_to_get_in(browser, server):
    browser.get(server.url + "/")
    wait_for(browser, lambda: browser.find_element(By.ID, "locked").is_displayed())
    assert "zetadesk login" in text(browser, "locked") and "#code=" in text(browser, "locked")
    wait_for(browser, lambda: text(browser, "conn") == "access token needed")
    assert text(browser, "st-pid") == "–"
    assert browser.execute_async_script(FETCH, "/api/config", {})[1] == 401
    # A wrong token sets nothing and leaves the address too.
    browser.get(server.url + "/?token=wrong-0123456789abcdef")
    wait_for(browser, lambda: browser.current_url == server.url + "/")
    wait_for(browser, lambda: browser.find_element(By.ID, "locked").is_displayed())
    # The printed address lets the same browser in.
    sign_in(browser, server)
    _, status = http("GET", server.url + "/api/server/status")
    wait_for(browser, lambda: text(browser, "st-pid") == str(status["pid"]))
    assert not browser.find_element(By.ID, "locked").is_displayed()


# ---- pages of other origins ---------------------------------------------------

TOKEN = "ghp_browser_0123456789abcdef"
FETCH = """
const done = arguments[arguments.length - 1];
fetch(arguments[0], arguments[1]).then(async r => done([r.type, r.status, await r.text()]),
                                       e => done(["error", 0, String(e)]));
"""


@pytest.fixture
def rebinding_browser(tmp_path):
    # rebind.test stands for a name whose owner re-points it at 127.0.0.1.
    driver = start_chromium(tmp_path, "--host-resolver-rules=MAP rebind.test 127.0.0.1")
    yield driver
    driver.quit()


def save_token(server):
    with open(os.path.join(server.config_dir, "config.json"), "w", encoding="utf-8") as f:
        json.dump({"github_token": TOKEN}, f)


def test_rebound_name_cannot_read_the_configuration(rebinding_browser, server):
    save_token(server)
    # The same browser on the server's own address reads it: the refusal below is the guard's.
    sign_in(rebinding_browser, server)
    bearer = {"headers": {"Authorization": f"Bearer {server.token}"}}
    assert rebinding_browser.execute_async_script(FETCH, "/api/config", bearer)[1:] == [
        200, json.dumps({"github_token": TOKEN}, separators=(",", ":")) + "\n"]

    rebinding_browser.get(f"http://rebind.test:{server.port}/")
    kind, status, body = rebinding_browser.execute_async_script(FETCH, "/api/config", bearer)
    assert (kind, status) == ("basic", 403)
    assert json.loads(body) == {"ok": False, "error": "host not allowed: rebind.test"}
    wait_for(rebinding_browser, lambda: "host not allowed" in text(rebinding_browser, "conn")
             or text(rebinding_browser, "conn") != "connecting…")
    assert TOKEN not in rebinding_browser.page_source
    assert TOKEN not in rebinding_browser.find_element(By.TAG_NAME, "body").text


class OtherSite:
    """A second local server, on another port and so another origin."""

    def __init__(self, page):
        body = page.encode()

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/"
        threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def test_other_origin_cannot_restart_the_server(browser, server):
    restart = server.url + "/api/server/restart"
    other = OtherSite(f"""<!doctype html><title>other site</title>
<form id="f" method="POST" action="{restart}"><input name="x" value="1"></form>""")
    _, status = http("GET", server.url + "/api/server/status")
    save_token(server)
    sign_in(browser, server)  # the server's own tab holds the token: the other page still gets nothing
    try:
        browser.get(other.url)
        # Reading needs the server's consent (CORS), which it never gives.
        for init in ({}, {"credentials": "include"}):
            kind, _, body = browser.execute_async_script(FETCH, server.url + "/api/config", init)
            assert kind == "error" and TOKEN not in body
        # A no-cors POST goes out without a preflight; its answer is opaque to the page.
        assert browser.execute_async_script(FETCH, restart, {"mode": "no-cors", "method": "POST"})[0] == "opaque"
        browser.execute_script("document.getElementById('f').submit()")
        wait_for(browser, lambda: browser.current_url == restart)
        assert json.loads(browser.find_element(By.TAG_NAME, "body").text) == {
            "ok": False, "error": "authentication required"}
    finally:
        other.close()
    time.sleep(1.0)  # a restart would have ended the process half a second after answering
    assert server.proc.poll() is None
    assert http("GET", server.url + "/api/server/status")[1]["pid"] == status["pid"] == server.proc.pid


# ---- the login link and what leaves the page's origin ------------------------

# A page on another port, run by another user: prints what the browser sends
# it, and what its own script can read (cookies, both storages).
LISTENER = r"""
import http.server
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        page = b'<script>fetch("/r", {method: "POST", body: document.cookie + JSON.stringify([sessionStorage, localStorage])})</script>'
        print(self.requestline, dict(self.headers), flush=True)
        self.send_response(200); self.send_header("Content-Length", str(len(page))); self.end_headers(); self.wfile.write(page)
    def do_POST(self):
        print(self.requestline, dict(self.headers), self.rfile.read(int(self.headers["Content-Length"])).decode(), flush=True)
        self.send_response(204); self.end_headers()
    log_message = lambda *args: None
server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
"""
SETPRIV = shutil.which("setpriv")


def login_link(server):
    """A fresh address from `zetadesk login`, another process than the server."""
    return subprocess.run([PYTHON, os.path.join(ROOT, "zetadesk_server.py"), "login"], env=server.env,
                          capture_output=True, text=True, timeout=60, check=True).stdout.strip()


@pytest.mark.skipif(not (SETPRIV and os.geteuid() == 0), reason="needs root and setpriv for another user")
def test_login_link_works_once_and_nothing_leaves_the_origin(tmp_path, server):
    driver = start_chromium(tmp_path)
    listener = subprocess.Popen([SETPRIV, "--reuid=65534", "--regid=65534", "--clear-groups", PYTHON, "-c", LISTENER],
                                stdout=subprocess.PIPE, text=True, env={"PATH": os.environ.get("PATH", "/usr/bin")})
    try:
        sign_in(driver, server)
        # The same link again, in a tab without the token: refused, and said so.
        driver.execute_script("sessionStorage.clear()")
        driver.get("about:blank")
        driver.get(server.printed_url())
        wait_for(driver, lambda: driver.find_element(By.ID, "login-refused").is_displayed()
                 and text(driver, "conn") == "access token needed")
        # A fresh link, minted without a restart, lets the tab in again.
        sign_in(driver, server, login_link(server))
        driver.get(f"http://127.0.0.1:{int(listener.stdout.readline())}/")
        seen = listener.stdout.readline() + listener.stdout.readline()  # the page, then its report
        assert seen.startswith("GET / ") and seen.endswith("[{},{}]\n") and "'Cookie'" not in seen
        assert server.token not in seen
    finally:
        driver.quit()
        listener.kill()
        listener.wait(timeout=10)
    # History keeps the addresses with their codes, all used up.
    with sqlite3.connect(f"file:{tmp_path / 'chromium-profile' / 'Default' / 'History'}?mode=ro", uri=True) as db:
        urls = " ".join(row[0] for row in db.execute("SELECT url FROM urls"))
    assert server.url in urls and server.token not in urls
    for code in set(re.findall(r"code=([A-Za-z0-9_-]+)", urls)):
        assert http("POST", server.url + "/login", {"code": code})[0] == 401
