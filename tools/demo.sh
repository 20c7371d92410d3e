#!/usr/bin/env bash
# Builds what serving needs (the route module and the credential helper) and
# serves the stand-in ZetaDesk server.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build.sh --target opsdeck git-credential-zetadesk
# On a terminal, the server's start-up line shows the page's address with
# the access token (http://127.0.0.1:8765/?token=...); open that one.
echo "ZetaDesk stand-in: open the address of the start-up line below (Ctrl-C stops it)"
exec python3.14 zetadesk_server.py
