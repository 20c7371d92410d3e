"""Import behaviour shared by the native modules: each scenario runs in a
fresh interpreter, since a module is made once per process."""

import json
import os
import shutil
import subprocess
import sysconfig
import textwrap
import zipfile

import pytest

from conftest import PYTHON, ROOT, run_python

MODULES = ["routes.opsdeck", "scripts.git_credential_zetadesk", "zetadesk_setup"]


# Importing the packaging module runs a packaging run: keep setuptools out of it.
QUIET_SETUP = "import setuptools; setuptools.setup = lambda **kw: None\n"


def run(code, **kw):
    result = run_python(QUIET_SETUP + textwrap.dedent(code), **kw)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("name", MODULES)
def test_reimport_returns_the_same_module(name):
    out = run(f"""
        import importlib, json, sys
        first = importlib.import_module({name!r})
        made = [type(first.__builtins__).__name__, first.__builtins__ is __import__('builtins'),
                first.__spec__.name, first.__file__ == first.__spec__.origin,
                first.__loader__ is first.__spec__.loader, first.__package__,
                hasattr(first, '__path__')]
        state = dict(vars(first))
        del sys.modules[{name!r}]
        second = importlib.import_module({name!r})
        state['__spec__'] = second.__spec__  # the importer sets the new spec
        print(json.dumps([first is second, sys.modules[{name!r}] is first,
                          dict(vars(second)) == state, *made]))
    """)
    package = name.rpartition(".")[0]
    assert out == [True, True, True, "module", True, name, True, True, package, False]


def test_reimport_keeps_start_time_and_registers_routes_once():
    out = run("""
        import importlib, json, sys
        m = importlib.import_module('routes.opsdeck')
        t, n = m.SERVER_START_TIME, len(m.bp.deferred_functions)
        del sys.modules['routes.opsdeck']
        m2 = importlib.import_module('routes.opsdeck')
        print(json.dumps([m2.SERVER_START_TIME == t, len(m2.bp.deferred_functions), n]))
    """)
    assert out == [True, 9, 9]


@pytest.mark.parametrize("name,short", [
    ("routes.opsdeck", "opsdeck"),
    ("scripts.git_credential_zetadesk", "git_credential_zetadesk"),
    ("zetadesk_setup", "zetadesk_setup"),
])
def test_exec_on_another_module_object_is_refused(name, short):
    # Two create steps before any exec give two distinct objects; only the
    # first exec may adopt one.
    out = run(f"""
        import _imp, importlib.util, json, sys
        spec = importlib.util.find_spec({name!r})
        a = _imp.create_dynamic(spec)
        b = _imp.create_dynamic(spec)
        _imp.exec_dynamic(a)
        again = _imp.exec_dynamic(a)
        try:
            _imp.exec_dynamic(b)
            err = None
        except RuntimeError as e:
            err = str(e)
        print(json.dumps([a is not b, sys.modules[{name!r}] is a, err,
                          _imp.create_dynamic(spec) is a]))
    """)
    assert out == [True, True,
                   f"Module '{short}' has already been imported. Re-initialisation is not supported.",
                   True]


@pytest.mark.parametrize("name", MODULES)
def test_second_interpreter_is_refused(name):
    # A legacy (shared-GIL) interpreter reaches the module's own create step;
    # an isolated one is refused by CPython before that, also with ImportError.
    out = run(f"""
        import json, _interpreters
        from concurrent import interpreters
        import {name}
        legacy = _interpreters.create('legacy')
        try:
            exc = _interpreters.exec(legacy, 'import {name}')
        finally:
            _interpreters.destroy(legacy)
        isolated = interpreters.create()
        try:
            isolated.exec('import {name}')
            failed = None
        except interpreters.ExecutionFailed as e:
            failed = e.excinfo.type.__name__
        finally:
            isolated.close()
        print(json.dumps([[exc.type.__name__, exc.msg], failed]))
    """)
    legacy, isolated = out
    assert legacy == ["ImportError", "Interpreter change detected - this module can only be "
                                     "loaded into one interpreter per process."]
    assert isolated == "ImportError"


def test_interpreter_check_applies_even_before_the_main_interpreter_imports():
    # The first interpreter to create the module owns it, whichever it is.
    out = run("""
        import json, _interpreters
        interp = _interpreters.create('legacy')
        exc = _interpreters.exec(interp, 'import scripts.git_credential_zetadesk')
        _interpreters.destroy(interp)
        try:
            import scripts.git_credential_zetadesk
            err = None
        except ImportError as e:
            err = str(e)
        print(json.dumps([exc, err]))
    """)
    assert out == [None, "Interpreter change detected - this module can only be loaded into "
                         "one interpreter per process."]


