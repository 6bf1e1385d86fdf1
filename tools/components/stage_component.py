#!/usr/bin/python3
"""Copies built sample components into the payload directory, each optionally padded with zero
bytes (as overlay) to a given size so that the image reaches its real-world size:
    stage_component.py [--stamp FILE] SOURCE DEST SIZE [SOURCE DEST SIZE ...]
SIZE "-" leaves the file as it is. The padding is a hole in the file (truncate), so no zeros are
written or held in memory. FILE, written last, stands for the staged files in the build."""
import os
import sys


def stage(source, dest, size):
    with open(source, "rb") as f:
        data = f.read()
    if size is not None and len(data) > size:
        sys.exit(f"{source}: {len(data)} bytes, more than the padded size {size}")
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    temp = dest + ".tmp"
    with open(temp, "wb") as f:
        f.write(data)
        if size is not None:
            f.truncate(size)
    os.replace(temp, dest)


def main(argv):
    args = argv[1:]
    stamp = None
    if args[:1] == ["--stamp"] and len(args) > 1:
        stamp, args = args[1], args[2:]
    if not args or len(args) % 3:
        sys.exit("usage: stage_component.py [--stamp FILE] SOURCE DEST SIZE|- "
                 "[SOURCE DEST SIZE|- ...]")
    for i in range(0, len(args), 3):
        source, dest, size = args[i:i + 3]
        stage(source, dest, None if size == "-" else int(size))
    if stamp:
        with open(stamp, "w"):
            pass


if __name__ == "__main__":
    main(sys.argv)
