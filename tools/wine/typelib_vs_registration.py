#!/usr/bin/python3
"""How often a COM server's type library and its registration disagree: for each server, the
creatable classes its type library declares (tools/image/typelib.py, as the build lists them)
against the classes its DllRegisterServer writes with an InprocServer32 naming the server.

    typelib_vs_registration.py [--kind win32|win64] [--json OUT] [SERVER...]
    typelib_vs_registration.py --payload DIR [--kind win32|win64]

Default servers: the 32-bit COM servers of the Wine root (i386-windows/*.dll and *.ocx with a
TYPELIB resource). In a throwaway copy of the pristine prefix, each server is first unregistered
(regsvr32 /u), then registered (regsvr32 /s), alone in its own copy; the registry is read
afterwards. A server given by path is copied into the system directory for 32-bit programs
first. Prints one line per server and the counts; exits 0 (a measurement, not a test).

--payload DIR: the registered servers of a payload directory's variant for the kind ("32" for
win32, "64" for win64), each registered with the variant's other files beside it; writes
DIR/unregistered-classes.txt, the classes each declares but does not register, which the build
leaves out of what the check looks up (tools/image/validate_payload.py).
"""
import argparse
import glob
import json
import os
import sys

import pefile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winelab  # noqa: E402
import typelib  # noqa: E402  (tools/image, on winelab's path)
from show_install import inproc_servers  # noqa: E402


def declared_servers(paths):
    """{file name: [(CLSID, name)]} of the servers whose type libraries declare creatable
    classes; a server whose library cannot be read is reported and left out."""
    found = {}
    for path in paths:
        try:
            pe = pefile.PE(path, fast_load=True)
            classes, reason = typelib.server_classes(pe)
        except (pefile.PEFormatError, typelib.TypeLibError) as error:
            print(f"{os.path.basename(path)}: {error}", file=sys.stderr)
            continue
        if classes:
            found[os.path.basename(path)] = classes
    return found


def registered_classes(reg, clsid_root):
    """{server file name (lower case): {CLSID}} of every class with an InprocServer32."""
    by_file = {}
    for clsid, server in inproc_servers(reg, clsid_root).items():
        server = str(server or "").strip('"').replace("/", "\\")
        by_file.setdefault(server.rsplit("\\", 1)[-1].lower(), set()).add(clsid)
    return by_file


def register_alone(kind, work_dir, name, host_path=None, beside=()):
    """(regsvr32's exit code, {server file name: {CLSID}}) after `name` alone was unregistered,
    then registered, in a fresh copy of the pristine prefix: several servers declare the same
    classes (shdocvw and ieframe, the msxml versions), and the last registration would win."""
    prefix = winelab.Prefix.fresh_copy(kind, os.path.join(work_dir, "prefix"))
    try:
        for source in ([host_path] if host_path else []) + list(beside):
            with open(source, "rb") as src, \
                    open(os.path.join(prefix.sysdir, os.path.basename(source)), "wb") as dst:
                dst.write(src.read())
        path = "C:\\\\windows\\\\%s\\\\%s" % (winelab.sysdir_name(kind), name)
        _, out = prefix.run(script="wine regsvr32 /u /s '%s' >/dev/null 2>&1\n"
                            "wine regsvr32 /s '%s' >/dev/null 2>&1; echo \"regsvr32 $?\"\n"
                            % (path, path), binds=[work_dir],
                            dll_overrides="msxml6=n" if beside else "", timeout=900)
        code = int(out.rsplit("regsvr32 ", 1)[1].split()[0]) if "regsvr32 " in out else -1
        return code, registered_classes(prefix.registry(), prefix.clsid_root())
    finally:
        prefix.remove()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--kind", default="win32", choices=sorted(winelab.KINDS))
    ap.add_argument("--json", help="write the per-server figures here")
    ap.add_argument("--work-dir", default="/tmp/typelib-vs-registration")
    ap.add_argument("--payload", help="a payload directory: write its unregistered-classes.txt")
    ap.add_argument("servers", nargs="*")
    args = ap.parse_args(argv)
    beside = []
    if args.payload:
        folder = os.path.join(args.payload, winelab.variant(args.kind))
        beside = [os.path.join(folder, b + e) for b, e, _ in winelab.CATALOGUE]
        args.servers = [os.path.join(folder, b + e) for b, e, r in winelab.CATALOGUE if r]
    root = os.environ.get("WL_ROOT", os.path.join(winelab.WL_CACHE, "wine-root"))
    paths = args.servers or sorted(
        glob.glob(os.path.join(root, "usr/lib/i386-linux-gnu/wine/i386-windows/*.dll")) +
        glob.glob(os.path.join(root, "usr/lib/i386-linux-gnu/wine/i386-windows/*.ocx")))
    servers = declared_servers(paths)
    paths_by_name = {os.path.basename(p): p for p in args.servers}
    names = sorted(servers)
    codes, registered = {}, {}
    for name in names:
        codes[name], registered[name] = register_alone(args.kind, args.work_dir, name,
                                                       paths_by_name.get(name), beside)
    rows = []
    for name in names:
        declared = {clsid for clsid, _ in servers[name]}
        written = registered[name].get(name.lower(), set())
        elsewhere = {c for f, cs in registered[name].items() if f != name.lower() for c in cs}
        rows.append({"server": name, "regsvr32": int(codes.get(name, -1)),
                     "declared": len(declared), "registered": len(written),
                     "declared_not_registered": sorted(declared - written),
                     "declared_naming_another_file": sorted((declared - written) & elsewhere),
                     "registered_not_declared": len(written - declared)})
    print("%-22s %8s %9s %11s %23s %23s" % ("server", "regsvr32", "declared", "registered",
                                           "declared, not written", "written, not declared"))
    for r in rows:
        print("%-22s %8d %9d %11d %23d %23d" % (r["server"], r["regsvr32"], r["declared"],
                                               r["registered"], len(r["declared_not_registered"]),
                                               r["registered_not_declared"]))
    ok = [r for r in rows if r["regsvr32"] == 0]
    agree = [r for r in ok if not r["declared_not_registered"]]
    print(f"\n{len(rows)} servers whose type library declares creatable classes; "
          f"{len(ok)} registered (regsvr32 exit 0)")
    print(f"  every declared class written, naming the server: {len(agree)}")
    print(f"  a declared class not written: {len(ok) - len(agree)} "
          f"({sum(len(r['declared_not_registered']) for r in ok)} classes of "
          f"{sum(r['declared'] for r in ok)}; of them "
          f"{sum(len(r['declared_naming_another_file']) for r in ok)} written naming another file)")
    print(f"  classes written beyond the library's: {sum(1 for r in ok if r['registered_not_declared'])}"
          f" servers ({sum(r['registered_not_declared'] for r in ok)} classes)")
    if args.payload:
        out = os.path.join(args.payload, "unregistered-classes.txt")
        with open(out, "w", encoding="utf-8") as f:
            f.write("# Classes a server's type library declares creatable that its DllRegisterServer\n"
                    "# does not register (typelib_vs_registration.py, %s): the check leaves them\n"
                    "# out.\n" % args.kind)
            for r in rows:
                for clsid in r["declared_not_registered"]:
                    f.write("%s %s\n" % (r["server"], clsid))
        print("wrote " + out)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
