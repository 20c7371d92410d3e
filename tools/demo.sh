#!/usr/bin/env bash
# Builds what serving needs (the route module and the credential helper) and
# serves the stand-in ZetaDesk server.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build.sh --target opsdeck git-credential-zetadesk
# On a terminal, the server's start-up line shows the page's address with a
# one-time login code (http://127.0.0.1:8765/#code=...); open that one.
echo "ZetaDesk stand-in: open the address of the start-up line below, once, within 10 minutes;"
echo "'tools/devenv.sh run python3.14 zetadesk_server.py login' prints a fresh one at any time (Ctrl-C stops the server)"
exec python3.14 zetadesk_server.py
