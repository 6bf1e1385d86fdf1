#!/usr/bin/python3
"""Writes the class table of one sample server from its IDL: the coclasses of its library that
are creatable (no [noncreatable]), which its DllRegisterServer registers and its
DllGetClassObject serves.

    sample_classes.py SERVER.idl OUT.h

OUT.h defines SAMPLE_CLASSES as SAMPLE_CLASS(name, "{CLSID}", GUID initialiser) entries."""
import os
import re
import sys
import uuid

_COCLASS = re.compile(r"\[([^\]]*)\]\s*coclass\s+(\w+)")
_UUID = re.compile(r"uuid\(([0-9A-Fa-f-]{36})\)")


def creatable_classes(idl_text):
    """[(name, CLSID "{...}" upper case)] in declaration order."""
    found = []
    for attributes, name in _COCLASS.findall(idl_text):
        if re.search(r"\bnoncreatable\b", attributes):
            continue
        found.append((name, "{%s}" % _UUID.search(attributes).group(1).upper()))
    return found


def header(idl_name, classes):
    lines = [f"/* Generated from {idl_name} by sample_classes.py; do not edit. */",
             "#define SAMPLE_CLASSES \\"]
    for name, clsid in classes:
        g = uuid.UUID(clsid)
        b = ", ".join(f"0x{x:02x}" for x in g.bytes[8:])
        lines.append(f'    SAMPLE_CLASS(L"{name}", L"{clsid}", '
                     f"0x{g.fields[0]:08x}, 0x{g.fields[1]:04x}, 0x{g.fields[2]:04x}, {b}) \\")
    return "\n".join(lines) + "\n\n"


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: sample_classes.py SERVER.idl OUT.h")
    with open(argv[1], encoding="utf-8") as f:
        classes = creatable_classes(f.read())
    if not classes:
        sys.exit(f"{argv[1]}: no creatable coclass")
    temp = argv[2] + ".tmp"
    with open(temp, "w", encoding="ascii") as f:
        f.write(header(os.path.basename(argv[1]), classes))
    os.replace(temp, argv[2])


if __name__ == "__main__":
    main(sys.argv)
