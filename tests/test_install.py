"""Every artefact of this tree, installed for real: both wheels and the
source package (built by pip with GCC and with clang), each into a fresh
virtual environment, its `zetadesk-server` started from another folder, and
git using the installed credential helper program; the development install
(`pip install -e .`) of a clone with nothing built; and the portable wheels
of `make dist` (ZETADESK_PORTABLE_DIST, set by `make check-dist`), after
their audit: auditwheel for the tag, readelf for the helper program, which
auditwheel treats as data."""

import glob
import json
import os
import platform
import re
import shutil
import stat
import subprocess
import sys
import sysconfig
import tarfile
import threading
import urllib.request
import zipfile
from http.client import HTTPConnection

import pytest

from conftest import (ANDROID_FILES, ANDROID_ONLY, PYTHON, ROOT, free_port, http, in_profile, remember_token, stop_proc,
                      wait_healthy)

pytestmark = pytest.mark.skipif(
    os.environ.get("ZETADESK_SANITIZED") == "1",
    reason="packaging check: the wheels would carry the sanitizer build")

TOKEN = "ghp_install_0123456789"
NEW_TOKEN = "ghp_install_changed_42"
PROGRAM = "git-credential-zetadesk"
SO = sysconfig.get_config_var("EXT_SUFFIX")
TAG = f"cp{sys.version_info[0]}{sys.version_info[1]}"
PLATFORM = sysconfig.get_platform().replace("-", "_").replace(".", "_")

