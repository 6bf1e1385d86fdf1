#!/usr/bin/python3
"""Lists a payload directory for the build: list_payload_dir.py DIR OUT

One line per entry below DIR (path, type, size, modification and change times, inode), written
to OUT only when it differs from what OUT holds. The build runs this at every build and makes the
payload validation depend on OUT, so that a file added, removed or replaced - even by an older
one, or moved in - makes the next build validate and embed the payload again."""
import os
import sys


def listing(top):
    lines = []
    for root, dirs, files in os.walk(top):
        dirs.sort()
        for name in sorted(dirs + files):
            path = os.path.join(root, name)
            st = os.lstat(path)
            kind = "d" if os.path.isdir(path) and not os.path.islink(path) else "f"
            lines.append(f"{os.path.relpath(path, top)}\t{kind}\t{st.st_size}\t{st.st_mtime_ns}"
                         f"\t{st.st_ctime_ns}\t{st.st_ino}\n")
    if not os.path.isdir(top):
        lines.append(f"{top}\tmissing\n")
    return "".join(lines)


def main(argv):
    if len(argv) != 3:
        sys.exit("usage: list_payload_dir.py DIR OUT")
    text = listing(argv[1])
    try:
        with open(argv[2], encoding="utf-8") as f:
            if f.read() == text:
                return
    except FileNotFoundError:
        pass
    temp = argv[2] + ".tmp"
    with open(temp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(temp, argv[2])


if __name__ == "__main__":
    main(sys.argv)
