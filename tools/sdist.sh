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
tools/build.sh --target zetadesk_setup >/dev/null
# egg-info is setuptools' scratch here; the package carries its own copy.
trap 'rm -rf zetadesk.egg-info' EXIT
python3.14 setup.py -q sdist --formats gztar --dist-dir "$dist"
# The same bytes from every build of one commit: setuptools' archive has the
# checkout's file times, owners and the time of packing.
# Rewritten in name order, every time SOURCE_DATE_EPOCH, owner root (no
# names), modes 0644 or 0755, a gzip header without file name or time.  (A
# Python file here would be one more module for the compiled wheel.)
[ -z "${SOURCE_DATE_EPOCH:-}" ] || python3.14 - "$dist"/zetadesk-*.tar.gz <<'EOF'
import gzip, io, os, sys, tarfile

epoch = int(os.environ["SOURCE_DATE_EPOCH"])
for path in sys.argv[1:]:
    with tarfile.open(path) as src:
        members = sorted(((m, src.extractfile(m).read() if m.isfile() else None) for m in src.getmembers()),
                         key=lambda entry: entry[0].name)
    tar = io.BytesIO()
    with tarfile.open(fileobj=tar, mode="w", format=tarfile.PAX_FORMAT) as out:
        for member, data in members:
            member.mtime, member.uid, member.gid, member.uname, member.gname = epoch, 0, 0, "", ""
            member.mode = 0o755 if member.isdir() or member.mode & 0o111 else 0o644
            member.pax_headers = {}
            out.addfile(member, io.BytesIO(data) if data is not None else None)
    with open(path + ".tmp", "wb") as f, gzip.GzipFile(filename="", mode="wb", fileobj=f, mtime=epoch) as gz:
        gz.write(tar.getvalue())
    os.replace(path + ".tmp", path)
EOF
ls -l "$dist"/zetadesk-*.tar.gz
