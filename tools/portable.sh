#!/usr/bin/env bash
# Portable Linux wheels (manylinux_2_31) for x86-64 and aarch64, both build
# modes.  Every native file in them (the CMake modules, the helper program and
# Cython's C) is compiled by Debian 11's GCC 10 against Debian 11's glibc 2.31
# and libstdc++, from a Debian 11 root built once with mmdebstrap and cached
# like the other roots; the wheels are assembled by setuptools in the CPython
# 3.14 root.  CMake, Python's headers and the interpreter FindPython asks come
# from the 3.14 roots (the arm64 one through qemu-user); only the compiler
# drivers run in the old root (old_tool below).  Runs on the host, as root.
#
#   tools/portable.sh root               build the Debian 11 root (once) and print it
#   tools/portable.sh wheels [ARCH...]   the wheels of ARCH (x86_64, aarch64; both by
#                                        default) into dist/ (or ZETADESK_DIST_DIR, a
#                                        folder inside the checkout: the roots see no other)
#   tools/portable.sh reproduce [ARCH...]
#                                        the wheels of ARCH (x86_64 by default) and the
#                                        source package built again in a clone under
#                                        /tmp, compared byte for byte with dist/'s
#   tools/portable.sh check-aarch64 [PYTEST ARGS]
#                                        the aarch64 wheels of dist/ (ZETADESK_DIST_DIR)
#                                        installed into venvs of the arm64 root and
#                                        run there under qemu-user (tests/test_install.py)
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
. tools/roots.sh
. tools/epoch.sh

# glibc 2.31 is the oldest the mirror serves, so manylinux_2_31 is the tag.
old_suite=bullseye
glibc=2.31
# Changing the list changes the root's name, so that root is rebuilt.
old_packages=(gcc g++ gcc-aarch64-linux-gnu g++-aarch64-linux-gnu)
old_root() { echo "$cache/old-amd64-$(list_id "$old_suite" amd64 "${old_packages[@]}")"; }

ensure_old_root() {
  local root; root=$(old_root)
  [ -f "$root/.zetadesk-ready" ] && return 0
  lock_cache .old-lock
  build_root "$root" "portable: building the Debian 11 root $root (once)" --suite="$old_suite" \
    --variant=apt "${slim_dpkg_options[@]}" -- "${old_packages[@]}"
  unlock_cache
}

# The tree is built in a private copy, so the modules built in place stay
# the development build's.
copy_tree() {  # DIR
  rm -rf "$1"
  mkdir -p "$1"
  tar --exclude=./build --exclude=./.git --exclude=./bin --exclude='*.so' --exclude=__pycache__ \
      --exclude=./dist -cf - . | tar -xf - -C "$1"
}

# wheels ARCH DIST (host): the 3.14 root entered with the old root at
# /tmp/old.  The old root sees the tree, the private /tmp (setuptools' build
# trees) and Python's headers at the paths the 3.14 root has them, so a
# compiler run there reads exactly the command line CMake or setuptools wrote.
wheels() {
  local arch=$1 dist=$2 tree=$repo/build/portable/$1
  local testing old binds
  testing=$(tools/devenv.sh root)
  old=$(old_root)
  copy_tree "$tree"
  # The private /tmp goes into the old root before the tree does: a tree
  # under /tmp (a clone there) bound first would be hidden by it.
  binds=(--bind "$repo" "$repo" --bind "$old" /tmp/old --bind "$testing/tmp" /tmp/old/tmp
         --bind "$repo" "/tmp/old$repo")
  local include=/usr/include/python3.14 pyconfig=/usr/include/x86_64-linux-gnu/python3.14
  binds+=(--bind "$testing$include" "/tmp/old$include" --bind "$testing$pyconfig" "/tmp/old$pyconfig")
  if [ "$arch" = aarch64 ]; then
    # The arm64 root: Python's aarch64 configuration, and the interpreter
    # FindPython asks (tools/aarch64-linux-gnu.cmake).
    local target; target=$(tools/cross.sh roots | tail -n1)
    binds+=(--bind "$target" /sysroot --bind "$target" /tmp/old/sysroot
            --bind /usr/bin/qemu-aarch64-static /tmp/bin/qemu-aarch64-static)
  fi
  (enter_root --tmp "${binds[@]}" "$testing" "${root_shell[@]}" "$tree" \
     tools/portable.sh inside "$arch" "$dist")
}

