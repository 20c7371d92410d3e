#!/usr/bin/env bash
# Builds wheels of this tree into dist/: the development wheel (pure source)
# and the compiled wheel (ZETADESK_CYTHON_BUILD=1: Cython-compiled modules,
# static/ included).  Runs inside the CPython 3.14 environment:
#   tools/devenv.sh run tools/wheels.sh [dev] [compiled]
set -euo pipefail
cd "$(dirname "$0")/.."
tools/build.sh --target zetadesk_setup >/dev/null

# setuptools' build trees and egg-info go to a scratch directory: inside the
# tree they would be walked for modules to compile, and CMake owns build/.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/started"

modes=("$@")
[ ${#modes[@]} -gt 0 ] || modes=(dev compiled)
for m in "${modes[@]}"; do
  case $m in
    dev) flag=0 ;;
    compiled) flag=1 ;;
    *) echo "usage: $0 [dev] [compiled]" >&2; exit 2 ;;
  esac
  mkdir -p "$scratch/$m"
  echo "== $m wheel"
  ZETADESK_CYTHON_BUILD=$flag python3.14 setup.py -q \
    egg_info --egg-base "$scratch/$m" \
    build --build-base "$scratch/$m" \
    bdist_wheel --dist-dir dist
done

# Cython writes its C next to each compiled module; it is an intermediate.
find . \( -name .git -o -name build -o -name dist -o -name tests \) -prune -o \
     -name '*.c' -newer "$scratch/started" -print |
  while read -r c; do
    if [ -f "${c%.c}.py" ]; then rm -f "$c"; fi
  done
ls -l dist/*.whl
