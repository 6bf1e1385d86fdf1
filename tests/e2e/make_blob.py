#!/usr/bin/python3
"""make_blob.py OUT.bin MEBIBYTES [OUT.rc]

Writes MEBIBYTES MiB of 32-bit little-endian words, word k equal to k (a reader can tell any
wrong or zeroed byte from its offset), and optionally a resource script that makes the file
RCDATA resource 1 (tests/e2e/mapped_read.c)."""
import array
import os
import sys

out, mib = sys.argv[1], int(sys.argv[2])
words = array.array("I", range(mib * 1024 * 1024 // 4))
if sys.byteorder != "little":
    words.byteswap()
with open(out, "wb") as f:
    words.tofile(f)
if len(sys.argv) > 3:
    with open(sys.argv[3], "w", encoding="ascii") as f:
        f.write('1 RCDATA "%s"\n' % os.path.basename(out))
