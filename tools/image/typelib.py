"""The creatable classes of a COM server, read from its type libraries (its TYPELIB resources) in
the MSFT format that MIDL, widl and the Delphi and C++Builder tools write.

An MSFT library is a fixed header, one offset per type description, a directory of fifteen
segments (offset and length each, from the start of the library), then the segments. Of them
this reads three: the type descriptions (0x64 bytes each: its kind in the low nibble of the first
field, the offset of its GUID at 0x2C, its TYPEFLAGS at 0x30, the offset of its name at 0x34),
the GUID table (24 bytes an entry: the GUID, then two hash links) and the name table (an entry is
three 32-bit fields, the low byte of the third the name's length, then the name, padded to four
bytes). Every offset is checked against the data: a truncated or malformed library is an error.
"""
import struct
import uuid

import pefile

MSFT_MAGIC = b"MSFT"
SLTG_MAGIC = b"SLTG"
MSFT_VERSION = 0x00010002
TKIND_COCLASS = 5
TYPEFLAG_FCANCREATE = 0x2
HELPDLLFLAG = 0x100

_HEADER = struct.Struct("<4sIiiiiiiiiiiiiiiiiiii")  # 0x54 bytes
_SEGMENT = struct.Struct("<iiii")  # offset, length, two reserved fields
_SEGMENTS = 15
_TYPEINFO_SIZE = 0x64
_GUID_ENTRY_SIZE = 24
TYPEINFO_SEGMENT, GUID_SEGMENT, NAME_SEGMENT = 0, 5, 7


class TypeLibError(Exception):
    pass


class UnreadableFormat(Exception):
    """A library in a format other than MSFT (SLTG): sound, but its classes are not read."""


def _segment(data, directory, index, what):
    offset, length, _, _ = _SEGMENT.unpack_from(data, directory + index * _SEGMENT.size)
    if length == 0:
        return 0, 0
    if offset < 0 or length < 0 or offset + length > len(data):
        raise TypeLibError(f"{what} segment ({offset:#x}, {length} bytes) lies outside the "
                           f"library's {len(data)} bytes")
    return offset, length


def classes_of_library(data):
    """[(CLSID "{...}" in upper case, name)] of the creatable coclasses of one library (bytes),
    in declaration order. Raises TypeLibError when the data is no sound MSFT library and
    UnreadableFormat when it is an SLTG library."""
    if data[:4] == SLTG_MAGIC:
        raise UnreadableFormat("an SLTG type library")
    if len(data) < _HEADER.size:
        raise TypeLibError(f"{len(data)} bytes, shorter than a type library's header")
    header = _HEADER.unpack_from(data)
    magic, version, count, varflags = header[0], header[1], header[8], header[5]
    if magic != MSFT_MAGIC or version != MSFT_VERSION:
        raise TypeLibError("not an MSFT type library (its header starts with %r)" % data[:8])
    directory = _HEADER.size + (4 if varflags & HELPDLLFLAG else 0) + 4 * max(count, 0)
    if count < 0 or directory + _SEGMENTS * _SEGMENT.size > len(data):
        raise TypeLibError(f"truncated: {len(data)} bytes cannot hold {count} type "
                           "descriptions and the segment directory")
    infos, infos_length = _segment(data, directory, TYPEINFO_SEGMENT, "type description")
    guids, guids_length = _segment(data, directory, GUID_SEGMENT, "GUID")
    names, names_length = _segment(data, directory, NAME_SEGMENT, "name")
    if infos_length < count * _TYPEINFO_SIZE:
        raise TypeLibError(f"{count} type descriptions, but their segment has "
                           f"{infos_length} bytes")
    found = []
    for i in range(count):
        at = infos + i * _TYPEINFO_SIZE
        kind = struct.unpack_from("<i", data, at)[0] & 0xF
        position, flags, name_at = struct.unpack_from("<iii", data, at + 0x2C)
        if kind != TKIND_COCLASS or not flags & TYPEFLAG_FCANCREATE:
            continue
        if position < 0 or position % _GUID_ENTRY_SIZE or position + 16 > guids_length:
            raise TypeLibError(f"type description {i}: GUID offset {position:#x} outside the "
                               f"GUID table ({guids_length} bytes)")
        clsid = "{%s}" % str(uuid.UUID(bytes_le=bytes(data[guids + position:
                                                          guids + position + 16]))).upper()
        if name_at < 0 or name_at + 12 > names_length:
            raise TypeLibError(f"type description {i}: name offset {name_at:#x} outside the "
                               f"name table ({names_length} bytes)")
        length = data[names + name_at + 8]
        if name_at + 12 + length > names_length:
            raise TypeLibError(f"type description {i}: its name runs past the name table")
        name = bytes(data[names + name_at + 12:names + name_at + 12 + length]).decode("latin-1")
        found.append((clsid, name))
    return found


def typelib_resources(pe):
    """The data of every TYPELIB resource of a parsed image, by resource id then language."""
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    found = []
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for type_entry in directory.entries if directory else []:
        if type_entry.name is None or str(type_entry.name) != "TYPELIB":
            continue
        for name_entry in type_entry.directory.entries:
            for lang_entry in name_entry.directory.entries:
                entry = lang_entry.data.struct
                data = pe.get_data(entry.OffsetToData, entry.Size)
                if len(data) != entry.Size:
                    raise TypeLibError(f"TYPELIB {name_entry.id or name_entry.name}: its "
                                       f"{entry.Size} bytes run past the end of the file")
                found.append((name_entry.id or str(name_entry.name), data))
    return found


def server_classes(pe):
    """(classes, reason) of a COM server: classes is [(CLSID, name)] of the creatable coclasses
    its type libraries declare, or None with the reason when they cannot be known (no type
    library, none creatable, a library in another format). Raises TypeLibError, naming the
    library, when one is malformed or declares a CLSID twice. A class that two of the server's
    libraries declare (two versions of one library, as vbscript.dll has) is listed once."""
    libraries = typelib_resources(pe)
    if not libraries:
        return None, "no type library"
    classes = {}
    for resource, data in libraries:
        try:
            declared = classes_of_library(data)
        except UnreadableFormat as error:
            return None, f"TYPELIB {resource} is {error}, which the build does not read"
        except (TypeLibError, struct.error) as error:
            raise TypeLibError(f"TYPELIB {resource}: {error}")
        names = {}
        for clsid, name in declared:
            if clsid in names:
                raise TypeLibError(f"TYPELIB {resource}: CLSID {clsid} declared twice "
                                   f"({names[clsid]} and {name})")
            names[clsid] = name
            classes.setdefault(clsid, name)
    if not classes:
        return None, "its type library declares no creatable class"
    return list(classes.items()), None
