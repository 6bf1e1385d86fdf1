"""The benchmark's NSIS 3 peer: an installer built by Debian's makensis from the same
size-faithful payload directory as setup_vannix.exe, doing the same job the way NSIS scripts do:
the "64" set under WOW64 and the "32" set otherwise (${RunningX64}), the eleven files written
into $SYSDIR in catalogue order, then each server registered with ExecWait of
"$SYSDIR\\regsvr32.exe" /s FILE; silent (/S); makensis' defaults otherwise (zlib, CRC check).
Debian's NSIS stubs carry no relocations, which this lab's Wine cannot load
(tools/bench/pe_add_relocs.py gives the installer some)."""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "image"))
from catalogue import CATALOGUE  # noqa: E402  (BaseName, Extension, Register)


def build(payload_dir, out_dir):
    """Writes OUT_DIR/nsis.nsi and builds OUT_DIR/nsis.exe."""
    os.makedirs(out_dir, exist_ok=True)
    payload_dir, made = os.path.abspath(payload_dir), os.path.abspath(out_dir) + "/makensis.exe"
    lines = ["Unicode true", "!include LogicLib.nsh", "!include x64.nsh",
             'Name "Vannix components"', f'OutFile "{made}"', "RequestExecutionLevel admin",
             "SilentInstall silent",
             "Section", "  SetOutPath $SYSDIR", "  ${If} ${RunningX64}"]
    for variant in ("64", "32"):
        lines += ["  ${Else}"] if variant == "32" else []
        lines += [f'    File "{payload_dir}/{variant}/{b}{e}"' for b, e, _ in CATALOGUE]
    lines.append("  ${EndIf}")
    lines += [f'  ExecWait \'"$SYSDIR\\regsvr32.exe" /s "$SYSDIR\\{b}{e}"\' $0'
              for b, e, register in CATALOGUE if register]
    nsi = os.path.join(out_dir, "nsis.nsi")
    with open(nsi, "w") as f:
        f.write("\n".join(lines + ["SectionEnd", ""]))
    subprocess.run(["makensis", "-V2", "-INPUTCHARSET", "UTF8", nsi], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([sys.executable, os.path.join(HERE, "pe_add_relocs.py"), made,
                    os.path.join(out_dir, "nsis.exe")], check=True)
