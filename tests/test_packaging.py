"""The packaging module zetadesk_setup: setup() keywords, version and mode
selection, the compile predicates and walk, the custom build_py command, and
real wheel builds over sample application trees."""

import glob
import json
import os
import re
import shutil
import subprocess
import sys
import traceback
import zipfile

import pytest

from conftest import PYTHON, ROOT

SO = glob.glob(os.path.join(ROOT, "zetadesk_setup.cpython-314*.so"))[0]

# Runs in the sample tree: setup() is replaced before the module is imported,
# so its keywords can be inspected; `extra` may add to RESULT.
CAPTURE = """
import json, sys, setuptools
calls = []
setuptools.setup = lambda **kw: calls.append(kw)
import zetadesk_setup as z
RESULT = {"calls": len(calls)}
kw = calls[0]
RESULT["keywords"] = list(kw)
RESULT["values"] = {k: (v if isinstance(v, (str, list, dict)) and k not in ("ext_modules", "cmdclass")
                        else repr(v)) for k, v in kw.items()}
RESULT["ext_modules"] = [e.name for e in kw["ext_modules"]]
RESULT["cmdclass"] = {k: v.__qualname__ for k, v in kw["cmdclass"].items()}
RESULT["cython_imported"] = "Cython" in sys.modules
RESULT["names"] = [n for n in vars(z) if not n.startswith("__") or n == "__version__"]
RESULT["version"] = z.__version__
RESULT["doc"] = z.__doc__
RESULT["keep"] = sorted(z.KEEP_AS_PY)
RESULT["compiled"] = sorted(z._compiled_module_names)
{extra}
print("RESULT=" + json.dumps(RESULT))
"""


def make_tree(base, files):
    """An application tree with the packaging module and a setup.py shim."""
    for rel, content in {"setup.py": "import zetadesk_setup\n", **files}.items():
        (base / rel).parent.mkdir(parents=True, exist_ok=True)
        (base / rel).write_bytes(content if isinstance(content, bytes) else content.encode())
    shutil.copy(SO, base)
    return base


def run(tree, args, cython=None, env=None, timeout=240):
    full_env = {k: v for k, v in os.environ.items() if k != "ZETADESK_CYTHON_BUILD"}
    if cython is not None:
        full_env["ZETADESK_CYTHON_BUILD"] = cython
    full_env.update(env or {})
    return subprocess.run([PYTHON, *args], cwd=tree, env=full_env, capture_output=True,
                          text=True, timeout=timeout)


def capture(tree, cython=None, extra="", env=None):
    proc = run(tree, ["-c", CAPTURE.replace("{extra}", extra)], cython=cython, env=env)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    result = json.loads(lines[-1].removeprefix("RESULT="))
    return result, lines[:-1]


def build_wheel(tree, work, cython=None, env=None):
    """setup.py bdist_wheel with build trees outside the sample tree."""
    work.mkdir(parents=True, exist_ok=True)
    proc = run(tree, ["setup.py", "-q", "egg_info", "--egg-base", str(work), "build", "--build-base",
                      str(work), "bdist_wheel", "--dist-dir", str(work / "dist")], cython=cython, env=env)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    (wheel,) = glob.glob(str(work / "dist" / "*.whl"))
    with zipfile.ZipFile(wheel) as zf:
        names = sorted(n for n in zf.namelist() if ".dist-info/" not in n)
    return proc, os.path.basename(wheel), names


# ---- setup() keywords, module attributes, version and mode ------------------

INSTALL_REQUIRES = [
    "flask>=3.0.0", "flask-cors>=4.0.0", "tree-sitter>=0.24.0", "tree-sitter-python>=0.23.0",
    "tree-sitter-javascript>=0.23.0", "tree-sitter-typescript>=0.23.0", "tree-sitter-go>=0.23.0",
    "tree-sitter-rust>=0.23.0", "tree-sitter-c>=0.23.0", "python-docx>=1.0.0", "python-pptx>=1.0.0",
    "openpyxl>=3.1.0", "PyPDF2>=3.0.0", "reportlab>=4.0.0", "edge-tts>=6.1.0", "curl_cffi>=0.15.0",
]
CLASSIFIERS = [
    "Development Status :: 4 - Beta", "Environment :: Web Environment", "Framework :: Flask",
    "Intended Audience :: Developers", "License :: OSI Approved :: Apache Software License",
    "Operating System :: OS Independent", "Programming Language :: Python :: 3",
    "Programming Language :: Python :: 3.8", "Programming Language :: Python :: 3.9",
    "Programming Language :: Python :: 3.10", "Programming Language :: Python :: 3.11",
    "Programming Language :: Python :: 3.12",
    "Topic :: Text Editors :: Integrated Development Environments (IDE)",
]


