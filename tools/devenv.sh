#!/usr/bin/env bash
# Runs a command with a CPython 3.14 toolchain (python3.14 + Flask, setuptools,
# Cython, g++, cmake; pytest and the other test tools on request).  A host that
# already has a suitable python3.14 is used directly; otherwise a Debian testing
# root is built once with mmdebstrap, cached outside the checkout and entered in
# a private mount namespace, so no mount outlives the command.
#
# The root comes in two layers.  The first holds what building and serving
# need, so a first `make demo` downloads only that; the second (tests, hardening
# tools, browser) is installed into the same root the first time a command asks
# for it, and stays there.
#
#   tools/devenv.sh run CMD [ARG...]          run CMD from the repository root
#   tools/devenv.sh run --tests CMD [ARG...]  the same, with the test layer added if missing
#   tools/devenv.sh root                      print the cached root (building it if needed)
#   tools/devenv.sh mirror                    print the Debian mirror of this host's apt sources
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd -P)
. "$(dirname "$0")/roots.sh"

# Layer 1, building and serving (make build, demo, wheels).  Changing this list
# changes the root's name, so a new root is built.
base_packages=(
  python3.14 python3.14-dev python3-flask python3-setuptools python3-wheel python3-build cython3
  g++ cmake ninja-build make procps git ca-certificates
)
# Layer 2, tests and hardening checks (make test, make hardening): added to the
# root on first use; changing this list installs what is missing on next use.
test_packages=(
  python3-pytest python3-hypothesis python3-requests python3-pip python3.14-dbg
  clang libclang-rt-dev chromium chromium-driver python3-selenium fonts-dejavu-core curl
  python3-auditwheel
  mount util-linux  # tools/android-profile.sh: mount, unshare, setpriv
)

host_is_enough() {
  local modules=flask,setuptools,Cython
  [ -z "$with_tests" ] || modules+=,pytest,hypothesis
  [ -z "${ZETADESK_FORCE_ROOT:-}" ] || return 1
  command -v python3.14 >/dev/null 2>&1 || return 1
  python3.14 -c "import $modules" >/dev/null 2>&1 || return 1
  command -v cmake >/dev/null && command -v g++ >/dev/null
}

# "base-": roots of the layered scheme never share a name with one built from
# a single list, which other checkouts may still use.
root_dir() {
  echo "$cache/root-base-$(list_id "$suite" "${base_packages[@]}")"
}

test_layer_mark() {
  echo "$(root_dir)/.zetadesk-tests-$(list_id "${test_packages[@]}")"
}

ensure_root() {
  local root; root=$(root_dir)
  [ -f "$root/.zetadesk-ready" ] && return 0
  lock_cache
  if [ ! -f "$root/.zetadesk-ready" ]; then
    command -v mmdebstrap >/dev/null || { apt-get update -qq && apt-get install -y -qq mmdebstrap >/dev/null; }
    build_root "$root" "devenv: building the CPython 3.14 root in $root (once)" \
      --variant=apt "${slim_dpkg_options[@]}" -- "${base_packages[@]}"
  fi
  unlock_cache
}

# Installs the test layer into the root once.  apt runs inside the root, from
# the mirror the root was built from, with this host's name resolution.
ensure_test_layer() {
  local mark; mark=$(test_layer_mark)
  [ -f "$mark" ] && return 0
  lock_cache
  if [ ! -f "$mark" ]; then
    echo "devenv: adding the test layer to $(root_dir) (once)" >&2
    (enter_root --resolv "$(root_dir)" /usr/bin/env DEBIAN_FRONTEND=noninteractive PATH="$root_path" \
       /bin/bash -c '
         apt-get update -qq &&
         apt-get install -y -qq --no-install-recommends "$@" >/dev/null &&
         apt-get clean && rm -rf /var/lib/apt/lists/*' devenv "${test_packages[@]}") >&2
    touch "$mark"
  fi
  unlock_cache
}

run_in_root() {
  # Same path inside and out, so build trees and error messages agree.
  enter_root --bind "$repo" "$repo" --sys "$(root_dir)" "${root_shell[@]}" "$repo" "$@"
}

with_tests=
case "${1:-}" in
  run)
    shift
    if [ "${1:-}" = --tests ]; then with_tests=1; shift; fi
    [ $# -gt 0 ] || { echo "usage: $0 run [--tests] CMD [ARG...]" >&2; exit 2; }
    if host_is_enough; then cd "$repo"; exec "$@"; fi
    ensure_root
    [ -z "$with_tests" ] || ensure_test_layer
    run_in_root "$@"
    ;;
  root)
    ensure_root; root_dir ;;
  mirror)
    mirror ;;
  *)
    echo "usage: $0 run [--tests] CMD [ARG...] | root | mirror" >&2; exit 2 ;;
esac
