#!/usr/bin/python3
"""Prints the payload resources (RT_RCDATA) of a built installer image: name, language, bytes,
machine, file version and the first 12 hex digits of the SHA-256."""
import sys

import pefile

from payload_record import file_version, machine_name, sha256_of


def payload_entries(pe):
    """Yields (name, language, file offset, size) of every named RT_RCDATA resource, in
    directory order, without reading the data."""
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if type_entry.id != pefile.RESOURCE_TYPE["RT_RCDATA"]:
            continue
        for name_entry in type_entry.directory.entries:
            if name_entry.name is None:
                continue
            for lang_entry in name_entry.directory.entries:
                data = lang_entry.data.struct
                yield (str(name_entry.name), lang_entry.id,
                       pe.get_offset_from_rva(data.OffsetToData), data.Size)


def payload_resources(pe):
    """Yields (name, language, bytes) of every named RT_RCDATA resource, in directory order."""
    for name, language, offset, size in payload_entries(pe):
        yield name, language, pe.__data__[offset:offset + size]


def facts_of(data):
    """(machine, file version) of an embedded file; "not PE" and None when it is no image."""
    try:
        pe = pefile.PE(data=data, fast_load=True)
    except pefile.PEFormatError:
        return "not PE", None
    return machine_name(pe), file_version(pe)[0]


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: print_payload.py IMAGE.exe")
    pe = pefile.PE(argv[1], fast_load=True)
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    total = 0
    print(f"{'resource':<24}{'lang':>6}{'bytes':>12}  {'machine':<9}{'version':<17}sha256")
    for name, lang, data in payload_resources(pe):
        total += len(data)
        machine, version = facts_of(data)
        print(f"{name:<24}{lang:>6}{len(data):>12,}  {machine:<9}{version or '-':<17}"
              f"{sha256_of(data)[:12]}")
    print(f"{'total':<30}{total:>12,}")


if __name__ == "__main__":
    main(sys.argv)