def test_development_mode_setup_call_and_module_attributes(tmp_path):
    tree = make_tree(tmp_path / "app", {
        "pyproject.toml": '[project]\nname = "x"\nversion = "3.4.5"\n',
        "README.md": "# ZetaDesk\n\nMobile IDE — 轻量级\n",
        "routes/__init__.py": "", "routes/a.py": "",
        "routes/sub/__init__.py": "",
        "scripts/__init__.py": "",
        "tests/__init__.py": "", "docs/__init__.py": "", "install/__init__.py": "",
        "build_compiled/__init__.py": "",
    })
    # A second import in the same process must not run setup() again.
    extra = ("del sys.modules['zetadesk_setup']\nimport zetadesk_setup as z2\n"
             "RESULT['same'] = z2 is z\nRESULT['calls_after'] = len(calls)")
    result, printed = capture(tree, extra=extra)
    assert printed == []
    assert result["calls"] == 1 and result["calls_after"] == 1 and result["same"]
    assert result["keywords"] == [
        "name", "version", "description", "long_description", "long_description_content_type",
        "author", "python_requires", "packages", "py_modules", "ext_modules", "cmdclass",
        "install_requires", "entry_points", "package_data", "exclude_package_data", "classifiers"]
    values = result["values"]
    assert values["name"] == "zetadesk" and values["version"] == "3.4.5"
    assert values["description"] == "Lightweight Mobile Web IDE for Termux/Ubuntu - 轻量级移动端 Web IDE"
    assert values["long_description"] == "# ZetaDesk\n\nMobile IDE — 轻量级\n"
    assert values["long_description_content_type"] == "text/markdown"
    assert values["author"] == "ZetaDesk Team" and values["python_requires"] == ">=3.8"
    assert sorted(values["packages"]) == ["routes", "routes.sub", "scripts"]
    assert values["py_modules"] == ["zetadesk_server", "run_server", "tray_manager"]
    assert result["ext_modules"] == [] and result["cmdclass"] == {}
    assert values["install_requires"] == INSTALL_REQUIRES
    assert values["entry_points"] == {
        "console_scripts": ["zetadesk=zetadesk_server:main", "zetadesk-server=run_server:main"]}
    assert values["package_data"] == {"routes": ["*.txt"], "scripts": ["*.py"]}
    assert list(values["package_data"]) == ["routes", "scripts"]
    assert values["exclude_package_data"] == {}
    assert values["classifiers"] == CLASSIFIERS
    assert not result["cython_imported"]

    assert result["names"] == [
        "fnmatch", "os", "re", "shutil", "sys", "Path", "Extension", "find_packages", "setup",
        "_build_py", "_toml_path", "_toml_text", "_m", "__version__", "COMPILE_WITH_CYTHON",
        "KEEP_AS_PY", "EXCLUDE_DIRS", "EXCLUDE_FILES", "KEEP_AS_PY_PATTERNS",
        "_compiled_module_names", "_should_exclude_dir", "_should_exclude_file",
        "_should_keep_as_py", "_get_cython_extensions", "_zetadesk_build_py", "ext_modules",
        "cmdclass", "packages", "_package_data", "_exclude_pkg_data"]
    doc = result["doc"].split("\n")
    assert len(doc) == 16 and doc[0] == doc[4] == doc[8] == doc[13] == doc[15] == ""
    assert doc[1] == "setup.py - ZetaDesk package configuration" and doc[2] == "=" * 42
    assert doc[10] == "       ZETADESK_CYTHON_BUILD=1 python setup.py bdist_wheel"
    assert doc[14] == "Cross-platform builds require cibuildwheel or per-platform build servers."


