#!/usr/bin/env python3
"""Checks what the native artefacts export to the dynamic linker.

    python3 tests/check_exports.py FILE_OR_WHEEL...

An extension module (NAME.<tag>.so) must export PyInit_NAME and nothing
else; any other ELF file (the helper program) nothing but `main`.  A stray
export can bind to another library's copy of the same symbol, so it is an
error, whatever it is.  Wheels are opened and every ELF file in them is
checked but the host modules that the compiled build has Cython make
(their exports are Cython's, not this tree's).  Data symbols that the program takes over from a library it needs
(copy relocations: defined here, versioned by that library) are the
library's, not exports of ours.  Exits 1 and lists each offence; ELF only
(Linux, Android, the BSDs), any machine or byte order.
"""

import os
import struct
import sys
import zipfile

SHT_DYNSYM = 11
SHT_GNU_VERNEED = 0x6FFFFFFE
SHT_GNU_VERSYM = 0x6FFFFFFF
STB_LOCAL = 0
STT_SECTION, STT_FILE = 3, 4
STV_DEFAULT, STV_PROTECTED = 0, 3


class NotElf(ValueError):
    pass


def exported_symbols(data):
    """Names of the symbols `data` (an ELF image) exports."""
    if data[:4] != b"\x7fELF":
        raise NotElf("not an ELF file")
    wide = data[4] == 2
    end = "<" if data[5] == 1 else ">"
    if wide:
        shoff, = struct.unpack_from(end + "Q", data, 0x28)
        shentsize, shnum = struct.unpack_from(end + "HH", data, 0x3A)
        section = struct.Struct(end + "IIQQQQIIQQ")
        symbol = struct.Struct(end + "IBBHQQ")
    else:
        shoff, = struct.unpack_from(end + "I", data, 0x20)
        shentsize, shnum = struct.unpack_from(end + "HH", data, 0x2E)
        section = struct.Struct(end + "IIIIIIIIII")
        symbol = struct.Struct(end + "IIIBBH")
    sections = [section.unpack_from(data, shoff + i * shentsize) for i in range(shnum)]

    def body(s):  # sh_offset, sh_size
        return data[s[4]:s[4] + s[5]]

    def string(table, at):
        return table[at:table.index(b"\0", at)].decode("utf-8", "replace")

    dynsym = next((s for s in sections if s[1] == SHT_DYNSYM), None)
    if dynsym is None:
        return []
    names = body(sections[dynsym[6]])
    versym = next((body(s) for s in sections if s[1] == SHT_GNU_VERSYM), b"")
    # Version indexes that name a version of a needed library.
    from_libraries = set()
    for s in sections:
        if s[1] != SHT_GNU_VERNEED:
            continue
        table, at = body(s), 0
        while True:
            _, count, _, aux, following = struct.unpack_from(end + "HHIII", table, at)
            entry = at + aux
            for _ in range(count):
                _, _, other, _, next_aux = struct.unpack_from(end + "IHHII", table, entry)
                from_libraries.add(other & 0x7FFF)
                entry += next_aux
            if not following:
                break
            at += following
    found = []
    table = body(dynsym)
    for i in range(1, len(table) // symbol.size):
        fields = symbol.unpack_from(table, i * symbol.size)
        if wide:
            name_at, info, other, shndx = fields[0], fields[1], fields[2], fields[3]
        else:
            name_at, info, other, shndx = fields[0], fields[3], fields[4], fields[5]
        if shndx == 0 or info >> 4 == STB_LOCAL or info & 0xF in (STT_SECTION, STT_FILE):
            continue
        if other & 3 not in (STV_DEFAULT, STV_PROTECTED):
            continue
        if len(versym) >= 2 * i + 2 and struct.unpack_from(end + "H", versym, 2 * i)[0] & 0x7FFF in from_libraries:
            continue  # a copy relocation of a library's data
        found.append(string(names, name_at))
    return found


def allowed(name):
    """The exports an artefact called `name` must have, and whether all of them are required."""
    base = os.path.basename(name)
    stem, dot, rest = base.partition(".")
    if dot and (rest.endswith(("so", "pyd")) or ".so." in base):
        return {"PyInit_" + stem}, True
    return {"main"}, False


def offences(name, data, label=None):
    """What is wrong with the exports of the ELF image `data` called `name`
    (reported as `label`)."""
    want, required = allowed(name)
    got = exported_symbols(data)
    name = label or name
    problems = [f"{name}: exports {symbol}" for symbol in sorted(set(got) - want)]
    if required:
        problems += [f"{name}: does not export {symbol}" for symbol in sorted(want - set(got))]
    return problems


# The native core's own modules; any other extension module in a wheel is a
# host module compiled by Cython.
OWN_MODULES = {"opsdeck", "git_credential_zetadesk", "zetadesk_setup"}


def cython_made(member):
    want, is_module = allowed(member)
    return is_module and want.isdisjoint("PyInit_" + m for m in OWN_MODULES)


def check(path):
    """Offences of one file, or of every ELF file of a wheel."""
    if path.endswith(".whl"):
        problems, seen = [], 0
        with zipfile.ZipFile(path) as wheel:
            for member in wheel.namelist():
                data = wheel.read(member)
                if data[:4] == b"\x7fELF" and not cython_made(member):
                    seen += 1
                    problems += offences(member, data, f"{path}:{member}")
        return problems, seen
    with open(path, "rb") as f:
        return offences(path, f.read()), 1


def main(argv):
    if not argv:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    problems, seen = [], 0
    for path in argv:
        try:
            found, count = check(path)
        except (OSError, NotElf, struct.error, zipfile.BadZipFile) as e:
            found, count = [f"{path}: {e}"], 0
        problems += found
        seen += count
    for problem in problems:
        print(problem, file=sys.stderr)
    if problems:
        return 1
    print(f"exports: {seen} ELF file(s) checked, each exports only its entry point")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
