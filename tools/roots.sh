# Shared by tools/devenv.sh and tools/cross.sh (sourced, not run): the cache
# of Debian roots built with mmdebstrap, its lock, and entering a root in a
# private mount namespace, so no mount outlives the command.

cache=${ZETADESK_DEV_CACHE:-/var/cache/zetadesk-dev}
# The suite of the roots that build, serve and test; tools/portable.sh builds
# the old one it compiles wheels with through build_root's --suite.
suite=forky

# PATH inside a root.
root_path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
# "${root_shell[@]}" DIR CMD [ARG...] (after enter_root ROOT): CMD run in DIR
# inside the root, without the host's Python settings.
root_shell=(
  /usr/bin/env -u PYTHONHOME -u PYTHONPATH -u VIRTUAL_ENV PATH="$root_path" HOME=/root
  /bin/bash -c 'cd "$0" && exec "$@"'
)

# Documentation, manual pages and translations are never read here: leaving them
# out makes the root smaller and faster to unpack.  No fsync per unpacked file
# either: a root cut short is never marked ready and is built again.
slim_dpkg_options=(
  --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-include=/usr/share/doc/*/copyright'
  --dpkgopt='path-exclude=/usr/share/man/*' --dpkgopt='path-exclude=/usr/share/locale/*'
  --dpkgopt='path-exclude=/usr/share/info/*' --dpkgopt='force-unsafe-io'
)

mirror() {
  # The first Debian archive URI that this host's apt already uses.
  local uri
  uri=$(grep -rhsE '^\s*(URIs:|deb )' /etc/apt/sources.list /etc/apt/sources.list.d/ 2>/dev/null \
        | grep -v -- '-security' \
        | sed -E 's/^\s*URIs:\s*//; s/^\s*deb\s+(\[[^]]*\]\s+)?//' \
        | awk '{print $1}' | grep -E '/debian/?$' | head -n1) || true  # grep: a listed file may not exist
  [ -n "$uri" ] || { echo "devenv: no Debian mirror found in the apt sources" >&2; exit 1; }
  echo "$uri"
}

# The short hash in a root's name: changing what it is built from changes it.
list_id() {
  printf '%s\n' "$@" | sha256sum | cut -c1-12
}

# lock_cache [NAME]: holds the cache's lock file NAME (.lock) until unlock_cache.
lock_cache() {
  mkdir -p "$cache"
  exec 9>"$cache/${1:-.lock}"
  flock 9
}
unlock_cache() {
  exec 9>&-
}

# build_root ROOT MESSAGE [--suite=SUITE] [MMDEBSTRAP-OPTION...] -- PACKAGE...
# Builds ROOT of SUITE ($suite by default) with PACKAGES unless it is ready
# (MESSAGE on stderr first).  A root cut short is never marked ready and is
# built again.
build_root() {
  local root=$1 message=$2 root_suite=$suite; shift 2
  local options=()
  while [ "$1" != -- ]; do
    case $1 in
      --suite=*) root_suite=${1#--suite=} ;;
      *) options+=("$1") ;;
    esac
    shift
  done
  shift
  [ -f "$root/.zetadesk-ready" ] && return 0
  echo "$message" >&2
  rm -rf "$root.tmp"
  local include; include=$(IFS=,; echo "$*")
  mmdebstrap --quiet "${options[@]}" \
    --aptopt='Acquire::Check-Valid-Until "false"' \
    --include="$include" "$root_suite" "$root.tmp" "$(mirror)" >&2
  rm -rf "$root"
  mv "$root.tmp" "$root"
  touch "$root/.zetadesk-ready"
}

# enter_root [--tmp] [--bind SRC DST]... [--sys] [--resolv] ROOT CMD [ARG...]
# Replaces this process with CMD chrooted into ROOT, in a private mount
# namespace with ROOT's /proc and /dev mounted; in this order:
#   --tmp        a private tmpfs on /tmp, first: a directory below /tmp
#                bound afterwards lands on top of it
#   --bind       SRC (directory or file) bound at DST inside ROOT
#   --sys        sysfs on /sys where the machine allows it
#   --resolv     this host's name resolution (/etc/resolv.conf)
enter_root() {
  local tmp= sys= resolv= binds=()
  while :; do
    case $1 in
      --tmp) tmp=1; shift ;;
      --sys) sys=1; shift ;;
      --resolv) resolv=1; shift ;;
      --bind) binds+=("$2" "$3"); shift 3 ;;
      *) break ;;
    esac
  done
  exec unshare -m --propagation private /bin/bash -c '
    set -e
    root=$1 tmp=$2 sys=$3 resolv=$4 nbinds=$5; shift 5
    [ -z "$tmp" ] || mount -t tmpfs tmpfs "$root/tmp"
    while [ "$nbinds" -gt 0 ]; do
      src=$1 dst=$root$2; shift 2; nbinds=$((nbinds - 1))
      if [ -d "$src" ]; then mkdir -p "$dst"; else mkdir -p "$(dirname "$dst")"; : >>"$dst"; fi
      mount --bind "$src" "$dst"
    done
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    [ -z "$sys" ] || mount -t sysfs sysfs "$root/sys" 2>/dev/null || true
    [ -z "$resolv" ] || [ ! -f /etc/resolv.conf ] || [ ! -f "$root/etc/resolv.conf" ] ||
      mount --bind /etc/resolv.conf "$root/etc/resolv.conf"
    cd /
    exec chroot "$root" "$@"
  ' "$(basename "$0" .sh)" "$1" "$tmp" "$sys" "$resolv" $((${#binds[@]} / 2)) "${binds[@]}" "${@:2}"
}