@pytest.mark.parametrize("toml,version", [
    ('[project]\nversion = "1.2.3"\n', "1.2.3"),
    ("[project]\nversion='1.2.3'\n", "1.2.3"),
    ('[project]\n  version = "1.2.3"\n', "0.0.0"),                  # indented: no match
    ('[tool.x]\nversion = "9.9"\n[project]\nversion = "1.0"\n', "9.9"),  # first line wins
    ('[project]\nversion = ""\nversion = "2.0"\n', "2.0"),           # empty value skipped
    ('[project]\nname = "x"\n', "0.0.0"),
    (b'version = "1.0"\n\xff\xfe\n', "0.0.0"),                       # not UTF-8
    (None, "0.0.0"),                                                 # no file
])
def test_version_from_pyproject(tmp_path, toml, version):
    files = {} if toml is None else {"pyproject.toml": toml}
    result, _ = capture(make_tree(tmp_path / "app", files))
    assert result["version"] == version and result["values"]["version"] == version
    bound = [n for n in ("_toml_text", "_m") if n in result["names"]]
    assert bound == ([] if toml is None or isinstance(toml, bytes) else ["_toml_text", "_m"])


def test_mode_selection_and_empty_compiled_tree(tmp_path):
    # Only exactly "1" selects the compiled mode.
    tree = make_tree(tmp_path / "app", {"zetadesk_server.py": "", "pkg/__init__.py": ""})
    for value in (" 1", "true", "11"):
        result, _ = capture(tree, cython=value)
        assert result["cmdclass"] == {} and not result["cython_imported"], value
    # Nothing to compile: empty list, nothing printed, build_py still replaced.
    result, printed = capture(tree, cython="1")
    assert printed == [] and result["ext_modules"] == [] and result["compiled"] == []
    assert result["cmdclass"] == {"build_py": "_zetadesk_build_py"}
    assert result["values"]["exclude_package_data"] == {}
    assert result["values"]["long_description"] == ""


def test_compiled_mode_without_cython_fails_before_setup(tmp_path):
    fake = tmp_path / "fake"
    (fake / "Cython").mkdir(parents=True)
    (fake / "Cython" / "__init__.py").write_text("")
    (fake / "Cython" / "Build.py").write_text("")  # no cythonize
    tree = make_tree(tmp_path / "app", {"mod.py": ""})
    code = "import setuptools\nsetuptools.setup = lambda **kw: print('SETUP CALLED')\nimport zetadesk_setup\n"
    proc = run(tree, ["-c", code], cython="1", env={"PYTHONPATH": str(fake)})
    assert proc.returncode != 0 and "SETUP CALLED" not in proc.stdout
    assert "ImportError: cannot import name cythonize\n" in proc.stderr
    assert 'File "zetadesk_setup", line' in proc.stderr
    assert "in zetadesk_setup._get_cython_extensions" in proc.stderr
    assert "in init zetadesk_setup" in proc.stderr


# ---- the walk and per-module compilation, with a recording cythonize -------

FAKE_BUILD = """
import json, os
def cythonize(module_list, *args, **kw):
    (ext,) = module_list
    with open(os.environ["FAKE_CYTHON_LOG"], "a") as f:
        f.write(json.dumps({"n": len(module_list), "args": len(args), "name": ext.name,
                            "sources": ext.sources, "flags": ext.extra_compile_args,
                            "kw": list(kw.items())}) + "\\n")
    how = os.environ.get("FAKE_" + ext.name.replace(".", "_"))
    if how == "raise":
        raise RuntimeError("x" * 200 + "y" * 300)
    if how == "empty":
        return []
    return [ext]
"""


