#!/usr/bin/env bash
# Builds wheels of this tree into dist/: the development wheel (host modules
# as source) and the compiled wheel (ZETADESK_CYTHON_BUILD=1: host modules
# compiled by Cython).  Both carry the native modules, static/ and the
# credential helper program (setup.cfg, MANIFEST.in).  Runs inside the
# CPython 3.14 environment:
#   tools/devenv.sh run tools/wheels.sh [dev] [compiled]
# ZETADESK_DIST_DIR names another folder for the wheels (the install test's);
# ZETADESK_WHEEL_PLATFORM sets the platform tag of both (tools/portable.sh's
# manylinux tags).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/epoch.sh
source_date_epoch
# Every native module and the helper program first: the wheels ship them.
tools/build.sh >/dev/null

# setuptools calls the development build pure (it has no extension modules of
# its own) and would tag it py3-none-any, yet it carries native code built
# for this interpreter and platform: cp314-none-<platform>.  The compiled
# build tags itself cp314-cp314-<platform>.
read -r impl platform < <(python3.14 -c '
import sys, sysconfig
print(f"cp{sys.version_info[0]}{sys.version_info[1]}",
      sysconfig.get_platform().replace("-", "_").replace(".", "_"))')
platform=${ZETADESK_WHEEL_PLATFORM:-$platform}

# setuptools' build trees and egg-info go to a scratch directory: inside the
# tree they would be walked for modules to compile, and CMake owns build/.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/started"

dist=${ZETADESK_DIST_DIR:-dist}

modes=("$@")
[ ${#modes[@]} -gt 0 ] || modes=(dev compiled)
for m in "${modes[@]}"; do
  case $m in
    dev) flag=0 tags=(--python-tag "$impl" --plat-name "$platform") ;;
    compiled) flag=1 tags=(${ZETADESK_WHEEL_PLATFORM:+--plat-name "$platform"}) ;;
    *) echo "usage: $0 [dev] [compiled]" >&2; exit 2 ;;
  esac
  mkdir -p "$scratch/$m"
  echo "== $m wheel"
  ZETADESK_CYTHON_BUILD=$flag python3.14 setup.py -q \
    egg_info --egg-base "$scratch/$m" \
    build --build-base "$scratch/$m" \
    bdist_wheel --dist-dir "$dist" "${tags[@]}"
done

# Cython writes its C next to each compiled module; it is an intermediate.
find . \( -name .git -o -name build -o -name dist -o -name tests \) -prune -o \
     -name '*.c' -newer "$scratch/started" -print |
  while read -r c; do
    if [ -f "${c%.c}.py" ]; then rm -f "$c"; fi
  done
ls -l "$dist"/*.whl
