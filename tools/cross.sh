#!/usr/bin/env bash
# The aarch64 Linux toolchain: Debian's cross compiler in an amd64 root and
# an arm64 root of the same Debian suite that serves both as the sysroot the
# modules are compiled against and as the system the tests run in, under
# qemu-user.  Both roots are built once with mmdebstrap and cached outside the
# checkout, like the main environment's.  Runs on the host, as root.
#
#   tools/cross.sh roots                  build both roots (once) and print them
#   tools/cross.sh build DIR CMD [ARG...] run CMD in DIR inside the cross root,
#                                         the arm64 root mounted at /sysroot
#   tools/cross.sh target DIR CMD [ARG...] run the arm64 CMD in DIR inside the
#                                         arm64 root (binfmt_misc), or under
#                                         qemu-aarch64 -L where binfmt is missing
#   tools/cross.sh emulation              print "binfmt" or "qemu-L"
set -euo pipefail

# The same cache, suite and mirror (this host's apt sources) as the main
# environment's.
. "$(dirname "$0")/roots.sh"

# Changing a list changes its root's name, so that root is rebuilt.
cross_packages=(g++-aarch64-linux-gnu cmake ninja-build make binutils-aarch64-linux-gnu)
target_packages=(
  python3.14 python3.14-dev libpython3.14-dev python3-flask python3-setuptools cython3
  python3-pytest python3-hypothesis python3-requests python3-wheel python3-build
  procps git ca-certificates
)

root_name() {  # KIND ARCH PACKAGE...
  local kind=$1 arch=$2; shift 2
  echo "$cache/$kind-$(list_id "$suite" "$arch" "$@")"
}
cross_root() { root_name cross-amd64 amd64 "${cross_packages[@]}"; }
target_root() { root_name target-arm64 arm64 "${target_packages[@]}"; }

host_tools() {
  # qemu-user-static registers its binfmt_misc entries when the package is
  # configured; the entry has the F flag, so it also works inside chroots.
  local missing=()
  command -v mmdebstrap >/dev/null || missing+=(mmdebstrap)
  [ -x /usr/bin/qemu-aarch64-static ] || missing+=(qemu-user-static)
  command -v update-binfmts >/dev/null || missing+=(binfmt-support)
  command -v arch-test >/dev/null || missing+=(arch-test)
  if [ ${#missing[@]} -gt 0 ]; then
    echo "cross: installing ${missing[*]} on the host" >&2
    apt-get update -qq >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
  binfmt_register || true
}

binfmt_register() {
  # Mount binfmt_misc and import qemu's aarch64 entry where the machine allows it.
  local dir=/proc/sys/fs/binfmt_misc
  [ -e "$dir/register" ] || mount -t binfmt_misc binfmt_misc "$dir" 2>/dev/null || return 1
  [ -e "$dir/qemu-aarch64" ] || update-binfmts --enable qemu-aarch64 >/dev/null 2>&1 \
    || update-binfmts --import qemu-aarch64 >/dev/null 2>&1 || true
  [ -e "$dir/qemu-aarch64" ] && grep -qx enabled "$dir/qemu-aarch64"
}

emulation() {
  if arch-test arm64 >/dev/null 2>&1; then echo binfmt; else echo qemu-L; fi
}

cross_build_root() {  # DIR ARCH VARIANT PACKAGE...
  local root=$1 arch=$2 variant=$3; shift 3
  build_root "$root" "cross: building $arch root $root (once)" \
    --variant="$variant" --architectures="$arch" -- "$@"
}

ensure_roots() {
  local cross target; cross=$(cross_root); target=$(target_root)
  [ -f "$cross/.zetadesk-ready" ] && [ -f "$target/.zetadesk-ready" ] && return 0
  host_tools
  lock_cache .cross-lock
  cross_build_root "$cross" amd64 apt "${cross_packages[@]}"
  # A foreign root runs its maintainer scripts under qemu (binfmt_misc);
  # without it, unpacking the packages still gives a usable sysroot and a
  # python that runs through qemu-aarch64 -L.
  if [ "$(emulation)" = binfmt ]; then
    cross_build_root "$target" arm64 apt "${target_packages[@]}"
  else
    cross_build_root "$target" arm64 extract "${target_packages[@]}"
  fi
  unlock_cache
}

in_root() {  # ROOT DIR [SRC DST]... -- CMD...   (each SRC bound at DST inside ROOT)
  # Private mount namespace: nothing mounted here outlives the command.  DIR
  # keeps its path inside, so build trees and messages agree; a private /tmp.
  local root=$1 dir=$2 binds=(); shift 2
  while [ "$1" != -- ]; do binds+=(--bind "$1" "$2"); shift 2; done
  shift
  enter_root --tmp --bind "$dir" "$dir" "${binds[@]}" "$root" "${root_shell[@]}" "$dir" "$@"
}

case "${1:-}" in
  roots)
    ensure_roots; cross_root; target_root ;;
  emulation)
    host_tools >/dev/null; emulation ;;
  build)
    shift; dir=$(cd "${1:?directory}" && pwd -P); shift
    ensure_roots
    in_root "$(cross_root)" "$dir" "$(target_root)" /sysroot \
      /usr/bin/qemu-aarch64-static /usr/local/bin/qemu-aarch64-static -- "$@" ;;
  target)
    shift; dir=$(cd "${1:?directory}" && pwd -P); shift
    ensure_roots
    if [ "$(emulation)" = binfmt ]; then
      in_root "$(target_root)" "$dir" -- "$@"
    fi
    # No binfmt_misc: qemu runs the program itself, and anything it starts
    # would be an arm64 binary the host kernel cannot execute.
    root=$(target_root)
    case $1 in /*) prog=$1 ;; *) prog=/usr/bin/$1 ;; esac
    cd "$dir"
    exec env -u PYTHONHOME -u PYTHONPATH qemu-aarch64-static -L "$root" "$root$prog" "${@:2}" ;;
  *)
    echo "usage: $0 roots | emulation | build DIR CMD... | target DIR CMD..." >&2; exit 2 ;;
esac