def test_walk_candidates_outcomes_and_exclusions(tmp_path):
    fake = tmp_path / "fake"
    (fake / "Cython").mkdir(parents=True)
    (fake / "Cython" / "__init__.py").write_text("")
    (fake / "Cython" / "Build.py").write_text(FAKE_BUILD)
    log = tmp_path / "cythonize.log"
    tree = make_tree(tmp_path / "app", {
        "zmain.py": "", "alpha.py": "", "UPPER.PY": "", "Setup.py": "", "notes.txt": "",
        "zetadesk_server.py": "", "run_server.py": "", "cython_build_wrapper.py": "",
        "routes/__init__.py": "", "routes/b.py": "", "routes/a.py": "", "routes/c.py": "",
        "routes/v.2.py": "", "routes/setup.py": "", "routes/tray_manager.py": "",
        "routes/deep/__init__.py": "", "routes/deep/leaf.py": "",
        "routes/scripts/__init__.py": "", "routes/scripts/helper.py": "",
        "routes/node_modules/x.py": "", "routes/.cache/y.py": "", "routes/tests/t.py": "",
        "scripts/__init__.py": "", "scripts/tool.py": "",
        "pkg.egg-info/e.py": "", ".hidden/h.py": "", "docs/d.py": "", "Docs/kept.py": "",
        "build/b.py": "", "dist/d.py": "", "venv/v.py": "",
    })
    env = {"PYTHONPATH": str(fake), "FAKE_CYTHON_LOG": str(log),
           "FAKE_routes_b": "raise", "FAKE_routes_c": "empty"}
    # A second call in the same process: the failed module is now kept as source.
    extra = ("RESULT['exclude'] = kw['exclude_package_data']\n"
             "before = z._compiled_module_names\n"
             "import os; RESULT['first'] = len(open(os.environ['FAKE_CYTHON_LOG']).readlines())\n"
             "import sys; sys.platform = 'android'  # Python 3.13+ on Android: -O2 as on Linux\n"
             "RESULT['second'] = [e.name for e in z._get_cython_extensions()]\n"
             "RESULT['rebound'] = z._compiled_module_names is not before")
    result, printed = capture(tree, cython="1", extra=extra, env=env)
    calls = [json.loads(line) for line in log.read_text().splitlines()]
    first, second = calls[:result["first"]], calls[result["first"]:]

    names = [c["name"] for c in first]
    # The root's files first (sorted), then each directory before its children.
    assert names[:3] == ["Setup", "alpha", "zmain"]
    assert sorted(names) == sorted([
        "Setup", "alpha", "zmain", "routes.a", "routes.b", "routes.c", "routes.v.2",
        "routes.deep.leaf", "scripts.tool", "Docs.kept"])
    routes = [n for n in names if n.startswith("routes.") and not n.startswith("routes.deep")]
    assert routes == ["routes.a", "routes.b", "routes.c", "routes.v.2"]
    assert names.index("routes.a") < names.index("routes.deep.leaf")
    sources = {"Setup": "Setup.py", "alpha": "alpha.py", "zmain": "zmain.py",
               "routes.a": "routes/a.py", "routes.b": "routes/b.py", "routes.c": "routes/c.py",
               "routes.v.2": "routes/v.2.py", "routes.deep.leaf": "routes/deep/leaf.py",
               "scripts.tool": "scripts/tool.py", "Docs.kept": "Docs/kept.py"}
    for c in first:
        assert c["n"] == 1 and c["args"] == 0
        assert c["sources"] == [sources[c["name"]]]
        assert c["flags"] == ["-O2"]
        assert c["kw"] == [["compiler_directives", {"language_level": "3", "embedsignature": True,
                                                    "binding": True, "always_allow_keywords": True}],
                           ["force", True], ["quiet", True]]

    n = len(first)
    progress = printed[:n]
    for k, (line, name) in enumerate(zip(progress, names), 1):
        outcome = {"routes.b": "FAILED (" + "x" * 200 + ")", "routes.c": "SKIPPED (no output)"}.get(name, "OK")
        assert line == f"  [Cython] {k}/{n} Compiling {name} ... {outcome}"
    failed = [m for m in names if m in ("routes.b", "routes.c")]
    assert printed[n:n + 3] == ["", f"  [Cython] Summary: {n - 2} compiled, 2 skipped",
                                "  [Cython] Skipped modules (kept as .py): " + ", ".join(failed)]

    assert result["ext_modules"] == [m for m in names if m not in ("routes.b", "routes.c")]
    assert "routes/b.py" in result["keep"] and "routes/c.py" not in result["keep"]
    exclude = result["exclude"]
    assert sorted(exclude) == ["Docs", "routes", "scripts"] and exclude["Docs"] == ["kept.py"]
    # Only the first and last name parts count: "routes.v.2" excludes "2.py".
    assert sorted(exclude["routes"]) == ["2.py", "a.py", "leaf.py"] and exclude["scripts"] == ["tool.py"]
    # Second walk: routes.b is kept now, and the set was rebound afresh.
    assert [c["name"] for c in second] == [m for m in names if m != "routes.b"]
    assert {tuple(c["flags"]) for c in second} == {("-O2",)}
    assert "routes.c" not in result["second"] and "routes.a" in result["second"]
    assert result["rebound"] and result["compiled"] == sorted(result["second"])


