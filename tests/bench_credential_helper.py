"""Start-to-exit time of bin/git-credential-zetadesk answering one `get`.

Three commands, run interleaved in the same process with the same request:
  fast         - the program on its fast path (no interpreter started)
  interpreter  - the program handing over to the embedded interpreter: the
                 configuration file names github_token twice, which the fast
                 path leaves to the module (the answer is the same)
  floor        - `python3.14 -I -S -c pass`: a bare interpreter start

Before timing, each helper run is checked for its answer and for the path it
took (whether libpython was loaded, from the dynamic loader's own log).

    python3.14 tests/bench_credential_helper.py [--runs N]
"""

import argparse
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

from credential_common import PROGRAM as HELPER, REQUEST, answer, ld_debug, libpython_loaded, save

ANSWER = answer("ghp_benchmark")
GOAL_MS, GOAL_RATIO = 3.0, 0.2


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


def loads_libpython(argv, env, request, scratch):
    """(stdout, whether libpython was loaded) of one run."""
    log = os.path.join(scratch, "ld")
    with open(request, "rb") as stdin:
        out = subprocess.run(argv, stdin=stdin, capture_output=True, env=ld_debug(env, log)).stdout
    return out, libpython_loaded(log)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=200)
    args = parser.parse_args()
    if not os.access(HELPER, os.X_OK):
        raise SystemExit(f"build first: {HELPER} is missing")

    with tempfile.TemporaryDirectory() as scratch:
        homes = {}
        for name, config in [("fast", '{"github_token": "ghp_benchmark", "workspace": "/w"}'),
                             ("interpreter", '{"github_token": "ghp_benchmark", "github_token": "ghp_benchmark"}')]:
            homes[name] = os.path.join(scratch, name)
            os.makedirs(os.path.join(homes[name], ".zetadesk"))
            save(pathlib.Path(homes[name]), config)
        request = os.path.join(scratch, "request")
        with open(request, "wb") as f:
            f.write(REQUEST)
        path = os.environ.get("PATH", "/usr/bin:/bin")
        runs = {
            "fast": ([HELPER, "get"], {"HOME": homes["fast"], "PATH": path}),
            "interpreter": ([HELPER, "get"], {"HOME": homes["interpreter"], "PATH": path}),
            "floor": ([sys.executable, "-I", "-S", "-c", "pass"], {"HOME": scratch, "PATH": path}),
        }
        for name, interpreted in [("fast", False), ("interpreter", True)]:
            out, loaded = loads_libpython(*runs[name], request, scratch)
            if out != ANSWER or loaded != interpreted:
                raise SystemExit(f"{name}: answered {out!r}, libpython loaded: {loaded}")

        # Interleave in rounds so machine load affects every command alike.
        samples = {name: [] for name in runs}
        rounds = 20
        for _ in range(rounds):
            for name, (argv, env) in runs.items():
                samples[name] += time_runs(argv, request, env, max(1, args.runs // rounds))

    median = {name: statistics.median(t) * 1000 for name, t in samples.items()}
    for name in runs:
        t = sorted(samples[name])
        print(f"{name:11s} median {median[name]:6.2f} ms   min {t[0] * 1000:6.2f} ms   "
              f"p90 {t[int(len(t) * 0.9)] * 1000:6.2f} ms   ({len(t)} runs)")
    ratio = median["fast"] / median["floor"]
    print(f"fast / floor       = {ratio:.3f}")
    print(f"fast / interpreter = {median['fast'] / median['interpreter']:.3f}")
    met = median["fast"] <= GOAL_MS and ratio <= GOAL_RATIO
    print(f"goal (fast median <= {GOAL_MS} ms and <= {GOAL_RATIO} x floor): {'met' if met else 'NOT met'}")


if __name__ == "__main__":
    main()
