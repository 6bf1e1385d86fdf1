#!/usr/bin/python3
"""pe_add_relocs.py IN.exe OUT.exe: gives a 32-bit image linked without relocations (an NSIS
installer: Debian's NSIS stubs are linked at 0x00400000 with relocations stripped) a base
relocation section, so that a loader that finds its preferred base taken can move it.

Under Wine in this project's lab, the 32-bit Wine loader itself sits at 0x00400000 (it runs
under qemu-user), so such an image fails to start with c0000018; with the relocations it is
moved like any other image. The fix-ups are found as a linker would have listed them:
  - in code sections: every instruction operand (immediate or displacement, 4 bytes) whose value
    is an address inside the image, found by disassembling the section (capstone);
  - in initialised data sections: every aligned 4-byte value that is an address inside the image
    (pointer tables, vtables), the import directory excepted (it holds RVAs, and the loader fills
    the IAT itself).
The .reloc section is appended after the last section; an overlay (NSIS keeps its compressed
data there) moves behind it by a multiple of 512 bytes, which NSIS's own search for its data
(block by block from the file's start) follows. If the overlay ends in NSIS's CRC32 of the file
before it (its first 512 bytes excepted), the CRC is computed again. Prints what it did."""
import struct
import sys
import zlib

import capstone
import pefile

SCN_CNT_CODE = 0x20
SCN_MEM_EXECUTE = 0x20000000
SCN_CNT_INITIALIZED_DATA = 0x40
RELOCS_STRIPPED = 0x1
RELOC_SECTION_FLAGS = 0x42000040  # initialised data, discardable, readable


def align(value, to):
    return (value + to - 1) // to * to


def find_fixups(pe):
    base = pe.OPTIONAL_HEADER.ImageBase
    low, high = base, base + pe.OPTIONAL_HEADER.SizeOfImage
    iat = pe.OPTIONAL_HEADER.DATA_DIRECTORY[1]  # the import directory
    imports = range(iat.VirtualAddress, iat.VirtualAddress + iat.Size)
    md = capstone.Cs(capstone.CS_ARCH_X86, capstone.CS_MODE_32)
    md.detail = True
    md.skipdata = True
    fixups = set()
    for section in pe.sections:
        data = section.get_data()[:section.Misc_VirtualSize or section.SizeOfRawData]
        rva = section.VirtualAddress
        if section.Characteristics & (SCN_CNT_CODE | SCN_MEM_EXECUTE):
            for insn in md.disasm(data, rva):
                if insn.id == 0:  # bytes capstone skipped as data
                    continue
                raw = bytes(insn.bytes)
                for offset, size in ((insn.disp_offset, insn.disp_size),
                                     (insn.imm_offset, insn.imm_size)):
                    if size == 4 and offset:
                        value = struct.unpack_from("<I", raw, offset)[0]
                        if low <= value < high:
                            fixups.add(insn.address + offset)
        elif section.Characteristics & SCN_CNT_INITIALIZED_DATA and \
                not section.Name.startswith(b".rsrc"):
            for i in range(0, len(data) - 3, 4):
                if rva + i in imports:
                    continue
                value = struct.unpack_from("<I", data, i)[0]
                if low <= value < high:
                    fixups.add(rva + i)
    return sorted(fixups)


def reloc_blocks(fixups):
    out = bytearray()
    pages = {}
    for rva in fixups:
        pages.setdefault(rva & ~0xFFF, []).append(rva & 0xFFF)
    for page, offsets in sorted(pages.items()):
        entries = [(3 << 12) | o for o in offsets]  # IMAGE_REL_BASED_HIGHLOW
        if len(entries) % 2:
            entries.append(0)  # IMAGE_REL_BASED_ABSOLUTE: padding
        out += struct.pack("<II", page, 8 + 2 * len(entries))
        out += struct.pack("<%dH" % len(entries), *entries)
    return bytes(out)


def main(src, dst):
    data = open(src, "rb").read()
    pe = pefile.PE(data=data)
    if not pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED and \
            pe.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size:
        open(dst, "wb").write(data)
        print("pe_add_relocs: already relocatable")
        return
    fixups = find_fixups(pe)
    blocks = reloc_blocks(fixups)
    file_align = pe.OPTIONAL_HEADER.FileAlignment
    sect_align = pe.OPTIONAL_HEADER.SectionAlignment
    last = max(pe.sections, key=lambda s: s.VirtualAddress)
    rva = align(last.VirtualAddress + max(last.Misc_VirtualSize, last.SizeOfRawData), sect_align)
    image_end = max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections)
    overlay_start = pe.get_overlay_data_start_offset() or len(data)
    raw_offset = align(image_end, file_align)
    if raw_offset != overlay_start and overlay_start < len(data):
        raise SystemExit(f"pe_add_relocs: the overlay starts at {overlay_start:#x}, "
                         f"not at the end of the sections ({raw_offset:#x})")
    raw_size = align(len(blocks), max(file_align, 512))
    # One more section header must fit in front of the first section's data.
    table = pe.sections[-1].get_file_offset() + 40
    first_raw = min(s.PointerToRawData for s in pe.sections if s.PointerToRawData)
    if table + 40 > min(pe.OPTIONAL_HEADER.SizeOfHeaders, first_raw):
        raise SystemExit("pe_add_relocs: no room for another section header")

    head = bytearray(data[:raw_offset].ljust(raw_offset, b"\0"))
    header = struct.pack("<8sIIIIIIHHI", b".reloc", len(blocks), rva, raw_size, raw_offset,
                         0, 0, 0, 0, RELOC_SECTION_FLAGS)
    head[table:table + 40] = header
    out = pefile.PE(data=bytes(head) + blocks.ljust(raw_size, b"\0"))
    out.FILE_HEADER.NumberOfSections += 1
    out.FILE_HEADER.Characteristics &= ~RELOCS_STRIPPED
    out.OPTIONAL_HEADER.SizeOfImage = align(rva + len(blocks), sect_align)
    out.OPTIONAL_HEADER.SizeOfInitializedData += raw_size
    out.OPTIONAL_HEADER.DATA_DIRECTORY[5].VirtualAddress = rva
    out.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size = len(blocks)
    out.OPTIONAL_HEADER.CheckSum = 0
    image = bytearray(out.write())
    overlay = bytearray(data[overlay_start:])
    crc_note = "no overlay"
    if len(overlay) >= 4:
        stored = struct.unpack_from("<I", overlay, len(overlay) - 4)[0]
        if zlib.crc32(data[512:-4]) & 0xFFFFFFFF == stored:
            struct.pack_into("<I", overlay, len(overlay) - 4,
                             zlib.crc32((bytes(image) + bytes(overlay[:-4]))[512:]) & 0xFFFFFFFF)
            crc_note = "CRC32 of the file computed again"
        else:
            crc_note = "overlay kept as it was (no CRC32 of the file at its end)"
    with open(dst, "wb") as f:
        f.write(image)
        f.write(overlay)
    print(f"pe_add_relocs: {len(fixups)} fix-ups in {len(blocks)} bytes at RVA {rva:#x}; "
          f"overlay moved by {raw_size} bytes; {crc_note}")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