# ---- predicates and the build_py class, called directly --------------------

@pytest.fixture(scope="module")
def zs():
    """The packaging module imported here once, with setup() replaced."""
    import setuptools
    if "zetadesk_setup" not in sys.modules:
        saved_setup, saved_mode = setuptools.setup, os.environ.pop("ZETADESK_CYTHON_BUILD", None)
        setuptools.setup = lambda **kw: None
        try:
            import zetadesk_setup  # noqa: F401
        finally:
            setuptools.setup = saved_setup
            if saved_mode is not None:
                os.environ["ZETADESK_CYTHON_BUILD"] = saved_mode
    return sys.modules["zetadesk_setup"]


def test_repository_version_line_is_found(zs):
    import tomllib
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        version = tomllib.load(f)["tool"]["zetadesk"]["version"]
    assert zs.__version__ == version != "0.0.0"


def test_predicates(zs):
    assert zs.EXCLUDE_DIRS == {
        ".git", "__pycache__", "build", "dist", "node_modules", ".venv", "venv", "build_compiled",
        "logs", "data", "tests", "docs", "download", ".zetadesk", "build_pyinstaller", "install"}
    assert zs.KEEP_AS_PY >= {"zetadesk_server.py", "run_server.py", "tray_manager.py"}
    assert zs.KEEP_AS_PY_PATTERNS == ["*/scripts/*.py"]
    d, f, k = zs._should_exclude_dir, zs._should_exclude_file, zs._should_keep_as_py
    for name, want in [("node_modules", True), (".anything", True), ("x.egg-info", True),
                       ("routes", False), ("Tests", False), ("egg-info.x", False), ("", False)]:
        assert d(name) is want, name
    for name, want in [("setup.py", True), ("zetadesk_setup.py", True), ("setup.py.bak", False),
                       ("my_setup.py", False), ("Setup.py", sys.platform == "win32")]:
        assert f(name) is want, name
    for path, want in [("__init__.py", True), ("routes/deep/__init__.py", True),
                       ("zetadesk_server.py", True), ("a/b/zetadesk_server.py", True),
                       ("x/tray_manager.py", True), ("routes/scripts/h.py", True),
                       ("scripts/tool.py", False), ("routes/opsdeck.py", False),
                       ("my_run_server.py", False)]:
        assert k(path) is want, path
    assert d(name=".git") is True and k(rel_path="scripts/x.py") is False

    class S(str):
        pass

    for func, param in [(d, "name"), (f, "name"), (k, "rel_path")]:
        fname = func.__name__
        for bad, tname in [(1, "int"), (None, "NoneType"), (b"x", "bytes"), (S("x"), "S")]:
            with pytest.raises(TypeError) as e:
                func(bad)
            assert str(e.value) == f"Argument '{param}' has incorrect type (expected str, got {tname})"
        for args in [(), ("a", "b")]:
            with pytest.raises(TypeError) as e:
                func(*args)
            assert str(e.value) == f"{fname}() takes exactly 1 positional argument ({len(args)} given)"
        with pytest.raises(TypeError, match="unexpected keyword argument 'other'"):
            func(**{param: "a", "other": 1})
        with pytest.raises(TypeError, match=f"multiple values for keyword argument '{param}'") as e:
            func("a", **{param: "a"})
        assert traceback.extract_tb(e.tb)[-1].name == "zetadesk_setup." + fname
        assert traceback.extract_tb(e.tb)[-1].filename == "zetadesk_setup"
    assert d.__doc__ == "_should_exclude_dir(str name: str) -> bool"
    assert k.__doc__ == "_should_keep_as_py(str rel_path: str) -> bool"
    assert zs._get_cython_extensions.__doc__.split("\n")[:3] == [
        "_get_cython_extensions()", "",
        "Walk the source tree and create Cython extensions for all compilable .py files."]


