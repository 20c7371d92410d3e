# Loaded by every interpreter started under tools/android-profile.sh (its
# directory is first on PYTHONPATH): Termux's Python has no os.link at all.
import os

try:
    del os.link
except AttributeError:
    pass