# old_tool NAME TOOL: the command NAME runs the old root's TOOL in the same
# directory with the same arguments.
old_tool() {
  printf '#!/bin/sh\nexec chroot /tmp/old /bin/sh -c %s "$PWD" %s "$@"\n' \
    "'cd \"\$0\" && exec \"\$@\"'" "$2" >"/tmp/bin/$1"
  chmod +x "/tmp/bin/$1"
}

# inside ARCH DIST: in the 3.14 root, from the tree's copy.
inside() {
  local arch=$1 dist=$2
  mkdir -p /tmp/bin
  export PATH=/tmp/bin:$PATH ZETADESK_BUILD_DIR=_build ZETADESK_DIST_DIR=$dist
  export ZETADESK_WHEEL_PLATFORM=manylinux_${glibc/./_}_$arch
  case $arch in
    x86_64)
      # Debian's sysconfig names x86_64-linux-gnu-gcc for Cython's C.
      old_tool x86_64-linux-gnu-gcc x86_64-linux-gnu-gcc-10
      old_tool x86_64-linux-gnu-g++ x86_64-linux-gnu-g++-10
      export ZETADESK_CMAKE_ARGS="-DCMAKE_CXX_COMPILER=x86_64-linux-gnu-g++ -DZETADESK_WERROR=ON -DZETADESK_STRIP=ON"
      tools/build.sh >/dev/null
      ;;
    aarch64)
      old_tool aarch64-linux-gnu-gcc aarch64-linux-gnu-gcc-10
      old_tool aarch64-linux-gnu-g++ aarch64-linux-gnu-g++-10
      # The packaging module runs in this root's interpreter: it is built for
      # that one, by this root's compiler (it does not ship).
      ZETADESK_BUILD_DIR=_build-host tools/build.sh --target zetadesk_setup >/dev/null
      export ZETADESK_PYTHON=/sysroot/usr/bin/python3.14 ZETADESK_CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=tools/aarch64-linux-gnu.cmake
        -DCMAKE_POLICY_DEFAULT_CMP0190=NEW -DZETADESK_WERROR=ON -DZETADESK_STRIP=ON"
      tools/build.sh >/dev/null
      # setuptools builds Cython's C for aarch64 from the arm64 root's
      # configuration (compiler, flags, extension suffix); Debian's
      # pyconfig.h finds its aarch64 twin in that root's include directory.
      # GCC's note on GCC 9.1's argument passing concerns a static function
      # of Cython's only: no call crosses the module's boundary with it.
      local data=_sysconfigdata__linux_aarch64-linux-gnu
      mkdir -p /tmp/sysconfig
      cp "/sysroot/usr/lib/python3.14/$data.py" /tmp/sysconfig/
      export _PYTHON_SYSCONFIGDATA_NAME=$data _PYTHON_HOST_PLATFORM=linux-aarch64
      export PYTHONPATH=/tmp/sysconfig CFLAGS="-idirafter /sysroot/usr/include -Wno-psabi"
      ;;
    *)
      echo "portable: unknown architecture $arch" >&2; exit 2 ;;
  esac
  # Cython's modules as the CMake ones (-DZETADESK_STRIP): no path of this
  # copy of the tree, no debug information.
  export CFLAGS="${CFLAGS:+$CFLAGS }-ffile-prefix-map=$PWD/=" LDFLAGS="${LDFLAGS:+$LDFLAGS }-s"
  tools/wheels.sh dev compiled
}

# check-aarch64 DIST [PYTEST ARGS] (host): the install test on the aarch64
# wheels, in the arm64 root.  That root has no pip: the 3.14 root's (pure
# Python) is lent to it.
check_aarch64() {
  local dist=$1 pip=$repo/build/portable/pip; shift
  rm -rf "$pip"
  mkdir -p "$pip"
  cp -a "$(tools/devenv.sh root)/usr/lib/python3/dist-packages/pip" "$pip/"
  # Without binfmt_misc only the interpreter runs under qemu: the test, which
  # starts the server and git, is skipped with its reason.
  [ "$(tools/cross.sh emulation)" = binfmt ] || export ZETADESK_PROCESS_TESTS=""
  ZETADESK_PORTABLE_DIST=$dist ZETADESK_PIP_PATH=$pip \
    tools/cross.sh target . python3.14 -m pytest tests/test_install.py -k installed_portable "$@"
}