def test_build_py_class_attributes(zs):
    from setuptools.command.build_py import build_py
    cls = zs._zetadesk_build_py
    assert cls.__bases__ == (build_py,) and zs._build_py is build_py
    assert cls.__module__ == "zetadesk_setup" and cls.__qualname__ == cls.__name__ == "_zetadesk_build_py"
    assert cls.__doc__ == (
        "Custom build_py that:\n"
        "    1. Copies the static/ directory into the build lib (so it ships in the wheel)\n"
        "    2. Removes compiled .py files from the wheel (only .so/.pyd binaries ship)\n    ")
    assert [n for n in vars(cls) if not n.startswith("__")] == ["run", "find_package_modules"]
    assert cls.run.__qualname__ == "_zetadesk_build_py.run"
    assert cls.run.__doc__ == "_zetadesk_build_py.run(self)"
    assert cls.find_package_modules.__qualname__ == "_zetadesk_build_py.find_package_modules"
    assert cls.find_package_modules.__doc__ == (
        "_zetadesk_build_py.find_package_modules(self, package, package_dir)")


@pytest.fixture
def command(zs, tmp_path, monkeypatch):
    """A _zetadesk_build_py command over a scratch project and build directory;
    `calls` records what reached the base class."""
    from setuptools.command.build_py import build_py
    from setuptools.dist import Distribution
    calls = []

    def base_find(self, *args, **kwargs):
        calls.append(("find", args, kwargs))
        return command.base_result
    monkeypatch.setattr(build_py, "run", lambda self, *a, **k: calls.append(("run", a, k)))
    monkeypatch.setattr(build_py, "find_package_modules", base_find)
    monkeypatch.setattr(zs, "_compiled_module_names", set())
    project = tmp_path / "project"
    project.mkdir()
    monkeypatch.setattr(zs, "__file__", str(project / os.path.basename(SO)))
    command = zs._zetadesk_build_py(Distribution({"packages": [], "py_modules": []}))
    command.build_lib = str(tmp_path / "lib")
    os.mkdir(command.build_lib)
    command.calls, command.project = calls, project
    return command


def test_find_package_modules_filters_compiled(zs, command):
    base = [("routes", "opsdeck", "routes/opsdeck.py"), ("routes", "git", "routes/git.py"),
            ("", "utils", "utils.py"), ("routes.sub", "opsdeck", "routes/sub/opsdeck.py")]
    command.base_result = base
    # Nothing compiled: the base's own list object comes back.
    assert command.find_package_modules("routes", "routes") is base
    zs._compiled_module_names = {"routes.opsdeck", "utils"}
    got = command.find_package_modules(package="routes", package_dir="src/routes")
    assert got == [("routes", "git", "routes/git.py"), ("routes.sub", "opsdeck", "routes/sub/opsdeck.py")]
    assert command.calls == [("find", ("routes", "routes"), {}), ("find", ("routes", "src/routes"), {})]
    command.base_result = [("routes", "x")]
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 3, got 2\)") as e:
        command.find_package_modules("routes", "routes")
    assert traceback.extract_tb(e.tb)[-1].name == "zetadesk_setup._zetadesk_build_py.find_package_modules"
    with pytest.raises(TypeError, match=r"takes exactly 3 positional arguments \(2 given\)"):
        command.find_package_modules("routes")


def test_run_copies_static_and_removes_compiled_sources(zs, command, capsys):
    lib = command.build_lib
    # No static directory: base run only, nothing printed, nothing removed.
    open(os.path.join(lib, "utils.py"), "w").close()
    command.run()
    assert command.calls == [("run", (), {})] and capsys.readouterr().out == ""

    (command.project / "static" / "css").mkdir(parents=True)
    (command.project / "static" / "index.html").write_text("<p>new</p>")
    (command.project / "static" / "css" / "a.css").write_text("p{}")
    os.makedirs(os.path.join(lib, "static"))
    open(os.path.join(lib, "static", "stale.html"), "w").close()
    zs._compiled_module_names = {"utils", "gone", "routes.utils"}
    command.run()
    dst = os.path.join(lib, "static")
    assert sorted(os.listdir(dst)) == ["css", "index.html"]
    assert not os.path.exists(os.path.join(lib, "utils.py"))
    assert capsys.readouterr().out.splitlines() == [
        f"  [build_py] Copied static/ -> {dst}", "  [build_py] Removed compiled source: utils.py"]

    # A second run replaces the copy again instead of failing.
    command.run()
    assert capsys.readouterr().out.splitlines() == [f"  [build_py] Copied static/ -> {dst}"]
    shutil.rmtree(dst)
    open(dst, "w").close()  # not a directory: rmtree fails, the command fails
    with pytest.raises(NotADirectoryError) as e:
        command.run()
    assert traceback.extract_tb(e.tb)[1].name == "zetadesk_setup._zetadesk_build_py.run"


