#!/usr/bin/env bash
# Runs CMD under Android's rules for an app (Termux), as far as a Linux
# machine reproduces them.  Needs root (tools/devenv.sh run gives it); CMD
# runs in a private mount namespace:
#
#   link(), linkat()   fail with EACCES (seccomp, tools/android/nolink.cpp), as
#                      SELinux makes them fail for every app since Android 6
#   os.link            missing from Python (a sitecustomize first on
#                      PYTHONPATH), as in Termux's Python
#   uid                ZETADESK_ANDROID_UID (10187), no passwd entry, no
#                      supplementary groups, no capabilities (setpriv)
#   HOME, PREFIX,      Termux's: /data/data/com.termux/files/{home,usr},
#   TMPDIR             $PREFIX/tmp; $PREFIX/bin/sh is a shell, first on PATH
#   /tmp, /dev/shm     empty and read-only (Android has neither)
#   /proc              hidepid=invisible: other users' processes are not
#                      there; subset=pid: nor is /proc/net (nor /proc/meminfo
#                      and the like, which Android still shows)
#
# Other apps are other uids on the same 127.0.0.1: the tests talk to a
# server under the profile from outside it (as root, and Chromium as
# another app would), with the access token or without.
#
# /data/data/com.termux/files is ZETADESK_ANDROID_DATA (a directory of the
# caller, handed to the uid) or else a fresh one, removed afterwards.
#
# Not reproduced: bionic (this is glibc), Termux's own builds of Python and
# clang, sys.platform "android" and platform.system() "Android" (CPython
# reports what it was built for: the tests pass those values to our code
# instead), the missing /bin/sh (git and Python's subprocess need it on
# Linux; Python uses /system/bin/sh when built for Android), and the refusals
# of SELinux beyond link (EACCES where this gives ENOENT for /proc/net).
#
#   tools/android-profile.sh CMD [ARG...]
set -euo pipefail
tools=$(cd "$(dirname "$0")" && pwd -P)
repo=$(dirname "$tools")
[ "$(id -u)" = 0 ] || { echo "android-profile: needs root (run it through tools/devenv.sh run)" >&2; exit 2; }
[ $# -gt 0 ] || { echo "usage: $0 CMD [ARG...]" >&2; exit 2; }
uid=${ZETADESK_ANDROID_UID:-10187}
# The tools below from where they are, whatever the caller's PATH; CMD gets
# the caller's, after $PREFIX/bin.
caller_path=$PATH
export PATH=/usr/sbin:/usr/bin:/sbin:/bin

nolink=$repo/${ZETADESK_BUILD_DIR:-build}/android-nolink
if [ ! -x "$nolink" ] || [ "$tools/android/nolink.cpp" -nt "$nolink" ]; then
  mkdir -p "$(dirname "$nolink")"
  ${CXX:-c++} -O2 -Wall -Werror -o "$nolink.$$" "$tools/android/nolink.cpp"
  mv -f "$nolink.$$" "$nolink"
fi

# Read by every interpreter under the profile (its directory first on
# PYTHONPATH).  Written here, not kept as a .py file in the tree: the
# compiled wheel would take that for a module of the application.
site=$(dirname "$nolink")/android-site
mkdir -p "$site"
cat >"$site/sitecustomize.py.$$" <<'PY'
# Termux's Python has no os.link at all.
import os

try:
    del os.link
except AttributeError:
    pass
PY
mv -f "$site/sitecustomize.py.$$" "$site/sitecustomize.py"

data=${ZETADESK_ANDROID_DATA:-}
fresh=
if [ -z "$data" ]; then
  data=$(mktemp -d -t zetadesk-android-XXXXXX)
  fresh=$data
fi

script='
  set -e
  # Nothing mounted here reaches the caller (the namespace of devenv is
  # private already, and inside its chroot / is no mount point).
  mount --make-rprivate / 2>/dev/null || true
  data=$1 uid=$2 site=$3 nolink=$4 path=$5 cwd=$PWD; shift 5
  # A new root on a tmpfs, holding this one by bind mounts: /data exists
  # there only, never on the shared filesystem (where it would make every
  # other program on it look like Termux).
  new=/mnt
  mount -t tmpfs -o mode=0755 tmpfs "$new"
  for entry in /* /.[!.]*; do
    name=${entry#/}
    case $name in proc|tmp|mnt|data|"*"|".[!.]*") continue ;; esac
    if [ -L "$entry" ]; then cp -P "$entry" "$new/$name"
    elif [ -d "$entry" ]; then mkdir "$new/$name"; mount --rbind "$entry" "$new/$name"
    fi
  done
  files=$new/data/data/com.termux/files
  mkdir -p "$files" "$new/proc" "$new/tmp"
  mount --bind "$data" "$files"
  mkdir -p "$files/home" "$files/usr/tmp" "$files/usr/bin"
  ln -sfn /bin/sh "$files/usr/bin/sh"
  chown -R "$uid:$uid" "$files/"
  mount -t tmpfs -o ro,mode=0755 tmpfs "$new/tmp"
  mount -t tmpfs -o ro,mode=0755 tmpfs "$new/dev/shm"
  mount -t proc -o hidepid=invisible,subset=pid proc "$new/proc"
  files=${files#$new}
  cd "$new"
  exec chroot "$new" setpriv --reuid="$uid" --regid="$uid" --clear-groups --inh-caps=-all --bounding-set=-all \
    /usr/bin/env -u USER -u LOGNAME -u MAIL HOME="$files/home" PREFIX="$files/usr" TMPDIR="$files/usr/tmp" \
    PATH="$files/usr/bin:$path" PYTHONPATH="$site${PYTHONPATH:+:$PYTHONPATH}" \
    /bin/sh -c "cd \"\$0\" 2>/dev/null || cd \"\$HOME\"; exec \"\$@\"" "$cwd" "$nolink" "$@"
'
enter=(unshare -m --propagation unchanged /bin/bash -c "$script" android-profile "$data" "$uid" "$site" "$nolink"
       "$caller_path" "$@")
# With the caller's directory, CMD ends up as this very process (a test
# signals it by this pid); a fresh directory is removed afterwards.
[ -n "$fresh" ] || exec "${enter[@]}"
status=0
"${enter[@]}" || status=$?
rm -rf "$fresh"
exit $status
