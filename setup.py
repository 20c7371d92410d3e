"""Packaging entry point: importing the native zetadesk_setup module runs setup().

    python3.14 setup.py bdist_wheel                          # development wheel
    ZETADESK_CYTHON_BUILD=1 python3.14 setup.py bdist_wheel  # compiled wheel
"""

import zetadesk_setup  # noqa: F401
