"""The resource section of a PE image: its directory tree read into a list of resources, and a
new section laid out from such a list the way GNU ld lays it out (binutils 2.40): the directory
tables depth-first, the name strings, the data entries, then the data, each datum 8-byte aligned.
Only the head of the section is built in memory; the caller writes each datum at its offset, so
that large data can be streamed from files."""
import struct
from dataclasses import dataclass
from typing import Optional, Union

RT_RCDATA = 10

_TABLE = struct.Struct("<IIHHHH")  # Characteristics, TimeDateStamp, versions, named and id counts
_ENTRY = struct.Struct("<II")  # name (offset | 0x80000000) or id, offset (| 0x80000000: a table)
_DATA = struct.Struct("<IIII")  # data RVA, size, code page, reserved
_HIGH = 0x80000000
_ALIGN = 8


class ResourceError(Exception):
    pass


@dataclass
class Resource:
    type: Union[int, str]
    name: Union[int, str]
    language: int
    size: int
    codepage: int = 0
    data: Optional[bytes] = None  # the datum, or None when it is read from `path`
    path: Optional[str] = None


@dataclass
class Layout:
    head: bytes  # tables, strings and data entries: the section's first bytes
    places: list  # [(Resource, offset of its datum in the section)]
    size: int  # the section's size (virtual size), a multiple of 8


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def read(section, rva):
    """The resources of a resource section (bytes) loaded at `rva`, in directory order."""

    def table(offset, depth, path):
        if depth > 2 or offset + _TABLE.size > len(section):
            raise ResourceError(f"resource table at {offset:#x} out of bounds")
        _, _, _, _, named, ids = _TABLE.unpack_from(section, offset)
        found = []
        for i in range(named + ids):
            key, target = _ENTRY.unpack_from(section, offset + _TABLE.size + i * _ENTRY.size)
            if key & _HIGH:
                at = key & ~_HIGH
                (length,) = struct.unpack_from("<H", section, at)
                key = section[at + 2:at + 2 + 2 * length].decode("utf-16-le")
            if target & _HIGH:
                found += table(target & ~_HIGH, depth + 1, path + [key])
                continue
            if depth != 2:
                raise ResourceError(f"resource datum at depth {depth}")
            data_rva, size, codepage, _ = _DATA.unpack_from(section, target)
            start = data_rva - rva
            if start < 0 or start + size > len(section):
                raise ResourceError(f"resource {path + [key]} outside the section")
            found.append(Resource(path[0], path[1], key, size, codepage,
                                  data=bytes(section[start:start + size])))
        return found

    return table(0, 0, [])


def _order(key):
    """Named entries first, by name; then numbered ones, by number."""
    return (0, key, 0) if isinstance(key, str) else (1, "", key)


def layout(resources, rva):
    """Lays out a resource section holding `resources`, to be loaded at `rva`."""
    tree = {}
    for res in resources:
        languages = tree.setdefault(res.type, {}).setdefault(res.name, {})
        if res.language in languages:
            raise ResourceError(f"duplicate resource {res.type}/{res.name}/{res.language}")
        languages[res.language] = res

    def sort(level):
        return [(k, level[k]) for k in sorted(level, key=_order)]

    # Depth-first: each table, then the tables below it, in entry order.
    tables = []  # (offset, [(key, child)]): a child is a level (dict) or a Resource
    table_at = {}  # id(level) -> offset of its table

    def place_tables(level, offset):
        entries = sort(level)
        tables.append((offset, entries))
        table_at[id(level)] = offset
        offset += _TABLE.size + _ENTRY.size * len(entries)
        for _, child in entries:
            if isinstance(child, dict):
                offset = place_tables(child, offset)
        return offset

    strings_at = place_tables(tree, 0)
    strings = bytearray()
    string_at = {}
    leaves = []
    for _, entries in tables:
        for key, child in entries:
            if isinstance(key, str) and key not in string_at:
                string_at[key] = strings_at + len(strings)
                encoded = key.encode("utf-16-le")
                strings += struct.pack("<H", len(encoded) // 2) + encoded
            if isinstance(child, Resource):
                leaves.append(child)

    entries_at = align(strings_at + len(strings), _ALIGN)
    data_at = entries_at + _DATA.size * len(leaves)
    places = []
    offset = data_at
    for res in leaves:
        offset = align(offset, _ALIGN)
        places.append((res, offset))
        offset += res.size
    size = align(offset, _ALIGN)

    head = bytearray(data_at)
    leaf_index = {id(res): i for i, res in enumerate(leaves)}
    for offset, entries in tables:
        named = sum(isinstance(k, str) for k, _ in entries)
        _TABLE.pack_into(head, offset, 0, 0, 0, 0, named, len(entries) - named)
        for i, (key, child) in enumerate(entries):
            name = string_at[key] | _HIGH if isinstance(key, str) else key
            if isinstance(child, dict):
                target = table_at[id(child)] | _HIGH
            else:
                target = entries_at + _DATA.size * leaf_index[id(child)]
            _ENTRY.pack_into(head, offset + _TABLE.size + i * _ENTRY.size, name, target)
    head[strings_at:strings_at + len(strings)] = strings
    for i, (res, datum_at) in enumerate(places):
        _DATA.pack_into(head, entries_at + _DATA.size * i, rva + datum_at, res.size,
                        res.codepage, 0)
    return Layout(bytes(head), places, size)