def test_failed_body_leaves_nothing_and_next_import_starts_again():
    out = run("""
        import json, sys, traceback
        import utils
        saved = utils.handle_error
        del utils.handle_error
        try:
            import routes.opsdeck
            err = None
        except ImportError as e:
            err = str(e)
            tb = [(f.name, f.filename) for f in traceback.extract_tb(e.__traceback__)]
        present = 'routes.opsdeck' in sys.modules
        utils.handle_error = saved
        import routes.opsdeck as m
        print(json.dumps([err, tb[-1], present, len(m.bp.deferred_functions),
                          m.health_check.__module__]))
    """)
    assert out == ["cannot import name handle_error", ["init routes.opsdeck", "routes/opsdeck"],
                   False, 9, "routes.opsdeck"]


def test_exec_enters_sys_modules_when_the_importer_did_not():
    out = run("""
        import _imp, importlib.util, json, sys
        spec = importlib.util.find_spec('routes.opsdeck')
        m = _imp.create_dynamic(spec)
        before = 'routes.opsdeck' in sys.modules
        _imp.exec_dynamic(m)
        print(json.dumps([before, sys.modules.get('routes.opsdeck') is m]))
    """)
    assert out == [False, True]


def test_missing_flask_name_fails_the_import():
    out = run("""
        import json, flask
        del flask.Response
        try:
            import routes.opsdeck
            print(json.dumps(None))
        except ImportError as e:
            print(json.dumps(str(e)))
    """)
    assert out == "cannot import name Response"


# ---- what the artefacts export ------------------------------------------------

CHECK_EXPORTS = os.path.join(ROOT, "tests", "check_exports.py")
SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
ARTEFACTS = [f"routes/opsdeck{SUFFIX}", f"scripts/git_credential_zetadesk{SUFFIX}", f"zetadesk_setup{SUFFIX}",
             "bin/git-credential-zetadesk"]


def check_exports(*paths):
    return subprocess.run([PYTHON, CHECK_EXPORTS, *map(str, paths)], capture_output=True, text=True, timeout=60)


def wheel_of(path, members):
    with zipfile.ZipFile(path, "w") as wheel:
        for name, source in members.items():
            wheel.write(source, name)
    return path


@pytest.mark.skipif(os.environ.get("ZETADESK_SANITIZED") == "1",
                    reason="a sanitized build exports its runtime's hooks and is never shipped")
def test_each_artefact_exports_only_its_entry_point(tmp_path):
    files = [os.path.join(ROOT, f) for f in ARTEFACTS]
    result = check_exports(*files)
    assert result.returncode == 0, result.stderr
    # A wheel is checked member by member: the same files, in a wheel's places.
    wheel = wheel_of(tmp_path / "zetadesk-0-cp314-cp314-linux.whl", {
        **{f: os.path.join(ROOT, f) for f in ARTEFACTS[:3]},
        "zetadesk-0.data/scripts/git-credential-zetadesk": files[3]})
    result = check_exports(wheel)
    assert result.returncode == 0, result.stderr
    assert "4 ELF file(s) checked" in result.stdout


def test_export_check_refuses_what_is_not_an_entry_point(tmp_path):
    libpython = os.path.join(sysconfig.get_config_var("LIBDIR") or "", sysconfig.get_config_var("INSTSONAME") or "")
    if not os.path.isfile(libpython):
        pytest.skip("no shared libpython here")
    opsdeck = os.path.join(ROOT, ARTEFACTS[0])
    cases = {
        # A library that exports hundreds of names, under a module's name.
        f"opsdeck{SUFFIX}": (libpython, ["exports PyObject_Call", "does not export PyInit_opsdeck"]),
        # A module under another name: its entry point is not the one the name asks for.
        f"other{SUFFIX}": (opsdeck, ["exports PyInit_opsdeck", "does not export PyInit_other"]),
        # A program may export main only.
        "git-credential-zetadesk": (opsdeck, ["exports PyInit_opsdeck"]),
    }
    for name, (source, expected) in cases.items():
        target = tmp_path / name
        shutil.copyfile(source, target)
        # In a wheel, a module not of the native core is Cython's (below).
        in_wheel = [] if name.startswith("other") else [wheel_of(tmp_path / "bad.whl", {f"routes/{name}": source})]
        for path in (target, *in_wheel):
            result = check_exports(path)
            assert result.returncode == 1, name
            for text in expected:
                assert text in result.stderr, (name, result.stderr[:500])
    # The compiled wheel's host modules export what Cython gives them; only
    # the native core's own files are held to one entry point.
    wheel = wheel_of(tmp_path / "compiled.whl", {f"routes/git{SUFFIX}": libpython, f"routes/opsdeck{SUFFIX}": opsdeck})
    result = check_exports(wheel)
    assert result.returncode == 0 and "1 ELF file(s) checked" in result.stdout, result.stderr[:500]
    # Something that is not ELF is an error, not a pass.
    (tmp_path / "x.so").write_text("not a library")
    assert check_exports(tmp_path / "x.so").returncode == 1
