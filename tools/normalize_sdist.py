"""Rewrites source packages (.tar.gz) so that they depend on nothing but
their files' contents and SOURCE_DATE_EPOCH: members in name order, every
time SOURCE_DATE_EPOCH, owner root (no names), modes 0644 or 0755, and the
gzip header without file name or time.

    SOURCE_DATE_EPOCH=... python3.14 tools/normalize_sdist.py FILE.tar.gz...
"""

import gzip
import io
import os
import sys
import tarfile


def normalize(path, epoch):
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
    with open(path + ".tmp", "wb") as f:
        with gzip.GzipFile(filename="", mode="wb", fileobj=f, mtime=epoch) as gz:
            gz.write(tar.getvalue())
    os.replace(path + ".tmp", path)


if __name__ == "__main__":
    for arg in sys.argv[1:]:
        normalize(arg, int(os.environ["SOURCE_DATE_EPOCH"]))
