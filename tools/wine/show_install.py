#!/usr/bin/python3
"""Runs the installer once under Wine and shows what it installed, as the installation check
finds it.

    show_install.py [--build-dir build/win32] [--kind win64|win32] [--installer EXE] [--keep]

Works in a throwaway copy of the pristine prefix (tools/wine/wl-prefix.sh), removed at the end
unless --keep. Prints the installer's exit code, then what setup_vannix_check.exe (beside the
installer) reports in its JSON document on the same prefix: each catalogue file with its size and
whether it is this release's, each server's classes and whether they are registered, and the
verdict. Exit status: the installer's exit code, or 2 when the check does not find the
installation complete.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winelab  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", default="build/win32")
    ap.add_argument("--kind", choices=sorted(winelab.KINDS), default="win64")
    ap.add_argument("--installer")
    ap.add_argument("--keep", action="store_true", help="keep the prefix copy")
    args = ap.parse_args()
    build = os.path.abspath(args.build_dir)
    exe = os.path.abspath(args.installer or os.path.join(build, "setup_vannix.exe"))
    check = os.path.join(os.path.dirname(exe), "setup_vannix_check.exe")
    work = os.path.join(build, "main-run")
    clock = winelab.Stopwatch()
    prefix = winelab.Prefix.fresh_copy(args.kind, os.path.join(work, "prefix-" + args.kind))
    print("prefix: %s (copy of the pristine %s prefix, %s)" % (prefix.path, args.kind, clock))
    try:
        t = winelab.Stopwatch()
        rc, out = prefix.run([exe], binds=[work, os.path.dirname(exe)])
        print("%s: exit code %d after %s" % (os.path.basename(exe), rc, t))
        if out.strip():
            print("  Wine said: " + out.strip().replace("\n", "\n  Wine said: "))
        t = winelab.Stopwatch()
        check_rc, check_out = prefix.run([check, "--json"], binds=[work, os.path.dirname(check)])
        document = winelab.check_document(check_out)
        print("\nsetup_vannix_check.exe --json: exit code %d after %s" % (check_rc, t))
        if document is None:
            print("  no document: " + check_out.strip())
            return rc or 2
        print("\nfiles in %s (payload variant %s):"
              % (document["system_directory"], document["release"]["payload_variant"]))
        for f in document["files"]:
            found = f["found"]["size"] if f["found"] else "-"
            shipped = "this release's" if f["state"] == "ok" else f["state"]
            print("  %-24s %10s  %s" % (f["name"], found, shipped))
        print("\nclasses (CLSID, as the machine registers them for that file):")
        for f in document["files"]:
            for c in f["classes"] or ():
                print("  %s  %-14s %s" % (c["clsid"], c["state"], f["name"]))
        print("\n" + winelab.check_summary(document))
        print("\ntotal %s" % clock)
        return rc if rc else (2 if check_rc != 0 else 0)
    finally:
        if not args.keep:
            prefix.remove()


if __name__ == "__main__":
    sys.exit(main())
