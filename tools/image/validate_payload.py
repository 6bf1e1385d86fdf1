#!/usr/bin/python3
"""Checks a payload directory (32/ and 64/, one file per catalogue entry each) before it is
embedded, prints what it holds and writes the resource script that embeds it and the payload
record (payload.json).

Exits non-zero naming the offending file when a file is missing or extra, is not a DLL image,
its COM entry points disagree with the catalogue's registration flag, or its machine cannot be
used where it goes: a registered entry must be i386 (the 32-bit regsvr32 registers it), and so
must every file for 32-bit Windows ("32"). An unregistered AMD64 file in "64" is allowed, with a
note. Each registered server's creatable classes are read from its type library (typelib.py)
for the check and the release record; a malformed library, or a CLSID that two servers of one
variant declare, is an error; a server whose classes cannot be listed (no type library, none
creatable) gets a note, and the check keeps to "some class names the file" for it. On failure,
the files given with --remove-on-failure are deleted so that no image built from a stale payload
stays.

A server may declare creatable classes that its DllRegisterServer does not register (a quarter of
Wine's servers do: classes of sibling libraries, as in the msxml versions); the check would find
them missing on every machine. UNREGISTERED_CLASSES in the payload directory lists them, one
"<file name> {CLSID}" a line ("#" starts a comment), and they are left out of what the check
looks up. tools/wine/typelib_vs_registration.py --payload DIR writes it by registering each
server under Wine. A line that names no class the server declares is an error.
"""
import argparse
import collections
import os
import re
import sys

import pefile

import payload_record
import typelib
from catalogue import CATALOGUE  # (BaseName, Extension, Register)
from payload_record import VARIANTS, exports_of, machine_name, resource_name

UNREGISTERED_CLASSES = "unregistered-classes.txt"
COM_ENTRY_POINTS = {"DllRegisterServer", "DllUnregisterServer", "DllGetClassObject",
                    "DllCanUnloadNow", "DllInstall"}

Row = collections.namedtuple("Row", "name path variant file register size sha256 machine "
                                    "exports twin version version_text classes classes_note "
                                    "left_out")


class PayloadError(Exception):
    pass


def check_machine(path, variant, register, machine):
    """Raises PayloadError when the image cannot be loaded where the installer puts it."""
    if register and machine != "i386":
        raise PayloadError(f"{path}: registered entry is an {machine} image; the 32-bit "
                           "regsvr32 that registers it can only load i386 images")
    if variant == "32" and machine != "i386":
        raise PayloadError(f"{path}: {machine} image in the variant for 32-bit Windows, "
                           "which can only load i386 images")
    if machine not in ("i386", "AMD64"):
        raise PayloadError(f"{path}: {machine} image, neither i386 nor AMD64")


def inspect(path, variant, register):
    """Returns (machine, exports, (version, version text), (classes, note)) of one payload file
    or raises PayloadError naming it. classes: [(CLSID, name)] a server's type library declares
    creatable, or None with the note saying why they are unknown."""
    try:
        pe = pefile.PE(path, fast_load=True)
    except pefile.PEFormatError as error:
        raise PayloadError(f"{path}: not a PE image ({error})")
    try:
        if not pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"]:
            raise PayloadError(f"{path}: not a DLL image (DLL flag not set)")
        machine = machine_name(pe)
        check_machine(path, variant, register, machine)
        exports = exports_of(pe)
        version = payload_record.file_version(pe)
        classes = typelib.server_classes(pe) if register else (None, None)
    except typelib.TypeLibError as error:
        raise PayloadError(f"{path}: {error}")
    finally:
        pe.close()
    if register and "DllRegisterServer" not in exports:
        raise PayloadError(f"{path}: registered entry does not export DllRegisterServer")
    if not register and COM_ENTRY_POINTS.intersection(exports):
        found = ", ".join(sorted(COM_ENTRY_POINTS.intersection(exports)))
        raise PayloadError(f"{path}: unregistered entry exports COM entry points ({found})")
    return machine, exports, version, classes


def read_unregistered(payload_dir):
    """{(file name in lower case, CLSID)} of UNREGISTERED_CLASSES; none when there is none."""
    path = os.path.join(payload_dir, UNREGISTERED_CLASSES)
    if not os.path.isfile(path):
        return set()
    listed = set()
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            fields = line.split("#", 1)[0].split()
            if not fields:
                continue
            if len(fields) != 2 or not re.fullmatch(r"\{[0-9A-Fa-f-]{36}\}", fields[1]):
                raise PayloadError(f"{path}:{number}: not \"<file name> {{CLSID}}\"")
            listed.add((fields[0].lower(), fields[1].upper()))
    return listed


def leave_out_unregistered(rows, listed, payload_dir):
    """The rows without the classes their servers do not register."""
    declared = {(r.file.lower(), clsid) for r in rows for clsid, _ in r.classes or ()}
    for file_name, clsid in sorted(listed - declared):
        raise PayloadError(f"{os.path.join(payload_dir, UNREGISTERED_CLASSES)}: {file_name} "
                           f"declares no creatable class {clsid}")
    kept = []
    for r in rows:
        classes = [(c, n) for c, n in r.classes or () if (r.file.lower(), c) not in listed]
        if r.classes is not None and not classes:
            r = r._replace(classes_note="it registers none of the classes it declares "
                                        f"({UNREGISTERED_CLASSES})")
        kept.append(r._replace(classes=classes or None, left_out=[
            c for c, _ in r.classes or () if (r.file.lower(), c) in listed]))
    return kept


def check_class_owners(rows):
    """Raises PayloadError when two servers of one variant declare the same class: each would
    register it over the other's, and the check would find one of them unregistered."""
    owners = {}
    for r in rows:
        for clsid, _ in r.classes or ():
            other = owners.setdefault((r.variant, clsid), r.path)
            if other != r.path:
                raise PayloadError(f"{r.path}: CLSID {clsid} declared twice, also by {other}")


