#!/usr/bin/env bash
# Builds the native modules (warnings are errors here) and runs the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
ZETADESK_CMAKE_ARGS="-DZETADESK_WERROR=ON ${ZETADESK_CMAKE_ARGS:-}" tools/build.sh
exec python3.14 -m pytest "$@"  # no path given: testpaths of pytest.ini
