#!/usr/bin/python3
"""Copies a built sample component into the payload directory, optionally padded with zero
bytes (as overlay) to a given size so that the image reaches its real-world size."""
import os
import sys


def main(argv):
    if len(argv) not in (3, 4):
        sys.exit("usage: stage_component.py SOURCE DEST [SIZE]")
    source, dest = argv[1], argv[2]
    with open(source, "rb") as f:
        data = f.read()
    if len(argv) == 4:
        size = int(argv[3])
        if len(data) > size:
            sys.exit(f"{source}: {len(data)} bytes, more than the padded size {size}")
        data += bytes(size - len(data))
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    temp = dest + ".tmp"
    with open(temp, "wb") as f:
        f.write(data)
    os.replace(temp, dest)


if __name__ == "__main__":
    main(sys.argv)
