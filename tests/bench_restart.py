"""Time of a restart, from the request to the first answer of the new server,
with the successor's takeover word and the listening socket handed over
against without them, in one run; and, from a client asking /api/health
every 5 ms all along, the requests refused per restart (the port free for
a moment), other failures (connections cut by the exit) and the longest
time without an answer.

    tools/devenv.sh run python3.14 tests/bench_restart.py [--rounds N] [--before TREE]

"without" is a server of this tree whose host offers no
RESTART_TAKEOVER_SECONDS (ZETADESK_TAKEOVER_SECONDS=off): it ends half a
second after the answer, as every restart did before the word existed, and
its successor binds the port anew.  --before TREE adds a third side,
"before", run from another checkout built in place (e.g. the commit before
the socket's hand-over, under build/, which the environment can see).  The sides restart in turn, each its own chain of
servers on its own port of 127.0.0.1; the load average is printed before
and after.  A ratio below 1 means restarts with the word are faster.
"""

import argparse
import http.client
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def request(method, url, timeout=2, token=None):
    headers = {"Authorization": f"Bearer {token}"} if token else {}
    req = urllib.request.Request(url, data=b"" if method == "POST" else None, method=method, headers=headers)
    with urllib.request.urlopen(req, timeout=timeout) as resp:
        return json.loads(resp.read())


class Poller(threading.Thread):
    """GET /api/health every 5 ms: refused connections, other failures, and
    the longest time between two answers."""

    def __init__(self, url):
        super().__init__(daemon=True)
        self.url = url
        self.refused = self.failed = 0
        self.longest = 0.0
        self.done = threading.Event()

    def run(self):
        last = time.monotonic()
        while not self.done.is_set():
            try:
                request("GET", self.url + "/api/health", timeout=5)
            except urllib.error.URLError as e:
                if isinstance(e.reason, ConnectionRefusedError):
                    self.refused += 1
                else:
                    self.failed += 1
            except (OSError, ValueError, http.client.HTTPException):
                self.failed += 1
            else:
                now = time.monotonic()
                self.longest = max(self.longest, now - last)
                last = now
            time.sleep(0.005)


class Chain:
    """One server and, restart after restart, its successors."""

    def __init__(self, name, tree, scratch, env):
        self.name = name
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        base = os.path.join(scratch, name)
        os.makedirs(os.path.join(base, "config"))
        self.token_file = os.path.join(base, "config", "access_token")
        self.token = None
        self.env = dict(os.environ, ZETADESK_HOST="127.0.0.1", ZETADESK_PORT=str(self.port),
                        ZETADESK_CONFIG_DIR=os.path.join(base, "config"),
                        ZETADESK_WORKSPACE=os.path.join(base, "workspace"), **env)
        self.output = open(os.path.join(base, "stdout.log"), "ab")
        self.first = subprocess.Popen([sys.executable, os.path.join(tree, "zetadesk_server.py")], cwd=tree,
                                      env=self.env, stdout=self.output, stderr=subprocess.STDOUT)
        self.pid = self.first.pid
        self.times = []
        try:
            self.pid = self.wait_for_new_pid(None, 60)
        except BaseException:
            self.stop()
            raise
        self.poller = Poller(self.url)
        self.poller.start()

    def wait_for_new_pid(self, old, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                if self.token is None:  # made by the first server as it starts
                    with open(self.token_file, encoding="ascii") as f:
                        self.token = f.read().strip() or None
                pid = request("GET", self.url + "/api/server/status", timeout=1, token=self.token)["pid"]
                if pid != old:
                    return pid
            except (OSError, ValueError, http.client.HTTPException):
                pass
            time.sleep(0.005)
        raise TimeoutError(f"{self.name}: no new server within {timeout} s")

    def restart(self):
        started = time.monotonic()
        assert request("POST", self.url + "/api/server/restart", token=self.token)["ok"] is True
        self.pid = self.wait_for_new_pid(self.pid, 60)
        self.times.append(time.monotonic() - started)
        if self.first.poll() is None and self.first.pid != self.pid:
            self.first.wait(10)

    def stop(self):
        if getattr(self, "poller", None):
            self.poller.done.set()
            self.poller.join(10)
        try:
            os.kill(self.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        self.output.close()


def load():
    return " ".join(f"{x:.2f}" for x in os.getloadavg())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--before", help="checkout to run the side without the word from")
    args = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix="zetadesk-bench-restart-")
    print(f"load average before: {load()}  (cpus: {os.cpu_count()})")
    chains = []
    try:
        if args.before:
            chains.append(Chain("before", os.path.abspath(args.before), scratch, {}))
        chains.append(Chain("without", ROOT, scratch, {"ZETADESK_TAKEOVER_SECONDS": "off"}))
        chains.append(Chain("with", ROOT, scratch, {}))
        for r in range(args.rounds):
            for chain in chains if r % 2 == 0 else reversed(chains):
                chain.restart()
                time.sleep(0.2)
    finally:
        for chain in chains:
            chain.stop()
        shutil.rmtree(scratch, ignore_errors=True)
    print(f"load average after:  {load()}")
    medians = {}
    for chain in chains:
        t = chain.times
        medians[chain.name] = statistics.median(t)
        print(f"{chain.name:8} restarts: {len(t)}  median {medians[chain.name]:.3f} s  "
              f"min {min(t):.3f} s  max {max(t):.3f} s  "
              f"refused per restart {chain.poller.refused / len(t):.2f}  other failures {chain.poller.failed}  "
              f"longest without an answer {chain.poller.longest * 1000:.0f} ms")
    for name in medians:
        if name != "with":
            print(f"ratio with/{name} (medians): {medians['with'] / medians[name]:.3f}")


if __name__ == "__main__":
    main()
