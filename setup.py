"""Packaging entry point: importing the native zetadesk_setup module runs setup().

    python3.14 setup.py bdist_wheel                          # development wheel
    ZETADESK_CYTHON_BUILD=1 python3.14 setup.py bdist_wheel  # compiled wheel
    python3.14 setup.py sdist                                # source package
    pip install -e .                                         # development install

What the native core lacks (the three modules and the helper program) is
built first with CMake, so that a fresh clone or an unpacked source package
installs like a built tree (for `sdist`, the packaging module alone).  What
is there already is used as it is: a tree is rebuilt with `make build`.
"""

import importlib.util
import os
import shutil
import subprocess
import sys
import sysconfig

# Build front ends run this file from elsewhere; the module lives beside it.
ROOT = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, ROOT)

SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
PROGRAM = "git-credential-zetadesk" + (".exe" if os.name == "nt" else "")
SDIST = "sdist" in sys.argv[1:]
NATIVE = [f"zetadesk_setup{SUFFIX}", f"routes/opsdeck{SUFFIX}", f"scripts/git_credential_zetadesk{SUFFIX}",
          f"bin/{PROGRAM}"]


def build_native_core():
    # A source package ships none of the native core: it needs only the
    # packaging module that runs setup().
    needed = NATIVE[:1] if SDIST else NATIVE
    missing = [rel for rel in needed if not os.path.exists(os.path.join(ROOT, rel))]
    if not missing:
        return
    cmake = shutil.which("cmake")
    if cmake is None or not os.path.exists(os.path.join(ROOT, "CMakeLists.txt")):
        sys.exit("zetadesk: the native core is not built (" + ", ".join(missing) + ") and cannot be: "
                 "building it needs CMake, a C++20 compiler and Python's headers")
    print("zetadesk: building the native core with CMake (missing: " + ", ".join(missing) + ")",
          file=sys.stderr, flush=True)
    build = os.path.join(ROOT, os.environ.get("ZETADESK_BUILD_DIR", "build"))
    if not os.path.exists(os.path.join(build, "CMakeCache.txt")):
        configure = [cmake, "-S", ROOT, "-B", build, f"-DPython_EXECUTABLE={sys.executable}",
                     "-DCMAKE_BUILD_TYPE=Release", "-DZETADESK_STRIP=ON"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
    subprocess.run([cmake, "--build", build, "--config", "Release", "--parallel", str(os.cpu_count() or 1),
                    *(["--target", "zetadesk_setup"] if SDIST else [])], check=True)


def use_source_manifest():
    """An sdist carries the C++ sources, which MANIFEST.in (the wheels'
    package data) leaves out: its file list comes from tools/sdist.in."""
    from setuptools.command.egg_info import manifest_maker
    manifest_maker.template = os.path.join("tools", "sdist.in")


def install_program_when_editable():
    """An editable install gets the helper program in the environment's bin/
    too, as a launcher of the tree's own program.

    setuptools' editable build installs data files only when the
    distribution answers has_data(), which it does not have (its method is
    has_data_files()), so bin/ would lack the program.  And a copy of the
    program would look for its module in the environment's site-packages,
    which an editable install leaves empty: the launcher runs the tree's
    program, which finds the tree's module and interpreter from its own
    location.  POSIX only: the launcher is a shell script."""
    from setuptools.dist import Distribution

    if os.name == "nt":
        return
    program = os.path.join(ROOT, "bin", PROGRAM)
    launcher = os.path.join(ROOT, os.environ.get("ZETADESK_BUILD_DIR", "build"), "editable", PROGRAM)
    os.makedirs(os.path.dirname(launcher), exist_ok=True)
    with open(launcher, "w", encoding="utf-8") as f:
        quoted = "'" + program.replace("'", "'\\''") + "'"
        f.write(f'#!/bin/sh\nexec {quoted} "$@"\n')
    os.chmod(launcher, 0o755)

    has_data_files = Distribution.has_data_files

    def with_launcher(dist):
        dist.data_files = [(where, [launcher if os.path.abspath(f) == program else f for f in files])
                           if isinstance(files, list) else (where, files)
                           for where, files in (dist.data_files or [])]
        return has_data_files(dist)

    Distribution.has_data = Distribution.has_data_files = with_launcher


build_native_core()
if SDIST:
    use_source_manifest()
if "editable_wheel" in sys.argv[1:]:
    install_program_when_editable()

# Without its shared object, the folder zetadesk_setup/ would import as an
# empty namespace package and setup() would silently never run.  (A cross
# build runs the build machine's own zetadesk_setup, whose suffix is not
# the target's.)
spec = importlib.util.find_spec("zetadesk_setup")
if spec is None or spec.origin is None or spec.submodule_search_locations is not None:
    sys.exit(f"zetadesk: zetadesk_setup{SUFFIX} was not built")

import zetadesk_setup  # noqa: E402,F401
