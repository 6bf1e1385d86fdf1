"""Facts about payload images and the payload record (payload.json) that the validation writes.

The record lists every payload resource in installation order (variant "32", then "64", each in
catalogue order) with its file name, size, SHA-256, machine, export count, twin status and file
version. The check program's digest table and the release record are made from it.
"""
import hashlib
import json
import os

import pefile

from catalogue import CATALOGUE  # (BaseName, Extension, Register)

VARIANTS = ("32", "64")
MACHINES = {0x14C: "i386", 0x8664: "AMD64"}
FORMAT = "setup_vannix payload record 2"


def resource_name(variant, base_name):
    return f"{variant}_{base_name.upper()}"


def machine_name(pe):
    return MACHINES.get(pe.FILE_HEADER.Machine, hex(pe.FILE_HEADER.Machine))


def exports_of(pe):
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]])
    if not hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        return []
    return [s.name.decode("ascii", "replace") for s in pe.DIRECTORY_ENTRY_EXPORT.symbols if s.name]


def file_version(pe):
    """(fixed, text) of the image's version resource: "a.b.c.d" from VS_FIXEDFILEINFO and the
    first StringFileInfo "FileVersion" value; None for what the image does not have."""
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    fixed = text = None
    for info in getattr(pe, "VS_FIXEDFILEINFO", [])[:1]:
        ms, ls = info.FileVersionMS, info.FileVersionLS
        fixed = f"{ms >> 16}.{ms & 0xFFFF}.{ls >> 16}.{ls & 0xFFFF}"
    tables = [table for infos in getattr(pe, "FileInfo", []) for block in infos
              if block.Key == b"StringFileInfo" for table in block.StringTable]
    values = [t.entries[b"FileVersion"] for t in tables if b"FileVersion" in t.entries]
    if values:
        text = values[0].decode("utf-8", "replace")
    return fixed, text


def sha256_of(data):
    return hashlib.sha256(data).hexdigest()


def size_and_sha256(path, chunk=1 << 20):
    """(size, SHA-256) of a file, read in chunks."""
    digest, size = hashlib.sha256(), 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(chunk), b""):
            digest.update(block)
            size += len(block)
    return size, digest.hexdigest()


def catalogue_order():
    """[(variant, BaseName, Extension, Register)] in installation order."""
    return [(v, b, e, r) for v in VARIANTS for b, e, r in CATALOGUE]


def write(path, entries):
    """Writes the record atomically; entries are dicts as validate_payload makes them."""
    temp = path + ".tmp"
    with open(temp, "w", encoding="ascii") as f:
        json.dump({"format": FORMAT, "payload": entries}, f, indent=2)
        f.write("\n")
    os.replace(temp, path)


def load(path):
    """The record's entries, checked to be the catalogue in installation order."""
    with open(path, encoding="ascii") as f:
        record = json.load(f)
    if record.get("format") != FORMAT:
        raise ValueError(f"{path}: not a payload record ({record.get('format')!r})")
    entries = record["payload"]
    found = [(e["variant"], e["file"]) for e in entries]
    expected = [(v, b + e) for v, b, e, _ in catalogue_order()]
    if found != expected:
        raise ValueError(f"{path}: entries are not the catalogue in installation order")
    return entries
