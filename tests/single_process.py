"""pytest plugin (not a test module: `-p single_process`, tests/ on the path)
for running the suite where only the interpreter itself is
emulated (qemu-aarch64 -L without binfmt_misc): a test that starts another
program is skipped at that point, with the program in the reason, because
the host kernel cannot execute the arm64 binary it would start.  Outside the
tests (collection, the session's end) programs start as usual."""

import subprocess

import pytest

_popen_init = subprocess.Popen.__init__


def _no_second_process(self, args, *rest, **kwargs):
    self._child_created = False  # what Popen.__del__ looks at
    self.returncode = None
    program = args if isinstance(args, (str, bytes)) else args[0]
    pytest.skip(f"needs a second process ({program!r}), which cannot run without binfmt_misc")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    subprocess.Popen.__init__ = _no_second_process
    try:
        yield
    finally:
        subprocess.Popen.__init__ = _popen_init
