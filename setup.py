"""Packaging entry point: importing the native zetadesk_setup module runs setup().

    python3.14 setup.py bdist_wheel                          # development wheel
    ZETADESK_CYTHON_BUILD=1 python3.14 setup.py bdist_wheel  # compiled wheel
    python3.14 setup.py sdist                                # source package
    pip install -e .                                         # development install

What the native core lacks (the three modules and the helper program) is
built first with CMake, so that a fresh clone or an unpacked source package
installs like a built tree.  What is there already is used as it is: a tree
is rebuilt with `make build`.
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
NATIVE = [f"zetadesk_setup{SUFFIX}", f"routes/opsdeck{SUFFIX}", f"scripts/git_credential_zetadesk{SUFFIX}",
          f"bin/{PROGRAM}"]


def build_native_core():
    missing = [rel for rel in NATIVE if not os.path.exists(os.path.join(ROOT, rel))]
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
                     "-DCMAKE_BUILD_TYPE=Release"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
    subprocess.run([cmake, "--build", build, "--config", "Release", "--parallel", str(os.cpu_count() or 1)],
                   check=True)


def use_source_manifest():
    """An sdist carries the C++ sources, which MANIFEST.in (the wheels'
    package data) leaves out: its file list comes from tools/sdist.in."""
    from setuptools.command.egg_info import manifest_maker
    manifest_maker.template = os.path.join("tools", "sdist.in")


build_native_core()
if "sdist" in sys.argv[1:]:
    use_source_manifest()

# Without its shared object, the folder zetadesk_setup/ would import as an
# empty namespace package and setup() would silently never run.  (A cross
# build runs the build machine's own zetadesk_setup, whose suffix is not
# the target's.)
spec = importlib.util.find_spec("zetadesk_setup")
if spec is None or spec.origin is None or spec.submodule_search_locations is not None:
    sys.exit(f"zetadesk: zetadesk_setup{SUFFIX} was not built")

import zetadesk_setup  # noqa: E402,F401
