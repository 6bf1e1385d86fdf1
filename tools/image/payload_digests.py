#!/usr/bin/python3
"""Writes the check program's digest table from the payload record, in the form that
check/payload_digests.h states (and the check reads): one line per payload file, variant "32"
then "64", each in catalogue order; the version is the file's VS_FIXEDFILEINFO, the classes a
server's creatable ones, "-" for none.

    payload_digests.py PAYLOAD_JSON OUT
"""
import os
import re
import sys

import payload_record

_SHA256 = re.compile(r"[0-9a-f]{64}")
_CLSID = re.compile(r"\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\}")


def _is_version(text):
    parts = text.split(".")
    return len(parts) == 4 and all(p.isascii() and p.isdigit() and int(p) <= 65535 for p in parts)


def table(entries):
    lines = []
    for e in entries:
        version = e["file_version"]
        classes = [c["clsid"] for c in e.get("classes") or ()]
        if (not _SHA256.fullmatch(e["sha256"]) or not isinstance(e["size"], int)
                or not (version is None or _is_version(version))
                or not all(_CLSID.fullmatch(c) for c in classes)):
            raise ValueError(f"{e['variant']}/{e['file']}: malformed size, digest, version or "
                             "class")
        lines.append(f"{e['variant']} {e['file']} {e['size']} {e['sha256']} {version or '-'} "
                     f"{','.join(classes) or '-'}\n")
    return "".join(lines)


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: payload_digests.py PAYLOAD_JSON OUT")
    try:
        text = table(payload_record.load(argv[1]))  # load checks the catalogue order
    except (OSError, ValueError, KeyError) as error:
        sys.exit(f"payload digests: {error}")
    temp = argv[2] + ".tmp"
    with open(temp, "w", encoding="ascii", newline="\n") as f:
        f.write(text)
    os.replace(temp, argv[2])


if __name__ == "__main__":
    main(sys.argv)
