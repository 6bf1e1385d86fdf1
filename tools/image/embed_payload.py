#!/usr/bin/python3
"""Embeds the payload into a linked image: embed_payload.py IMAGE PAYLOAD_RC OUT

Writes OUT: IMAGE with the RT_RCDATA entries of PAYLOAD_RC (the resource script that
validate_payload.py writes) added to its resource section, which must be the image's last
section. The section is rebuilt as the linker lays it out (pe_resources.py); the header fields
that depend on it (SizeOfInitializedData, SizeOfImage, the resource directory entry, CheckSum)
follow. Each payload file is streamed into OUT, never held whole in memory: linking the payload
in made the linker hold it twice, and this step is what a payload change rebuilds."""
import os
import re
import struct
import sys

import pe_resources

CHUNK = 1 << 20
# MAKELANGID(primary, sub) of the names a payload script may use.
PRIMARY = {"LANG_NEUTRAL": 0x00, "LANG_ENGLISH": 0x09, "LANG_PORTUGUESE": 0x16}
SUB = {"SUBLANG_NEUTRAL": 0x00, "SUBLANG_DEFAULT": 0x01, "SUBLANG_ENGLISH_US": 0x01,
       "SUBLANG_PORTUGUESE_BRAZILIAN": 0x01}
_LANGUAGE = re.compile(r"LANGUAGE\s+(\w+)\s*,\s*(\w+)\s*$")
_RCDATA = re.compile(r'"((?:[^"\\]|\\.)+)"\s+RCDATA\s+"((?:[^"\\]|\\.)+)"\s*$')


class EmbedError(Exception):
    pass


def read_payload_script(path):
    """[(name, language, file)] of a payload script: comment lines, LANGUAGE statements and
    `"NAME" RCDATA "file"` lines, nothing else. Names are upper-cased, as windres does."""
    entries, language = [], None
    with open(path, encoding="ascii") as f:
        for number, line in enumerate(f, 1):
            line = line.strip()
            if not line or (line.startswith("/*") and line.endswith("*/")):
                continue
            m = _LANGUAGE.match(line)
            if m:
                if m.group(1) not in PRIMARY or m.group(2) not in SUB:
                    raise EmbedError(f"{path}:{number}: unknown language {line}")
                language = SUB[m.group(2)] << 10 | PRIMARY[m.group(1)]
                continue
            m = _RCDATA.match(line)
            if not m or language is None:
                raise EmbedError(f"{path}:{number}: not a payload entry: {line}")

            def unquote(text):
                return re.sub(r"\\(.)", r"\1", text)

            entries.append((unquote(m.group(1)).upper(), language, unquote(m.group(2))))
    return entries