# reproduce [ARCH...] (host): the wheels of ARCH (x86_64 by default) and the
# source package made again from a clone of this checkout's commit in a new
# folder under /tmp, then compared byte for byte with those in dist/
# (ZETADESK_DIST_DIR): the same commit gives the same artefacts wherever it
# is built.
reproduce() {
  local dist=$1 second status=0 file; shift
  [ $# -gt 0 ] || set -- x86_64
  second=$(mktemp -d /tmp/zetadesk-reproduce.XXXXXX)
  trap "rm -rf '$second'" EXIT
  git diff --quiet HEAD 2>/dev/null ||
    echo "portable: uncommitted changes are not in the clone: dist/ may differ from it" >&2
  git clone -q "$repo" "$second/tree"
  git -C "$second/tree" checkout -q "$(git rev-parse HEAD)"
  if ! (cd "$second/tree" && tools/portable.sh wheels "$@" && tools/devenv.sh run tools/sdist.sh) >"$second/log" 2>&1; then
    tail -n 40 "$second/log" >&2
    return 1
  fi
  for file in "$second"/tree/dist/*; do
    if ! cmp -s "$file" "$dist/${file##*/}"; then
      echo "portable: ${file##*/} differs from the one built at $second/tree" >&2
      differing_members "$file" "$dist/${file##*/}" >&2 || true
      status=1
    fi
  done
  [ $status -ne 0 ] || echo "portable: $(ls "$second"/tree/dist | wc -l) artefact(s) built again at $second/tree, the same bytes"
  return $status
}

# What differs between two wheels, member by member.
differing_members() {
  [ -f "$2" ] || { echo "  (no $2)"; return; }
  python3 - "$1" "$2" <<'PY'
import sys, zipfile
if not sys.argv[1].endswith(".whl"):
    sys.exit()
a, b = (zipfile.ZipFile(p) for p in sys.argv[1:])
info = {i.filename: (i.date_time, i.external_attr) for i in a.infolist()}
for i in b.infolist():
    if i.filename not in info:
        print("  only in", sys.argv[2] + ":", i.filename)
    elif a.read(i.filename) != b.read(i.filename):
        print("  content differs:", i.filename)
    elif info[i.filename] != (i.date_time, i.external_attr):
        # Times come from the commit: dist/ was built from another one.
        print("  time or mode differs:", i.filename, info[i.filename], (i.date_time, i.external_attr))
if a.namelist() != b.namelist():
    print("  member lists differ")
PY
}

case "${1:-}" in
  root)
    ensure_old_root; old_root ;;
  wheels)
    shift
    [ $# -gt 0 ] || set -- x86_64 aarch64
    ensure_old_root
    # The copy of the tree has no .git: the commit's time is read here.
    source_date_epoch
    dist=${ZETADESK_DIST_DIR:-dist}
    mkdir -p "$dist"
    dist=$(cd "$dist" && pwd -P)
    for arch; do
      started=$SECONDS
      wheels "$arch" "$dist"
      echo "portable: $arch wheels in $((SECONDS - started)) s"
    done
    ;;
  check-aarch64)
    shift
    started=$SECONDS
    check_aarch64 "$(cd "${ZETADESK_DIST_DIR:-dist}" && pwd -P)" "$@"
    echo "portable: aarch64 wheels checked in $((SECONDS - started)) s"
    ;;
  reproduce)
    shift
    started=$SECONDS
    reproduce "$(cd "${ZETADESK_DIST_DIR:-dist}" && pwd -P)" "$@"
    echo "portable: reproduced in $((SECONDS - started)) s"
    ;;
  inside)
    inside "$2" "$3" ;;
  *)
    echo "usage: $0 root | wheels [ARCH...] | check-aarch64 [PYTEST ARGS] | reproduce [ARCH...]" >&2; exit 2 ;;
esac
