"""Packaging entry point: importing the native zetadesk_setup module runs setup().

    python3.14 setup.py bdist_wheel                          # development wheel
    ZETADESK_CYTHON_BUILD=1 python3.14 setup.py bdist_wheel  # compiled wheel
"""

import os
import sys

# Build front ends run this file from elsewhere; the module lives beside it.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import zetadesk_setup  # noqa: E402,F401