class Image:
    """The headers of a PE image and the offsets of the fields this tool rewrites."""

    def __init__(self, head):
        if head[:2] != b"MZ":
            raise EmbedError("not an MZ image")
        (pe,) = struct.unpack_from("<I", head, 0x3C)
        if head[pe:pe + 4] != b"PE\0\0":
            raise EmbedError("no PE signature")
        (sections, _, symbols, _, optional_size, _) = struct.unpack_from(
            "<HIIIHH", head, pe + 6)
        if symbols:
            raise EmbedError("the image has a COFF symbol table (link it stripped)")
        opt = pe + 24
        (magic,) = struct.unpack_from("<H", head, opt)
        directories = {0x10B: opt + 96, 0x20B: opt + 112}.get(magic)
        if directories is None:
            raise EmbedError(f"unknown optional header magic {magic:#x}")
        self.initialized_data_at = opt + 8
        self.section_alignment, self.file_alignment = struct.unpack_from("<II", head, opt + 32)
        self.size_of_image_at = opt + 56
        self.checksum_at = opt + 64
        (directory_count,) = struct.unpack_from("<I", head, directories - 4)
        if directory_count < 3:
            raise EmbedError("the image has no resource directory entry")
        self.resource_directory_at = directories + 2 * 8
        self.section_table_at = opt + optional_size
        self.sections = []
        for i in range(sections):
            at = self.section_table_at + 40 * i
            name = head[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, rva, raw_size, raw_at = struct.unpack_from("<IIII", head, at + 8)
            self.sections.append((name, vsize, rva, raw_size, raw_at, at))


class ChecksumWriter:
    """Writes a file from its start and sums it for the PE checksum on the way: the folded sum
    of 16-bit words is the sum modulo 0xFFFF, and a little-endian number made of bytes at an
    even offset is congruent to the sum of its words modulo 0xFFFF."""

    def __init__(self, f):
        self.f = f
        self.offset = 0
        self.sum = 0

    def write(self, data):
        if self.offset % 2:
            raise EmbedError("internal: write at an odd offset")
        self.f.write(data)
        self.sum = (self.sum + int.from_bytes(data, "little")) % 0xFFFF
        self.offset += len(data)

    def pad_to(self, offset):
        if offset < self.offset:
            raise EmbedError("internal: layout overlap")
        if offset > self.offset:
            self.f.write(bytes(offset - self.offset))
            self.offset = offset
            # Zeros add nothing to the sum.

    def checksum(self):
        # A sum that is a nonzero multiple of 0xFFFF folds to 0xFFFF (an image is never all zeros).
        folded = self.sum or 0xFFFF
        return (folded + self.offset) & 0xFFFFFFFF


def embed(image_path, script_path, out_path):
    entries = read_payload_script(script_path)
    with open(image_path, "rb") as f:
        image_bytes = f.read()
    image = Image(image_bytes)
    name, vsize, rva, raw_size, raw_at, header_at = image.sections[-1]
    if name != ".rsrc":
        raise EmbedError(f"the last section is {name}, not .rsrc")
    if len(image_bytes) != raw_at + raw_size:
        raise EmbedError("data follows the last section (a signature or an overlay)")
    resource_rva, _ = struct.unpack_from("<II", image_bytes, image.resource_directory_at)
    if resource_rva != rva:
        raise EmbedError("the resource directory does not start the .rsrc section")
    if raw_at % image.file_alignment or rva % image.section_alignment:
        raise EmbedError(".rsrc is not aligned")

    section = image_bytes[raw_at:raw_at + min(vsize, raw_size)]
    resources = pe_resources.read(section, rva)
    for res_name, language, path in entries:
        resources.append(pe_resources.Resource(pe_resources.RT_RCDATA, res_name, language,
                                               os.path.getsize(path), path=path))
    layout = pe_resources.layout(resources, rva)
    new_raw_size = pe_resources.align(layout.size, image.file_alignment)

    head = bytearray(image_bytes[:raw_at])
    (initialized,) = struct.unpack_from("<I", head, image.initialized_data_at)
    struct.pack_into("<I", head, image.initialized_data_at, initialized - raw_size + new_raw_size)
    struct.pack_into("<I", head, image.size_of_image_at,
                     pe_resources.align(rva + layout.size, image.section_alignment))
    struct.pack_into("<I", head, image.checksum_at, 0)
    struct.pack_into("<II", head, image.resource_directory_at, rva, layout.size)
    struct.pack_into("<II", head, header_at + 8, layout.size, rva)
    struct.pack_into("<II", head, header_at + 16, new_raw_size, raw_at)

    temp = out_path + ".tmp"
    try:
        with open(temp, "wb") as out:
            w = ChecksumWriter(out)
            w.write(head)
            w.write(layout.head)
            for res, offset in layout.places:
                w.pad_to(raw_at + offset)
                if res.data is not None:
                    w.write(res.data)
                    continue
                copied = 0
                with open(res.path, "rb") as src:
                    while chunk := src.read(CHUNK):
                        w.write(chunk)
                        copied += len(chunk)
                if copied != res.size:
                    raise EmbedError(f"{res.path}: changed while it was embedded")
            w.pad_to(raw_at + new_raw_size)
            out.seek(image.checksum_at)
            out.write(struct.pack("<I", w.checksum()))
        os.chmod(temp, os.stat(image_path).st_mode & 0o777)
        os.replace(temp, out_path)
    finally:
        if os.path.exists(temp):
            os.remove(temp)


def main(argv):
    if len(argv) != 4:
        sys.exit("usage: embed_payload.py IMAGE PAYLOAD_RC OUT")
    try:
        embed(argv[1], argv[2], argv[3])
    except (EmbedError, pe_resources.ResourceError, OSError, struct.error) as error:
        sys.exit(f"embed_payload.py: {error}")


if __name__ == "__main__":
    main(sys.argv)