# ---- real wheels -------------------------------------------------------------

SAMPLE = {
    "pyproject.toml": "[tool.sample]\nversion = '0.3.1'\n",
    "zetadesk_server.py": "def main():\n    pass\n",
    "run_server.py": "def main():\n    pass\n",
    "fast.py": "def double(x):\n    return 2 * x\n",
    "routes/__init__.py": "",
    "routes/alpha.py": "def answer():\n    return 42\n",
    "routes/broken.py": "def f(:\n    pass\n",
    "routes/notes.txt": "notes\n",
    "routes/scripts/__init__.py": "",
    "routes/scripts/helper.py": "HELPER = 1\n",
    "scripts/__init__.py": "",
    "scripts/tool.py": "def run():\n    return 'tool'\n",
    "tests/__init__.py": "", "tests/test_x.py": "def test(:\n",
    ".venv/lib.py": "def f(:\n", "docs/conf.py": "def f(:\n",
    "static/index.html": "<p>hi</p>\n",
    "static/css/site.css": "p{}\n",
}


def test_development_wheel_ships_sources_only(tmp_path):
    tree = make_tree(tmp_path / "app", SAMPLE)
    proc, wheel, names = build_wheel(tree, tmp_path / "work")
    assert wheel == "zetadesk-0.3.1-py3-none-any.whl"
    assert "[Cython]" not in proc.stdout and "[build_py]" not in proc.stdout
    assert names == sorted([
        "zetadesk_server.py", "run_server.py", "routes/__init__.py", "routes/alpha.py",
        "routes/broken.py", "routes/notes.txt", "routes/scripts/__init__.py",
        "routes/scripts/helper.py", "scripts/__init__.py", "scripts/tool.py"])


def test_compiled_wheel_with_real_cython(tmp_path):
    tree = make_tree(tmp_path / "app", SAMPLE)
    proc, wheel, names = build_wheel(tree, tmp_path / "work", cython="1")
    assert re.fullmatch(r"zetadesk-0\.3\.1-cp314-cp314-.*\.whl", wheel)
    lines = [l for l in proc.stdout.splitlines() if "[Cython]" in l or "[build_py]" in l]
    progress = [re.fullmatch(r"  \[Cython\] (\d)/4 Compiling (\S+) \.\.\. (.*)", l).groups()
                for l in lines[:4]]
    assert [k for k, _, _ in progress] == ["1", "2", "3", "4"]
    assert progress[0][1:] == ("fast", "OK")
    # Sibling directories come in listing order; within one, names are sorted.
    assert sorted(p[1:] for p in progress[1:]) == [
        ("routes.alpha", "OK"), ("routes.broken", "FAILED (routes/broken.py)"), ("scripts.tool", "OK")]
    order = [name for _, name, _ in progress]
    assert order.index("routes.alpha") < order.index("routes.broken")
    assert lines[4:6] == ["  [Cython] Summary: 3 compiled, 1 skipped",
                          "  [Cython] Skipped modules (kept as .py): routes.broken"]
    assert re.fullmatch(r"  \[build_py\] Copied static/ -> .*/lib\.[^/]*/static", lines[6])

    so = sorted(n for n in names if n.endswith(".so"))
    assert [re.sub(r"\.cpython-314.*\.so$", ".so", n) for n in so] == [
        "fast.so", "routes/alpha.so", "scripts/tool.so"]
    assert sorted(n for n in names if not n.endswith(".so")) == sorted([
        "zetadesk_server.py", "run_server.py", "routes/__init__.py", "routes/broken.py",
        "routes/notes.txt", "routes/scripts/__init__.py", "routes/scripts/helper.py",
        "scripts/__init__.py", "static/index.html", "static/css/site.css"])

    # The compiled modules are real extension modules.
    unpacked = tmp_path / "unpacked"
    with zipfile.ZipFile(glob.glob(str(tmp_path / "work" / "dist" / "*.whl"))[0]) as zf:
        zf.extractall(unpacked)
    check = run(unpacked, ["-c", "import fast, routes.alpha, scripts.tool\n"
                                 "print(fast.double(21), routes.alpha.answer(), scripts.tool.run(),"
                                 " routes.alpha.__file__.endswith('.so'))"])
    assert check.stdout.split() == ["42", "42", "tool", "True"], check.stderr