# The portable wheels: glibc 2.31 (Debian 11) is the oldest they run on.
MANYLINUX = "manylinux_2_31"
PORTABLE_DIST = os.environ.get("ZETADESK_PORTABLE_DIST")
# readelf's name of each architecture the portable wheels are built for.
MACHINES = {"x86_64": "Advanced Micro Devices X86-64", "aarch64": "AArch64"}
# The helper program may need libc's family only: git starts it for every
# remote operation, and nothing else is certain to be on the user's system.
LIBC_FAMILY = {"libc.so.6", "libm.so.6", "libdl.so.2", "libpthread.so.0", "librt.so.1",
               "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}


@pytest.fixture(scope="module")
def wheels(tmp_path_factory):
    """{"dev": path, "compiled": path}, built by `make wheels`' own script."""
    dist = tmp_path_factory.mktemp("dist")
    proc = subprocess.run(["tools/wheels.sh", "dev", "compiled"], cwd=ROOT, capture_output=True,
                          text=True, timeout=600, env=dict(os.environ, ZETADESK_DIST_DIR=str(dist)))
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    found = {}
    for path in glob.glob(str(dist / "*.whl")):
        kind = "compiled" if f"-{TAG}-{TAG}-" in path else "dev"
        assert kind not in found, sorted(os.listdir(dist))
        found[kind] = path
    assert sorted(found) == ["compiled", "dev"], sorted(os.listdir(dist))
    return found


def wheel_tag(kind, platform_tag):
    return f"{TAG}-none-{platform_tag}" if kind == "dev" else f"{TAG}-{TAG}-{platform_tag}"


def check_wheel(path, kind, platform_tag, so):
    """The wheel's name, tag and files (native ones with the suffix `so`)."""
    common = {
        "run_server.py", "zetadesk_server.py", "routes/__init__.py", f"routes/opsdeck{so}",
        "scripts/__init__.py", f"scripts/git_credential_zetadesk{so}", "utils/__init__.py",
        "static/__init__.py", "static/index.html", "static/ops.css", "static/ops.js",
        f"zetadesk-2.0.0.data/data/bin/{PROGRAM}"}
    expected = {"dev": common | {"routes/git.py"}, "compiled": common | {f"routes/git{so}"}}
    tag = wheel_tag(kind, platform_tag)
    assert os.path.basename(path) == f"zetadesk-2.0.0-{tag}.whl"
    with zipfile.ZipFile(path) as zf:
        names = {n for n in zf.namelist() if ".dist-info/" not in n}
        assert names == expected[kind], kind
        wheel_file = zf.read("zetadesk-2.0.0.dist-info/WHEEL").decode()
        mode = zf.getinfo(f"zetadesk-2.0.0.data/data/bin/{PROGRAM}").external_attr >> 16
    assert re.findall(r"^Tag: (.*)$", wheel_file, re.M) == [tag]
    assert mode & 0o111 == 0o111, oct(mode)


def test_wheel_contents_and_tags(wheels):
    for kind, path in wheels.items():
        check_wheel(path, kind, PLATFORM, SO)


def run(args, **kwargs):
    kwargs.setdefault("timeout", 120)
    return subprocess.run(args, capture_output=True, text=True, **kwargs)


def git(*args, env, cwd=None, input=None):
    return run(["git", *args], env=env, cwd=cwd, input=input, timeout=30)


def stream_event(url, log_path, token, timeout=20):
    """The first live-stream event, while lines keep arriving in the server log."""
    host, port = url.removeprefix("http://").split(":")
    conn = HTTPConnection(host, int(port), timeout=timeout)
    stop = threading.Event()

    def feed():
        for n in range(int(timeout / 0.2)):
            if stop.wait(0.2):
                return
            with open(log_path, "a", encoding="utf-8") as f:
                f.write(f"install check {n}\n")

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    try:
        conn.request("GET", "/api/server/logs/stream", headers={"Authorization": f"Bearer {token}"})
        resp = conn.getresponse()
        assert resp.status == 200 and resp.getheader("Content-Type").startswith("text/event-stream")
        line = resp.readline().decode()
    finally:
        stop.set()
        conn.close()
        feeder.join(timeout=5)
    assert line.startswith("data: "), line
    return json.loads(line.removeprefix("data: "))


def pip_install(tmp_path, *args, env=None, timeout=600):
    """A fresh virtual environment (Flask, setuptools and Cython from the
    system), `pip install ARGS` into it; returns (python, bin, pip's output)."""
    venv = tmp_path / "venv"
    proc = run([PYTHON, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)])
    assert proc.returncode == 0, proc.stderr
    vpython, vbin = str(venv / "bin" / "python"), str(venv / "bin")
    # pip from the environment's own packages, or from ZETADESK_PIP_PATH where
    # the system has none (the arm64 root).
    pip_env = dict(os.environ)
    if os.environ.get("ZETADESK_PIP_PATH"):
        pip_env["PYTHONPATH"] = os.environ["ZETADESK_PIP_PATH"]
    proc = run([vpython, "-m", "pip", "install", "--no-index", "--no-deps", "--no-compile",
                "--disable-pip-version-check", *args], env=dict(pip_env, **(env or {})), timeout=timeout)
    assert proc.returncode == 0, proc.stdout[-5000:] + proc.stderr[-5000:]
    return vpython, vbin, proc.stdout + proc.stderr


def install_and_serve(wheel, tmp_path):
    vpython, vbin, _ = pip_install(tmp_path, wheel)
    serves_and_feeds_git(vpython, vbin, tmp_path)


