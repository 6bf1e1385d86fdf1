#!/usr/bin/python3
"""Prints, from a release record (setup_vannix.cdx.json), the file detection rules that tell a
deployment tool whether setup_vannix installed, for each kind of Windows: the folder, each file
and, where the file has a version resource, the version to compare with.

    detection_rules.py [build/win32/setup_vannix.cdx.json]

Files that Windows ships and protects under the same names are listed apart, without a rule: no
file rule can tell an installation from Windows' own build, which the installer cannot replace
(the check reports them as Windows' own).
"""
import json
import sys

# Where the installer writes, as a 64-bit deployment agent must be told it.
FOLDERS = {
    "32": ("32-bit Windows", r"%windir%\System32"),
    "64": ("64-bit Windows", r"%windir%\SysWOW64 (or %windir%\System32 checked as a 32-bit app)"),
}

# Catalogue files of which Windows has its own, protected copy in both system directories
# (Windows Resource Protection from Vista on, Windows File Protection on XP).
WINDOWS_OWN = ("msxml6.dll", "msxml6r.dll")


def payload_rows(record):
    """(variant, file name, size, version or None, registered) of each payload file, in order."""
    for component in record["components"]:
        properties = {p["name"]: p["value"] for p in component.get("properties", [])}
        if "setup_vannix:variant" not in properties:
            continue  # the check program
        yield (properties["setup_vannix:variant"], component["name"],
               int(properties["setup_vannix:size"]), component.get("version"),
               properties.get("setup_vannix:register") == "true")


def main(argv):
    path = argv[1] if len(argv) > 1 else "build/win32/setup_vannix.cdx.json"
    with open(path, encoding="utf-8") as f:
        record = json.load(f)
    rows = list(payload_rows(record))
    for variant, (kind, folder) in FOLDERS.items():
        print("%s: folder %s" % (kind, folder))
        print("  %-24s %12s  %-18s %s" % ("file", "bytes", "version", "COM server"))
        for row_variant, name, size, version, registered in rows:
            if row_variant == variant and name not in WINDOWS_OWN:
                print("  %-24s %12d  %-18s %s" % (name, size, version or "-",
                                                   "yes" if registered else "no"))
        print("  no rule for %s: Windows' own, protected files of these names are there"
              % " and ".join(WINDOWS_OWN))
        print()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
