#!/usr/bin/env bash
# Builds what serving needs (the route module and the credential helper) and
# serves the stand-in ZetaDesk server.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build.sh --target opsdeck git-credential-zetadesk
echo "ZetaDesk stand-in: http://${ZETADESK_HOST:-127.0.0.1}:${ZETADESK_PORT:-8765}/ (Ctrl-C stops it)"
exec python3.14 zetadesk_server.py