def serves_and_feeds_git(vpython, vbin, tmp_path):
    """The installed server started from another folder: health, status, a
    stream event, the page; git using the installed program, by name and by
    the path the server writes into the workspace's repositories."""
    site = run([vpython, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"]).stdout.strip()
    installed_program = os.path.join(vbin, PROGRAM)
    assert os.access(installed_program, os.X_OK)

    # A user's home holding the IDE's configuration with a token; the server
    # keeps its configuration there too (no ZETADESK_CONFIG_DIR).
    home, elsewhere, workspace = tmp_path / "home", tmp_path / "elsewhere", tmp_path / "workspace"
    (home / ".zetadesk").mkdir(parents=True)
    (home / ".zetadesk" / "config.json").write_text(json.dumps({"github_token": TOKEN}))
    elsewhere.mkdir()
    (workspace / "project").mkdir(parents=True)
    env = {"HOME": str(home), "PATH": f"{vbin}:/usr/bin:/bin", "LANG": "C.UTF-8",
           "GIT_TERMINAL_PROMPT": "0", "GIT_CONFIG_NOSYSTEM": "1"}
    assert git("init", "-q", str(workspace / "project"), env=env).returncode == 0

    port = free_port()
    url = f"http://127.0.0.1:{port}"
    # Started by its path, the environment not activated: the server finds the
    # program through its own installation, not through PATH.
    server_env = dict(env, PATH="/usr/bin:/bin", ZETADESK_HOST="127.0.0.1", ZETADESK_PORT=str(port),
                      ZETADESK_WORKSPACE=str(workspace), PYTHONUNBUFFERED="1")
    with open(tmp_path / "server.out", "wb") as out:
        server = subprocess.Popen([os.path.join(vbin, "zetadesk-server")], cwd=elsewhere,
                                  env=server_env, stdout=out, stderr=subprocess.STDOUT)
    try:
        # Generous: under qemu-user the interpreter starts in seconds, not milliseconds.
        wait_healthy(server, url, timeout=120, step=0.1, output=tmp_path / "server.out")
        # The installed server made its access token in the user's configuration directory.
        token = remember_token(url, home / ".zetadesk")
        assert stat.S_IMODE(os.stat(home / ".zetadesk" / "access_token").st_mode) == 0o600
        assert http("GET", url + "/api/config", auth=False)[0] == 401
        status, health = http("GET", url + "/api/health")
        assert status == 200 and health["status"] == "ok" and health["port"] == port
        status, info = http("GET", url + "/api/server/status")
        # The installed modules serve, not the checkout's.
        assert status == 200 and info["server_dir"] == site
        assert info["config_dir"] == str(home / ".zetadesk")
        event = stream_event(url, home / ".zetadesk" / "server.log", token)
        assert event["type"] == "log" and re.fullmatch(r"install check \d+", event["text"])
        with urllib.request.urlopen(url + "/", timeout=10) as page:
            assert page.status == 200 and b"<html" in page.read().lower()
        with urllib.request.urlopen(url + "/static/ops.js", timeout=10) as asset:
            assert asset.status == 200 and len(asset.read()) > 0

        # git finds the installed program by its short name on PATH.
        request = "protocol=https\nhost=github.com\n\n"
        fill = git("-c", "credential.helper=zetadesk", "credential", "fill", env=env, cwd=elsewhere,
                   input=request)
        assert fill.returncode == 0, fill.stderr
        assert f"password={TOKEN}\n" in fill.stdout and "username=x-access-token\n" in fill.stdout

        # A token change points the workspace's repository at the installed program.
        status, answer = http("POST", url + "/api/config", {"github_token": NEW_TOKEN})
        assert status == 200 and answer == {"ok": True, "token_changed": True, "projects_refreshed": 1}
        helper = git("-C", str(workspace / "project"), "config", "--local", "--get-all",
                     "credential.helper", env=env)
        assert helper.stdout.splitlines() == [installed_program]
        # ...which git then runs by that path alone, with the new token.
        bare_env = dict(env, PATH="/usr/bin:/bin")
        fill = git("credential", "fill", env=bare_env, cwd=workspace / "project", input=request)
        assert fill.returncode == 0 and f"password={NEW_TOKEN}\n" in fill.stdout, fill.stderr
    finally:
        stop_proc(server, timeout=10)


@pytest.mark.parametrize("kind", ["dev", "compiled"])
def test_installed_wheel_serves_and_feeds_git(wheels, kind, tmp_path):
    install_and_serve(wheels[kind], tmp_path)


# ---- the portable wheels of `make dist` ----------------------------------------


@pytest.fixture(scope="module")
def portable_wheels():
    """{(arch, kind): path} of the portable wheels in ZETADESK_PORTABLE_DIST."""
    if not PORTABLE_DIST:
        pytest.skip("portable wheels: built by `make dist`, checked by `make check-dist`")
    found = {}
    for arch in MACHINES:
        for kind in ("dev", "compiled"):
            path = os.path.join(PORTABLE_DIST, f"zetadesk-2.0.0-{wheel_tag(kind, f'{MANYLINUX}_{arch}')}.whl")
            assert os.path.isfile(path), sorted(os.listdir(PORTABLE_DIST))
            found[arch, kind] = path
    return found


def elf_facts(path):
    """(machine, NEEDED libraries, {(library, version name)}) of an ELF file."""
    proc = run(["readelf", "--wide", "--file-header", "--dynamic", "--version-info", path])
    assert proc.returncode == 0, proc.stderr
    machine = re.search(r"^\s*Machine:\s*(.+?)\s*$", proc.stdout, re.M)[1]
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", proc.stdout))
    versions, library = set(), None
    # .gnu.version_r: a "File:" line per library, then a "Name:" line per version.
    for line in proc.stdout.split("Version needs section", 1)[-1].splitlines():
        if m := re.search(r"File: (\S+)", line):
            library = m[1]
        elif (m := re.search(r"Name: (\S+)", line)) and library:
            versions.add((library, m[1]))
    return machine, needed, versions


def manylinux_policy(arch):
    """auditwheel's own manylinux_2_31 rules for `arch`: the allowed libraries,
    and the allowed symbol versions by prefix (GLIBC, GLIBCXX, CXXABI, GCC)."""
    import auditwheel.policy

    with open(os.path.join(os.path.dirname(auditwheel.policy.__file__), "manylinux-policy.json")) as f:
        policy = next(p for p in json.load(f) if p["name"] == MANYLINUX)
    return set(policy["lib_whitelist"]), policy["symbol_versions"][arch]


def policy_breaches(path, arch, libraries):
    """What in the ELF file `path` breaks the manylinux_2_31 policy for `arch`,
    with NEEDED limited to `libraries`."""
    machine, needed, versions = elf_facts(path)
    _, allowed = manylinux_policy(arch)
    breaches = [f"machine {machine}"] if machine != MACHINES[arch] else []
    breaches += [f"NEEDED {lib}" for lib in sorted(needed - libraries)]
    for library, version in sorted(versions):
        prefix, _, number = version.partition("_")
        if prefix in allowed and number not in allowed[prefix]:
            breaches.append(f"{library}: {version}")
    return breaches


@pytest.mark.parametrize("arch", sorted(MACHINES))
@pytest.mark.parametrize("kind", ["dev", "compiled"])
def test_portable_wheel_audit(portable_wheels, arch, kind, tmp_path):
    path = portable_wheels[arch, kind]
    so = f".{sys.implementation.cache_tag}-{arch}-linux-gnu.so"
    check_wheel(path, kind, f"{MANYLINUX}_{arch}", so)

    # auditwheel's verdict: the most compatible tag these native files allow
    # is this wheel's or an older one.
    show = run(["auditwheel", "show", path])
    assert show.returncode == 0, show.stdout + show.stderr
    found = re.search(r'platform\s+tag:\s+"manylinux_(\d+)_(\d+)_(\w+)"', show.stdout)
    assert found, show.stdout
    assert found[3] == arch and (int(found[1]), int(found[2])) <= (2, 31), show.stdout

    # The same policy by hand, for every native file and strictest for the
    # helper program.
    libraries, _ = manylinux_policy(arch)
    with zipfile.ZipFile(path) as zf:
        natives = [n for n in zf.namelist() if n.endswith(".so") or n.endswith(f"/{PROGRAM}")]
        zf.extractall(tmp_path, natives)
    assert len(natives) == (4 if kind == "compiled" else 3), natives
    for name in natives:
        # (auditwheel's list leaves out the dynamic loaders, which it allows.)
        allowed = LIBC_FAMILY if name.endswith(PROGRAM) else libraries | LIBC_FAMILY
        assert policy_breaches(str(tmp_path / name), arch, allowed) == [], name
        assert unstripped_sections(str(tmp_path / name)) == [], name
    assert build_paths(path) == []


def unstripped_sections(path):
    """The debug information and symbol tables an ELF file still carries."""
    proc = run(["readelf", "--wide", "--section-headers", path])
    assert proc.returncode == 0, proc.stderr
    return re.findall(r"\]\s+(\.debug\S*|\.symtab|\.strtab)\s", proc.stdout)


def build_paths(wheel):
    """Members of `wheel` naming a folder the wheels were built in: this
    checkout (its copy of the tree is below it) or setuptools' scratch."""
    marks = [ROOT.encode(), b"/tmp/tmp."]
    with zipfile.ZipFile(wheel) as zf:
        return [n for n in zf.namelist() if any(mark in zf.read(n) for mark in marks)]


def test_policy_check_catches_a_newer_toolchain(tmp_path):
    """The hand-made audit can fail: a program built by this environment's
    compiler needs libstdc++ and, from glibc 2.38 on, the C23 strtol
    (__isoc23_strtol, GLIBC_2.38) that the newer headers redirect to; built
    with -g and not stripped, it carries debug information and symbols."""
    source = tmp_path / "probe.cpp"
    source.write_text("#include <cstdlib>\n#include <string>\n"
                      "int main(int argc, char **argv) {\n"
                      "  std::string s(argv[0]);\n"
                      "  return (int)std::strtol(s.c_str() + argc, nullptr, 0);\n}\n")
    program = tmp_path / "probe"
    proc = run(["g++", "-std=c++23", "-O1", "-g", str(source), "-o", str(program)])
    assert proc.returncode == 0, proc.stderr
    assert {".debug_info", ".symtab"} <= set(unstripped_sections(str(program)))
    arch = platform.machine()
    breaches = policy_breaches(str(program), arch, LIBC_FAMILY)
    assert "NEEDED libstdc++.so.6" in breaches
    glibc = tuple(int(n) for n in os.confstr("CS_GNU_LIBC_VERSION").split()[1].split("."))
    assert ("libc.so.6: GLIBC_2.38" in breaches) == (glibc >= (2, 38)), breaches
    assert policy_breaches(str(program), "aarch64" if arch == "x86_64" else "x86_64",
                           LIBC_FAMILY)[0].startswith("machine ")


@pytest.mark.parametrize("kind", ["dev", "compiled"])
def test_installed_portable_wheel_serves_and_feeds_git(portable_wheels, kind, tmp_path):
    """On this machine's architecture: x86-64 natively, aarch64 in the arm64
    root under qemu-user (tools/portable.sh check-aarch64)."""
    install_and_serve(portable_wheels[platform.machine(), kind], tmp_path)


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    """The source package of `make sdist`."""
    dist = tmp_path_factory.mktemp("sdist")
    proc = subprocess.run(["tools/sdist.sh"], cwd=ROOT, capture_output=True, text=True, timeout=600,
                          env=dict(os.environ, ZETADESK_DIST_DIR=str(dist)))
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    assert os.listdir(dist) == ["zetadesk-2.0.0.tar.gz"]
    return dist / "zetadesk-2.0.0.tar.gz"


def test_source_package_contents(sdist):
    """Everything the native core and the application are built from, and
    nothing built."""
    with tarfile.open(sdist) as tar:
        names = {n.removeprefix("zetadesk-2.0.0/") for n in tar.getnames() if not tar.getmember(n).isdir()}
        stamps = {(m.mtime, m.uid, m.gid, m.uname, m.gname) for m in tar.getmembers()}
    # The same bytes from every checkout of the commit: its time throughout,
    # no owner, and no time of packing in the gzip header.
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or subprocess.run(
        ["git", "-C", ROOT, "log", "-1", "--format=%ct"], capture_output=True, text=True).stdout.strip()
    if epoch:
        epoch = int(epoch)
        assert stamps == {(epoch, 0, 0, "", "")}
        assert sdist.read_bytes()[4:8] == epoch.to_bytes(4, "little")
    sources = {os.path.relpath(os.path.join(d, f), ROOT)
               for top in ("modframe", "routes", "scripts", "static", "utils", "zetadesk_setup")
               for d, _, files in os.walk(os.path.join(ROOT, top)) if "__pycache__" not in d
               for f in files if f.endswith((".cpp", ".h", ".py", ".html", ".css", ".js"))}
    assert sources >= {"routes/opsdeck/module.cpp", "scripts/git-credential-zetadesk/main.cpp",
                       "modframe/modframe.h", "zetadesk_setup/module.cpp", "static/ops.js"}
    egg_info = {f"zetadesk.egg-info/{n}" for n in ("PKG-INFO", "SOURCES.txt", "dependency_links.txt",
                                                   "entry_points.txt", "requires.txt", "top_level.txt")}
    top = {"CMakeLists.txt", "MANIFEST.in", "PKG-INFO", "README.md", "pyproject.toml", "setup.cfg", "setup.py",
           "run_server.py", "zetadesk_server.py", "tools/sdist.in"}
    assert names == sources | egg_info | top


@pytest.mark.parametrize("compiler,identified", [("g++", "GNU"), ("clang++", "Clang")])
def test_source_package_builds_and_serves(sdist, compiler, identified, tmp_path):
    """pip builds the native core from the source package with the compiler
    CXX names (Termux's is clang), and the installation works as a wheel's."""
    if shutil.which(compiler) is None:
        pytest.skip(f"no {compiler}")
    env = dict(os.environ, CXX=compiler)
    vpython, vbin, output = pip_install(tmp_path, "--no-build-isolation", "-v", str(sdist), env=env, timeout=900)
    assert f"The CXX compiler identification is {identified}" in output
    site = run([vpython, "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"]).stdout.strip()
    installed = {os.path.relpath(os.path.join(d, f), site) for d, _, files in os.walk(site) for f in files}
    assert {f"routes/opsdeck{SO}", f"scripts/git_credential_zetadesk{SO}", "static/ops.js"} <= installed
    assert not [f for f in installed if f.endswith((".cpp", ".h")) or f.startswith("zetadesk_setup")]
    serves_and_feeds_git(vpython, vbin, tmp_path)


@pytest.mark.parametrize("profile", [pytest.param("android", marks=ANDROID_ONLY)])
def test_source_package_under_the_android_profile(sdist, tmp_path, profile):
    """pip builds the source package with clang under Android's rules, CMake
    reporting "Android" as Termux's does; the installed server and helper
    program serve there, and its files export only their entry points."""
    data, home = tmp_path / "android", ANDROID_FILES + "/home"
    (data / "home" / ".zetadesk").mkdir(parents=True)
    (data / "home" / ".zetadesk" / "config.json").write_text(json.dumps({"github_token": TOKEN}))
    shutil.copy(sdist, data / "zetadesk.tar.gz")
    env = {k: v for k, v in os.environ.items() if not k.startswith("ZETADESK_")}
    argv, extra = in_profile("android", ["sh", "-c", (
        f"{PYTHON} -m venv --system-site-packages --without-pip {home}/venv && {home}/venv/bin/python -m pip "
        f"install --no-index --no-deps --no-compile --disable-pip-version-check --no-build-isolation -v "
        f"{ANDROID_FILES}/zetadesk.tar.gz")], data)
    build = run(argv, env=dict(env, CXX="clang++", CMAKE_TOOLCHAIN_FILE=os.path.join(ROOT, "tools", "android",
                                                                                   "termux.cmake"), **extra),
                timeout=900)
    assert build.returncode == 0, build.stdout[-5000:] + build.stderr[-5000:]
    assert "The CXX compiler identification is Clang" in build.stdout + build.stderr
    assert "CMake as Termux's: Android" in build.stdout + build.stderr
    (site,) = glob.glob(str(data / "home" / "venv" / "lib" / "python3.*" / "site-packages"))
    native = [os.path.join(site, "routes", f"opsdeck{SO}"), str(data / "home" / "venv" / "bin" / PROGRAM),
              os.path.join(site, "scripts", f"git_credential_zetadesk{SO}")]
    check = run([PYTHON, os.path.join(ROOT, "tests", "check_exports.py"), *native])
    assert check.returncode == 0, check.stdout + check.stderr

    port = free_port()
    url = f"http://127.0.0.1:{port}"
    argv, extra = in_profile("android", [f"{home}/venv/bin/zetadesk-server"], data)
    with open(tmp_path / "server.out", "wb") as out:
        server = subprocess.Popen(argv, env=dict(env, ZETADESK_PORT=str(port), PYTHONUNBUFFERED="1", **extra),
                                  stdout=out, stderr=subprocess.STDOUT)
    try:
        wait_healthy(server, url, timeout=120, step=0.1, output=tmp_path / "server.out")
        remember_token(url, data / "home" / ".zetadesk")
        status, info = http("GET", url + "/api/platform/info")
        assert status == 200 and (info["is_linux"], info["is_termux"]) == (True, True)
        status, info = http("GET", url + "/api/server/status")
        assert status == 200 and info["server_dir"] == site.replace(str(data), ANDROID_FILES)
        argv, extra = in_profile("android", ["git", "-c", "credential.helper=zetadesk", "credential", "fill"], data)
        fill = run(argv, env=dict(env, PATH=f"{home}/venv/bin:/usr/bin:/bin", GIT_TERMINAL_PROMPT="0", **extra),
                   input="protocol=https\nhost=github.com\n\n", timeout=30)
        assert fill.returncode == 0 and f"password={TOKEN}\n" in fill.stdout, fill.stderr
    finally:
        stop_proc(server, timeout=10)


def test_editable_install_of_a_fresh_clone(tmp_path):
    """`pip install -e .` on a clone with nothing built: setup.py builds the
    native core, and the server runs from the clone."""
    if not os.path.isdir(os.path.join(ROOT, ".git")):
        pytest.skip("not a git checkout")
    # The checkout's tracked files as they are now: a fresh clone of this tree.
    clone = tmp_path / "clone"
    tracked = subprocess.run(["git", "-C", ROOT, "ls-files", "-z"], capture_output=True, check=True).stdout
    for rel in tracked.decode().split("\0"):
        if rel and os.path.isfile(os.path.join(ROOT, rel)):
            (clone / rel).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(os.path.join(ROOT, rel), clone / rel)
    assert not glob.glob(str(clone / "**" / "*.so"), recursive=True)
    _, vbin, _ = pip_install(tmp_path, "--no-build-isolation", "-e", str(clone), timeout=900)
    for rel in (f"zetadesk_setup{SO}", f"routes/opsdeck{SO}", f"scripts/git_credential_zetadesk{SO}",
                f"bin/{PROGRAM}"):
        assert (clone / rel).exists(), rel

    home, elsewhere = tmp_path / "home", tmp_path / "elsewhere"
    (home / ".zetadesk").mkdir(parents=True)
    (home / ".zetadesk" / "config.json").write_text(json.dumps({"github_token": TOKEN}))
    elsewhere.mkdir()
    port = free_port()
    url = f"http://127.0.0.1:{port}"
    env = {"HOME": str(home), "PATH": "/usr/bin:/bin", "LANG": "C.UTF-8", "ZETADESK_HOST": "127.0.0.1",
           "ZETADESK_PORT": str(port), "ZETADESK_WORKSPACE": str(tmp_path / "workspace"), "PYTHONUNBUFFERED": "1"}
    with open(tmp_path / "server.out", "wb") as out:
        server = subprocess.Popen([os.path.join(vbin, "zetadesk-server")], cwd=elsewhere, env=env, stdout=out,
                                  stderr=subprocess.STDOUT)
    try:
        wait_healthy(server, url, timeout=30, step=0.1, output=tmp_path / "server.out")
        remember_token(url, home / ".zetadesk")
        status, info = http("GET", url + "/api/server/status")
        assert status == 200 and info["server_dir"] == str(clone)
    finally:
        stop_proc(server, timeout=10)
    # The program in the environment's bin/, found by name as a wheel's is:
    # the clone's own, handing a token that is not text over to the
    # interpreter the clone was built with.
    (home / ".zetadesk" / "config.json").write_text(json.dumps({"github_token": 4242}))
    fill = git("-c", "credential.helper=zetadesk", "credential", "fill", cwd=elsewhere,
               env=dict(env, PATH=f"{vbin}:/usr/bin:/bin", GIT_TERMINAL_PROMPT="0"),
               input="protocol=https\nhost=github.com\n\n")
    assert fill.returncode == 0 and "password=4242\n" in fill.stdout, fill.stderr
