#!/usr/bin/env bash
# Writes the source package dist/zetadesk-<version>.tar.gz: the sources of
# the native core and the application, which `pip install` builds with CMake
# (setup.py).  Runs inside the CPython 3.14 environment:
#   tools/devenv.sh run tools/sdist.sh
# ZETADESK_DIST_DIR names another folder (the install test's).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/epoch.sh
source_date_epoch
dist=${ZETADESK_DIST_DIR:-dist}
# setup.py needs the packaging module built; the package itself ships none of it.
tools/build.sh >/dev/null
# egg-info is setuptools' scratch here; the package carries its own copy.
trap 'rm -rf zetadesk.egg-info' EXIT
python3.14 setup.py -q sdist --formats gztar --dist-dir "$dist"
# The same bytes from every build of one commit: setuptools' archive has the
# checkout's file times, owners and the time of packing.
[ -z "${SOURCE_DATE_EPOCH:-}" ] || python3.14 tools/normalize_sdist.py "$dist"/zetadesk-*.tar.gz
ls -l "$dist"/zetadesk-*.tar.gz
