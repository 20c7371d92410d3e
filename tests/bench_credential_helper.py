"""Start-to-exit time of bin/git-credential-zetadesk answering one `get`.

References, run interleaved in the same process with the same request and
configuration file:
  floor   - `python3.14 -I -S -c pass`: the interpreter starting and stopping
  script  - the same helper written as a plain Python script, run the way a
            `credential.helper = !python3 /path/to/script` line would run it
            (`python3.14 -I -S script get`)

    python3.14 tests/bench_credential_helper.py [--runs N]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HELPER = os.path.join(ROOT, "bin", "git-credential-zetadesk")

SCRIPT = '''\
import sys, os, json
CONFIG_PATH = os.path.expanduser("~/.zetadesk/config.json")
def _read_token():
    try:
        with open(CONFIG_PATH, "r", encoding="utf-8") as f:
            cfg = json.load(f)
        token = cfg.get("github_token", "")
        return token if token else ""
    except Exception:
        return ""
def _parse_input():
    data = {}
    for line in sys.stdin:
        line = line.rstrip("\\n")
        if not line:
            break
        if "=" not in line:
            continue
        key, _, value = line.partition("=")
        data[key.strip()] = value
    return data
def cmd_get():
    host = _parse_input().get("host", "")
    if host.strip().lower().split(":")[0] != "github.com":
        return
    token = _read_token()
    if not token:
        return
    print("username=x-access-token")
    print(f"password={token}")
    print()
if __name__ == "__main__":
    action = sys.argv[1] if len(sys.argv) > 1 else "get"
    if action == "get":
        cmd_get()
'''


def time_runs(argv, request, env, runs):
    times = []
    for _ in range(runs):
        with open(request, "rb") as stdin:
            start = time.perf_counter()
            proc = subprocess.run(argv, stdin=stdin, stdout=subprocess.PIPE, env=env)
            times.append(time.perf_counter() - start)
        if proc.returncode != 0:
            raise SystemExit(f"{argv[0]} exited with {proc.returncode}")
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=100)
    args = parser.parse_args()
    if not os.access(HELPER, os.X_OK):
        raise SystemExit(f"build first: {HELPER} is missing")

    with tempfile.TemporaryDirectory() as home:
        os.makedirs(os.path.join(home, ".zetadesk"))
        with open(os.path.join(home, ".zetadesk", "config.json"), "w") as f:
            f.write('{"github_token": "ghp_benchmark"}')
        request = os.path.join(home, "request")
        with open(request, "w") as f:
            f.write("protocol=https\nhost=github.com\n\n")
        script = os.path.join(home, "git-credential-zetadesk.py")
        with open(script, "w") as f:
            f.write(SCRIPT)
        env = {"HOME": home, "PATH": os.environ.get("PATH", "/usr/bin:/bin")}

        commands = {
            "helper": [HELPER, "get"],
            "floor": [sys.executable, "-I", "-S", "-c", "pass"],
            "script": [sys.executable, "-I", "-S", script, "get"],
        }
        expected = b"username=x-access-token\npassword=ghp_benchmark\n\n"
        for name in ("helper", "script"):
            out = subprocess.run(commands[name], stdin=open(request, "rb"), capture_output=True, env=env).stdout
            if out != expected:
                raise SystemExit(f"{name} answered {out!r}")

        # Interleave in rounds so machine load affects every command alike.
        samples = {name: [] for name in commands}
        rounds = 10
        for _ in range(rounds):
            for name, argv in commands.items():
                samples[name] += time_runs(argv, request, env, max(1, args.runs // rounds))

    median = {name: statistics.median(t) * 1000 for name, t in samples.items()}
    for name in commands:
        t = sorted(samples[name])
        print(f"{name:7s} median {median[name]:6.2f} ms   min {t[0] * 1000:6.2f} ms   "
              f"p90 {t[int(len(t) * 0.9)] * 1000:6.2f} ms   ({len(t)} runs)")
    print(f"helper / floor  = {median['helper'] / median['floor']:.2f}")
    print(f"helper / script = {median['helper'] / median['script']:.2f}")


if __name__ == "__main__":
    main()
