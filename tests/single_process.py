"""pytest plugin (not a test module; conftest.py loads it when
ZETADESK_PROCESS_TESTS is set) for the suite under qemu-user: a test that
starts another program is skipped at that point, with the program in the
reason.  Without binfmt_misc the host kernel cannot execute the arm64 binary
it would start; with it, each start costs seconds, and only the test modules
named in ZETADESK_PROCESS_TESTS (the helper program's, and those of the
views that run programs, and single tests named as FILE::TEST) start
programs.  Outside the tests (collection,
the session's end) programs start as usual."""

import os
import subprocess

import pytest

_popen_init = subprocess.Popen.__init__
_may_start_programs = set(os.environ.get("ZETADESK_PROCESS_TESTS", "").split())


def _no_second_process(self, args, *rest, **kwargs):
    self._child_created = False  # what Popen.__del__ looks at
    self.returncode = None
    program = args if isinstance(args, (str, bytes)) else args[0]
    pytest.skip(f"starts another program ({program!r}): left to the native runs under emulation")


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item, nextitem):
    if {item.path.name, f"{item.path.name}::{item.originalname}"} & _may_start_programs:
        yield
        return
    subprocess.Popen.__init__ = _no_second_process
    try:
        yield
    finally:
        subprocess.Popen.__init__ = _popen_init
