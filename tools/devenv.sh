#!/usr/bin/env bash
# Runs a command with a CPython 3.14 toolchain (python3.14 + Flask, setuptools,
# Cython, pytest, g++, cmake).  A host that already has a suitable python3.14 is
# used directly; otherwise a Debian testing root is built once with mmdebstrap,
# cached outside the checkout and entered in a private mount namespace, so no
# mount outlives the command.
#
#   tools/devenv.sh run CMD [ARG...]   run CMD from the repository root
#   tools/devenv.sh root               print the cached root (building it if needed)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd -P)
cache=${ZETADESK_DEV_CACHE:-/var/cache/zetadesk-dev}
suite=forky

# Changing this list changes the root's name, so the root is rebuilt.
packages=(
  python3.14 python3.14-dev python3.14-dbg python3-flask python3-setuptools cython3
  python3-pytest python3-hypothesis python3-requests python3-wheel python3-build
  g++ clang libclang-rt-dev cmake ninja-build make procps git curl ca-certificates
  chromium chromium-driver python3-selenium fonts-dejavu-core
)

host_is_enough() {
  [ -z "${ZETADESK_FORCE_ROOT:-}" ] || return 1
  command -v python3.14 >/dev/null 2>&1 || return 1
  python3.14 -c 'import flask, setuptools, Cython, pytest' >/dev/null 2>&1 || return 1
  command -v cmake >/dev/null && command -v g++ >/dev/null
}

mirror() {
  # The first Debian archive URI that this host's apt already uses.
  local uri
  uri=$(grep -rhsE '^\s*(URIs:|deb )' /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null \
        | grep -v -- '-security' \
        | sed -E 's/^\s*URIs:\s*//; s/^\s*deb\s+(\[[^]]*\]\s+)?//' \
        | awk '{print $1}' | grep -E '/debian/?$' | head -n1)
  [ -n "$uri" ] || { echo "devenv: no Debian mirror found in the apt sources" >&2; exit 1; }
  echo "$uri"
}

root_dir() {
  local id
  id=$(printf '%s\n' "$suite" "${packages[@]}" | sha256sum | cut -c1-12)
  echo "$cache/root-$id"
}

ensure_root() {
  local root; root=$(root_dir)
  [ -f "$root/.zetadesk-ready" ] && return 0
  mkdir -p "$cache"
  exec 9>"$cache/.lock"
  flock 9
  if [ ! -f "$root/.zetadesk-ready" ]; then
    command -v mmdebstrap >/dev/null || { apt-get update -qq && apt-get install -y -qq mmdebstrap >/dev/null; }
    echo "devenv: building the CPython 3.14 root in $root (once)" >&2
    rm -rf "$root.tmp"
    local include; include=$(IFS=,; echo "${packages[*]}")
    mmdebstrap --quiet --variant=apt \
      --aptopt='Acquire::Check-Valid-Until "false"' \
      --include="$include" "$suite" "$root.tmp" "$(mirror)" >&2
    rm -rf "$root"
    mv "$root.tmp" "$root"
    touch "$root/.zetadesk-ready"
  fi
  exec 9>&-
}

run_in_root() {
  local root; root=$(root_dir)
  # Same path inside and out, so build trees and error messages agree.
  exec unshare -m --propagation private /bin/bash -c '
    set -e
    root=$1 repo=$2; shift 2
    mkdir -p "$root$repo"
    mount --bind "$repo" "$root$repo"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t sysfs sysfs "$root/sys" 2>/dev/null || true
    cd /
    exec chroot "$root" /usr/bin/env -u PYTHONHOME -u PYTHONPATH -u VIRTUAL_ENV \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
      /bin/bash -c "cd \"\$0\" && exec \"\$@\"" "$repo" "$@"
  ' devenv "$root" "$repo" "$@"
}

case "${1:-}" in
  run)
    shift
    [ $# -gt 0 ] || { echo "usage: $0 run CMD [ARG...]" >&2; exit 2; }
    if host_is_enough; then cd "$repo"; exec "$@"; fi
    ensure_root
    run_in_root "$@"
    ;;
  root)
    ensure_root; root_dir ;;
  *)
    echo "usage: $0 run CMD [ARG...] | root" >&2; exit 2 ;;
esac
