#!/usr/bin/env bash
# Builds the native modules and serves the stand-in ZetaDesk server.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build.sh
echo "ZetaDesk stand-in: http://${ZETADESK_HOST:-127.0.0.1}:${ZETADESK_PORT:-8765}/ (Ctrl-C stops it)"
exec python3.14 zetadesk_server.py
