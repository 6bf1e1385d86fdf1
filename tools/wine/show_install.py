#!/usr/bin/python3
"""Runs the installer once under Wine and shows what it installed.

    show_install.py [--build-dir build/win32] [--kind win64|win32] [--installer EXE] [--keep]

Works in a throwaway copy of the pristine prefix (tools/wine/wl-prefix.sh), removed at the end
unless --keep. Prints the exit code, each catalogue file in the system directory (bytes, and
whether it matches its payload of the right variant), each class that the run registered
(CLSID -> InprocServer32), and the verdict of the installation check (setup_vannix_check.exe
beside the installer) on the same prefix. Exit status: the installer's exit code, or 2 when a
file is missing or differs from its payload, or the check does not find the installation complete.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winelab  # noqa: E402


def inproc_servers(reg, root):
    """{CLSID: InprocServer32 default value} under one CLSID root of the registry."""
    found = {}
    prefix = root.lower() + "\\"
    for key, values in reg.keys.items():
        if key.startswith(prefix) and key.endswith("\\inprocserver32"):
            clsid = key[len(prefix):-len("\\inprocserver32")]
            if "\\" not in clsid:
                found[clsid.upper()] = values.get("")
    return found


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build-dir", default="build/win32")
    ap.add_argument("--kind", choices=sorted(winelab.KINDS), default="win64")
    ap.add_argument("--installer")
    ap.add_argument("--keep", action="store_true", help="keep the prefix copy")
    args = ap.parse_args()
    build = os.path.abspath(args.build_dir)
    exe = os.path.abspath(args.installer or os.path.join(build, "setup_vannix.exe"))
    variant = winelab.variant(args.kind)
    work = os.path.join(build, "main-run")
    clock = winelab.Stopwatch()
    prefix = winelab.Prefix.fresh_copy(args.kind, os.path.join(work, "prefix-" + args.kind))
    print("prefix: %s (copy of the pristine %s prefix, %s)" % (prefix.path, args.kind, clock))
    try:
        before = inproc_servers(prefix.registry(), prefix.clsid_root())
        t = winelab.Stopwatch()
        rc, out = prefix.run([exe], binds=[work, os.path.dirname(exe)])
        print("%s: exit code %d after %s" % (os.path.basename(exe), rc, t))
        if out.strip():
            print("  Wine said: " + out.strip().replace("\n", "\n  Wine said: "))
        print("\nfiles in C:\\windows\\%s (payload variant %s):" % (winelab.sysdir_name(args.kind), variant))
        bad = 0
        present = set(os.listdir(prefix.sysdir))
        for name in winelab.FILE_NAMES:
            path = os.path.join(prefix.sysdir, name)
            payload = os.path.join(build, "payload", variant, name)
            if name not in present or not os.path.isfile(path):
                print("  %-24s %10s  missing" % (name, "-"))
                bad += 1
                continue
            with open(path, "rb") as f:
                data = f.read()
            if os.path.isfile(payload):
                with open(payload, "rb") as f:
                    same = f.read() == data
                verdict = "matches its payload" if same else "DIFFERS from its payload"
                bad += not same
            else:
                verdict = "(no payload file at %s to compare)" % payload
            print("  %-24s %10d  %s" % (name, len(data), verdict))
        after = inproc_servers(prefix.registry(), prefix.clsid_root())
        print("\nregistered by this run (CLSID -> InprocServer32):")
        changed = {k: v for k, v in after.items() if before.get(k) != v}
        # {CLSID: (server, class name)} of every sample class, listed by server in catalogue order.
        names = {clsid.upper(): (base, name) for base, classes in winelab.SAMPLE_CLASSES.items()
                 for name, clsid in classes}
        order = {b: i for i, b in enumerate(winelab.REGISTERED)}
        rank = lambda kv: (order.get(names.get(kv[0], ("", ""))[0], 99), kv[0])  # noqa: E731
        for clsid, server in sorted(changed.items(), key=rank):
            label = names.get(clsid, ("", ""))[1]
            print("  %s -> %s%s" % (clsid, server, "  (" + label + ")" if label else ""))
        if not changed:
            print("  nothing")
        check = os.path.join(os.path.dirname(exe), "setup_vannix_check.exe")
        if os.path.isfile(check):
            t = winelab.Stopwatch()
            check_rc, check_out = prefix.run([check], binds=[work, os.path.dirname(check)])
            print("\nsetup_vannix_check.exe (exit code %d after %s):" % (check_rc, t))
            for line in check_out.splitlines():
                if any(winelab.parse_check(line)):  # a file line or the summary
                    print("  " + line.rstrip("\r"))
            bad += check_rc != 0
        print("\ntotal %s" % clock)
        return rc if rc else (2 if bad else 0)
    finally:
        if not args.keep:
            prefix.remove()


if __name__ == "__main__":
    sys.exit(main())