def check_directory(payload_dir):
    """Validates the directory; returns its Rows in installation order."""
    expected = {v: {b + e for b, e, _ in CATALOGUE} for v in VARIANTS}
    for variant in VARIANTS:
        folder = os.path.join(payload_dir, variant)
        present = set(os.listdir(folder)) if os.path.isdir(folder) else set()
        for extra in sorted(present - expected[variant]):
            raise PayloadError(f"{os.path.join(folder, extra)}: extra file, not in the catalogue")
        for missing in sorted(expected[variant] - present):
            raise PayloadError(f"{os.path.join(folder, missing)}: missing")
    rows = []
    for variant, base, ext, register in payload_record.catalogue_order():
        path = os.path.join(payload_dir, variant, base + ext)
        if not os.path.isfile(path):
            raise PayloadError(f"{path}: not a regular file")
        machine, exports, (version, version_text), (classes, note) = inspect(path, variant,
                                                                             register)
        # Read once, in chunks: no file is held whole in memory.
        size, sha256 = payload_record.size_and_sha256(path)
        rows.append(Row(resource_name(variant, base), path, variant, base + ext, register,
                        size, sha256, machine, len(exports), None, version, version_text,
                        classes, note, []))
    rows = leave_out_unregistered(rows, read_unregistered(payload_dir), payload_dir)
    check_class_owners(rows)
    # Twins: the same bytes as the file of the other variant.
    digests = {(r.variant, r.file): (r.size, r.sha256) for r in rows}
    other = {"32": "64", "64": "32"}
    return [r._replace(twin="twin" if digests[r.variant, r.file]
                       == digests[other[r.variant], r.file] else "differs")
            for r in rows]


def notes(rows):
    """What the build should know about a sound payload: AMD64 libraries that only 64-bit
    processes can load (the installer puts them into SysWOW64, the 32-bit system directory), and
    servers whose classes are unknown."""
    return ([f"note: {r.variant}/{r.file} is an AMD64 image: 32-bit processes cannot load it "
             "from SysWOW64" for r in rows if r.machine == "AMD64"] +
            [f"note: {r.variant}/{r.file}: {r.classes_note}, so its classes are unknown: the "
             "check counts it registered when any class names it" for r in rows
             if r.register and r.classes is None] +
            [f"note: {r.variant}/{r.file}: {clsid} is declared creatable but not registered by "
             f"it ({UNREGISTERED_CLASSES}): the check does not look it up"
             for r in rows for clsid in r.left_out])


def print_table(rows, out=None):
    out = out or sys.stdout
    out.write(f"{'resource':<24}{'bytes':>12}  {'machine':<8}{'exports':>8}  {'twin':<9}"
              f"{'version':<17}sha256\n")
    for r in rows:
        out.write(f"{r.name:<24}{r.size:>12,}  {r.machine:<8}{r.exports:>8}  {r.twin:<9}"
                  f"{r.version or '-':<17}{r.sha256[:12]}\n")
    out.write(f"{'total':<24}{sum(r.size for r in rows):>12,}\n")
    out.write("classes the servers' type libraries declare creatable (the check looks up each):\n")
    for r in rows:
        for clsid, name in r.classes or ():
            out.write(f"  {clsid}  {r.name:<22}{name}\n")
    for line in notes(rows):
        out.write(line + "\n")


def record_entries(rows):
    """The payload record's entries, in the order of the rows (installation order)."""
    return [{"resource": r.name, "variant": r.variant, "file": r.file, "register": r.register,
             "size": r.size, "sha256": r.sha256, "machine": r.machine, "exports": r.exports,
             "twin": r.twin, "file_version": r.version, "file_version_text": r.version_text,
             "classes": None if r.classes is None else
             [{"clsid": clsid, "name": name} for clsid, name in r.classes],
             "classes_note": r.classes_note, "classes_not_registered": r.left_out}
            for r in rows]


def rc_text(entries):
    """Resource script for the payload, from (resource name, file path) pairs. windres glues a
    quoted name to the next line's name after a quoted file name, so every entry gets its own
    LANGUAGE statement."""
    lines = ["/* Generated from the payload directory; do not edit. */"]
    for name, path in entries:
        quoted = os.path.abspath(path).replace("\\", "\\\\").replace('"', '\\"')
        lines.append("LANGUAGE LANG_PORTUGUESE, SUBLANG_PORTUGUESE_BRAZILIAN")
        lines.append(f'"{name}" RCDATA "{quoted}"')
    return "\n".join(lines) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("payload_dir")
    parser.add_argument("--rc", help="write the payload resource script here")
    parser.add_argument("--json", help="write the payload record here")
    parser.add_argument("--remove-on-failure", nargs="*", default=[], metavar="FILE")
    args = parser.parse_args(argv)
    try:
        rows = check_directory(args.payload_dir)
    except (PayloadError, OSError) as error:
        outputs = [p for p in (args.rc, args.json) if p]
        for stale in args.remove_on_failure + outputs:
            if os.path.exists(stale):
                os.remove(stale)
        sys.stderr.write(f"payload validation failed: {error}\n")
        return 1
    by_name = sorted(rows, key=lambda r: r.name)  # the table and the script list resources by name
    print_table(by_name)
    if args.json:
        payload_record.write(args.json, record_entries(rows))
    if args.rc:
        temp = args.rc + ".tmp"
        with open(temp, "w", encoding="ascii") as f:
            f.write(rc_text((r.name, r.path) for r in by_name))
        os.replace(temp, args.rc)
    return 0


if __name__ == "__main__":
    sys.exit(main())
