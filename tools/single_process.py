"""pytest plugin for running the suite where only the interpreter itself is
emulated (qemu-aarch64 -L without binfmt_misc): a test that starts another
program is skipped at that point, with the program in the reason, because
the host kernel cannot execute the arm64 binary it would start."""

import subprocess

import pytest

_popen_init = subprocess.Popen.__init__


def _no_second_process(self, args, *rest, **kwargs):
    self._child_created = False  # what Popen.__del__ looks at
    self.returncode = None
    program = args if isinstance(args, (str, bytes)) else args[0]
    pytest.skip(f"needs a second process ({program!r}), which cannot run without binfmt_misc")


def pytest_configure(config):
    subprocess.Popen.__init__ = _no_second_process


def pytest_unconfigure(config):
    subprocess.Popen.__init__ = _popen_init
