#!/usr/bin/python3
"""Checks a payload directory (32/ and 64/, one file per catalogue entry each) before it is
embedded, prints what it holds and writes the resource script that embeds it.

Exits non-zero naming the offending file when a file is missing or extra, is not a DLL image,
or its COM entry points disagree with the catalogue's registration flag. On failure, the files
given with --remove-on-failure are deleted so that no image built from a stale payload stays.
"""
import argparse
import filecmp
import os
import sys

import pefile

from catalogue import CATALOGUE  # (BaseName, Extension, Register)

VARIANTS = ("32", "64")
COM_ENTRY_POINTS = {"DllRegisterServer", "DllUnregisterServer", "DllGetClassObject",
                    "DllCanUnloadNow", "DllInstall"}
MACHINES = {0x14C: "i386", 0x8664: "AMD64"}


class PayloadError(Exception):
    pass


def resource_name(variant, base_name):
    return f"{variant}_{base_name.upper()}"


def exports_of(pe):
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    if not hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        return []
    return [s.name.decode("ascii", "replace") for s in pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name]


def machine_name(pe):
    return MACHINES.get(pe.FILE_HEADER.Machine, hex(pe.FILE_HEADER.Machine))


def inspect(path, register):
    """Returns (machine, exports) of one payload file or raises PayloadError naming it."""
    try:
        pe = pefile.PE(path, fast_load=True)
    except pefile.PEFormatError as error:
        raise PayloadError(f"{path}: not a PE image ({error})")
    if not pe.FILE_HEADER.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"]:
        raise PayloadError(f"{path}: not a DLL image (DLL flag not set)")
    exports = exports_of(pe)
    machine = machine_name(pe)
    pe.close()
    if register and "DllRegisterServer" not in exports:
        raise PayloadError(f"{path}: registered entry does not export DllRegisterServer")
    if not register and COM_ENTRY_POINTS.intersection(exports):
        found = ", ".join(sorted(COM_ENTRY_POINTS.intersection(exports)))
        raise PayloadError(f"{path}: unregistered entry exports COM entry points ({found})")
    return machine, exports


def check_directory(payload_dir):
    """Validates the directory; returns rows (name, path, bytes, machine, exports, twin)."""
    expected = {v: {b + e for b, e, _ in CATALOGUE} for v in VARIANTS}
    for variant in VARIANTS:
        folder = os.path.join(payload_dir, variant)
        present = set(os.listdir(folder)) if os.path.isdir(folder) else set()
        for extra in sorted(present - expected[variant]):
            raise PayloadError(f"{os.path.join(folder, extra)}: extra file, not in the catalogue")
        for missing in sorted(expected[variant] - present):
            raise PayloadError(f"{os.path.join(folder, missing)}: missing")
    rows = []
    for variant in VARIANTS:
        for base, ext, register in CATALOGUE:
            path = os.path.join(payload_dir, variant, base + ext)
            if not os.path.isfile(path):
                raise PayloadError(f"{path}: not a regular file")
            machine, exports = inspect(path, register)
            other = os.path.join(payload_dir, "64" if variant == "32" else "32", base + ext)
            # Sizes first, then the bytes in chunks: no file is held whole in memory.
            twin = "twin" if filecmp.cmp(path, other, shallow=False) else "differs"
            rows.append((resource_name(variant, base), path, os.path.getsize(path), machine,
                         len(exports), twin))
    return sorted(rows)


def print_table(rows, out=sys.stdout):
    out.write(f"{'resource':<24}{'bytes':>12}  {'machine':<8}{'exports':>8}  twin\n")
    for name, _, size, machine, exports, twin in rows:
        out.write(f"{name:<24}{size:>12,}  {machine:<8}{exports:>8}  {twin}\n")
    out.write(f"{'total':<24}{sum(r[2] for r in rows):>12,}\n")


def rc_text(rows):
    """Resource script for the payload. windres glues a quoted name to the next line's name
    after a quoted file name, so every entry gets its own LANGUAGE statement."""
    lines = ["/* Generated from the payload directory; do not edit. */"]
    for name, path, *_ in rows:
        quoted = os.path.abspath(path).replace("\\", "\\\\").replace('"', '\\"')
        lines.append("LANGUAGE LANG_PORTUGUESE, SUBLANG_PORTUGUESE_BRAZILIAN")
        lines.append(f'"{name}" RCDATA "{quoted}"')
    return "\n".join(lines) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("payload_dir")
    parser.add_argument("--rc", help="write the payload resource script here")
    parser.add_argument("--remove-on-failure", nargs="*", default=[], metavar="FILE")
    args = parser.parse_args(argv)
    try:
        rows = check_directory(args.payload_dir)
    except (PayloadError, OSError) as error:
        for stale in args.remove_on_failure + ([args.rc] if args.rc else []):
            if os.path.exists(stale):
                os.remove(stale)
        sys.stderr.write(f"payload validation failed: {error}\n")
        return 1
    print_table(rows)
    if args.rc:
        temp = args.rc + ".tmp"
        with open(temp, "w", encoding="ascii") as f:
            f.write(rc_text(rows))
        os.replace(temp, args.rc)
    return 0


if __name__ == "__main__":
    sys.exit(main())
