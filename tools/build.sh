#!/usr/bin/env bash
# Configures (once) and builds the native modules in place.  Runs inside the
# CPython 3.14 environment (tools/devenv.sh run tools/build.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${ZETADESK_BUILD_DIR:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DPython_EXECUTABLE="$(command -v "${ZETADESK_PYTHON:-python3.14}")" ${ZETADESK_CMAKE_ARGS:-} >/dev/null
fi
cmake --build "$build" "$@"
