#!/usr/bin/python3
"""The installer's benchmark under Wine, in a 64-bit (WOW64) prefix (docs/benchmark.md).

Every program runs through launch.exe, which times it from CreateProcessW to its exit
(`outside`); the installer, the baseline, the check and its limit also carry probe.dll, which
times them from their entry point to their exit (`inside`) and the calls that start and wait for
children (`waits`). Each block runs every program in fresh copies of the pristine prefix (the
checks six times each beside their limit, after an untimed install), in alternating order; each
goal's ratio is taken within a block (the check's for each pair of runs side by side), and its
verdict comes from the median of those ratios and its 95 % bootstrap interval: met or not met
when the whole interval lies on one side of the goal. Then memory runs (probe.dll sampling
committed private memory), then the build figures that tools/bench/measure_build.sh wrote.
Output: a table on stdout and RESULTS/results.{md,json}.
"""
import argparse
import json
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import time

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(TOP, "tools", "wine"))
import winelab  # noqa: E402
import build_figures  # noqa: E402
import nsis_peer  # noqa: E402

FILES = winelab.FILE_NAMES
SERVERS = [b + e for b, e, register in winelab.CATALOGUE if register]
DIR = "C:\\vannix-bench\\"

# name: (label, command line, probed)
PROGRAMS = {
    "floor": ("floor (does nothing)", DIR + "noop.exe", False),
    "installer": ("setup_vannix.exe", DIR + "setup_vannix.exe", True),
    "baseline": ("baseline: CopyFileW + regsvr32, the installer's flags", DIR + "baseline.exe",
                 True),
    "nsis": ("NSIS 3 peer, ExecWait regsvr32 /s", DIR + "nsis.exe /S", False),
    "msi": ("Windows Installer peer (wixl, msiexec /qn)", "msiexec /qn /i " + DIR + "peer.msi",
            False),
    "check": ("setup_vannix_check.exe after an install", DIR + "setup_vannix_check.exe", True),
    "check_5000": ("the same, 5,000 more classes in the prefix", DIR + "setup_vannix_check.exe",
                   True),
    "check_limit": ("the check's limit: read + SHA-256 of the 11 files", DIR + "check_limit.exe",
                    True),
    "limit_5000": ("the same, 5,000 more classes in the prefix", DIR + "check_limit.exe", True),
}
# The programs that share a prefix: each installer in one of its own; the checks after an
# untimed install, six times each, each run beside one of its limit (their runs are a second or
# so of CPU work, which the machine's load stretches for tens of seconds at a time: a pair of
# runs side by side shares it); with 5,000 more classes for the "_5000" ones.
SESSIONS = [("installer",), ("baseline",), ("nsis",), ("msi",),
            ("floor",) + ("check", "check_limit", "check_limit", "check") * 3,
            ("check_5000", "limit_5000", "limit_5000", "check_5000") * 3]
EXES = {"noop.exe": "bench/vannix_bench_noop.exe",
        "baseline.exe": "bench/vannix_bench_baseline.exe",
        "check_limit.exe": "bench/vannix_bench_check_limit.exe",
        "launch.exe": "bench/vannix_bench_launch.exe", "probe.dll": "bench/probe.dll",
        "setup_vannix.exe": "setup_vannix.exe", "setup_vannix_check.exe": "setup_vannix_check.exe",
        "nsis.exe": "nsis/nsis.exe", "peer.msi": "peer/peer.msi"}


def fig(block, name, key):
    """A program's figure in a block: the median of its runs there."""
    if key == "own":  # its run inside, less starting and waiting for its children
        return statistics.median(r["inside"] - r["waits"] for r in block[name])
    if key == "net":  # its whole run less the floor's
        return fig(block, name, "outside") - fig(block, "floor", "outside")
    return statistics.median(r[key] for r in block[name])


def pairs(block, a, b, key="inside"):
    """a / b for each pair of runs side by side in a block (the i-th of each)."""
    return [x[key] / y[key] for x, y in zip(block[a], block[b])]


# (name, the figures of one block, goal, sense)
GOALS = [
    ("installer's own work beyond the baseline's, over the baseline's whole run",
     lambda b: [1 + (fig(b, "installer", "own") - fig(b, "baseline", "own")) /
                fig(b, "baseline", "net")], 1.03, "at most"),
    ("NSIS peer (ExecWait) / installer, whole runs",
     lambda b: [fig(b, "nsis", "net") / fig(b, "installer", "net")], 1.0, "above"),
    ("check / its limit, inside the process, runs side by side",
     lambda b: pairs(b, "check", "check_limit"), 1.10, "at most"),
    ("check with 5,000 more classes / the check's limit, the same",
     lambda b: pairs(b, "check_5000", "limit_5000"), 1.10, "at most"),
]


def log(*args):
    print("bench:", *args, file=sys.stderr, flush=True)


def write_msi(payload64, out_dir):
    """The Windows Installer peer: each "64" file its own component in SystemFolder (SysWOW64
    for a 32-bit package), each server registered by a deferred custom action running
    `regsvr32 /s` right after InstallFiles (wixl has no SelfReg)."""
    os.makedirs(out_dir, exist_ok=True)
    comps, actions = [], []
    for i, name in enumerate(FILES):
        shutil.copyfile(os.path.join(payload64, name), os.path.join(out_dir, name))
        comps.append(f'<Component Id="f{i:02d}" Guid="6C1A5E40-3B7D-4F0E-9A41-5D2C8B7E1F{i:02d}">'
                     f'<File Id="f{i:02d}" Name="{name}" Source="{name}" KeyPath="yes"/>'
                     '</Component>')
    for i, name in enumerate(SERVERS):
        actions.append(f'<CustomAction Id="reg{i:02d}" Property="REGSVR32" ExeCommand="/s '
                       f'&quot;[SystemFolder]{name}&quot;" Execute="deferred" Impersonate="no" '
                       'Return="ignore"/>')
    refs = "".join(f'<ComponentRef Id="f{i:02d}"/>' for i in range(len(FILES)))
    seq = "".join(f'<Custom Action="reg{i:02d}" After="InstallFiles">NOT Installed</Custom>'
                  for i in range(len(SERVERS)))
    with open(os.path.join(out_dir, "peer.wxs"), "w") as f:
        f.write(f'''<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
<Product Id="*" Name="Vannix components" Language="1033" Version="1.0.0.0" Manufacturer="Vannix"
 UpgradeCode="6C1A5E30-3B7D-4F0E-9A41-5D2C8B7E1F20">
<Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
<Media Id="1" Cabinet="payload.cab" EmbedCab="yes"/>
<Directory Id="TARGETDIR" Name="SourceDir"><Directory Id="SystemFolder">{"".join(comps)}
</Directory></Directory>
<Feature Id="Components" Level="1">{refs}</Feature>
<Property Id="REGSVR32" Value="regsvr32.exe"/>
<CustomAction Id="SetRegsvr32" Property="REGSVR32" Value="[SystemFolder]regsvr32.exe"/>
{"".join(actions)}
<InstallExecuteSequence>
<Custom Action="SetRegsvr32" Before="InstallInitialize">NOT Installed</Custom>{seq}
</InstallExecuteSequence>
</Product></Wix>''')
    msi = os.path.join(out_dir, "peer.msi")
    subprocess.run(["wixl", "-a", "x86", "-o", msi, "peer.wxs"], cwd=out_dir, check=True,
                   stderr=subprocess.DEVNULL)
    # wixl 0.101 puts custom actions after InstallFinalize, where a deferred action never runs:
    # they are numbered again, right after InstallFiles (4000), in the servers' order.
    text = subprocess.run(["msiinfo", "export", msi, "InstallExecuteSequence"], check=True,
                          capture_output=True, text=True).stdout
    rows = [re.sub(r"^(reg(\d\d)\t.*\t)\d+$", lambda m: m.group(1) + str(4001 + int(m.group(2))),
                   row) for row in text.replace("\r\n", "\n").split("\n")]
    table = os.path.join(out_dir, "InstallExecuteSequence.idt")
    with open(table, "w", newline="") as f:
        f.write("\r\n".join(rows))
    subprocess.run(["msibuild", msi, "-i", table], check=True)


def add_classes(system_reg, count):
    """`count` more in-process classes in the 32-bit view of a prefix's system.reg (before Wine
    starts), as on a machine with many programs installed."""
    root = "Software\\\\Classes\\\\Wow6432Node\\\\CLSID\\\\"
    with open(system_reg, "a") as f:
        for i in range(count):
            key = root + "{6C1A5E50-%04X-4F0E-9A41-%012X}" % (i >> 16, i)
            f.write(f'\n[{key}] 1796876942\n@="Vannix benchmark class {i}"\n'
                    f'\n[{key}\\\\InprocServer32] 1796876942\n'
                    f'@="C:\\\\windows\\\\syswow64\\\\vannixbench{i % 97}.dll"\n'
                    '"ThreadingModel"="Apartment"\n')


class Lab:
    def __init__(self, build, work, extra_classes):
        self.build, self.work, self.extra_classes, self.count = build, work, extra_classes, 0

    def session(self, names, sample=False):
        """Runs the programs `names` one after another in one fresh prefix copy, after the floor
        once (Wine's services started) and two seconds' pause; returns [(name, figures)]."""
        self.count += 1
        prefix = winelab.Prefix.fresh_copy("win64", os.path.join(self.work, "p%03d" % self.count))
        try:
            bench = os.path.join(prefix.path, "drive_c", "vannix-bench")
            os.makedirs(os.path.join(bench, "64"))
            checks = [n for n in names if n.startswith(("check", "limit"))]
            needed = {"noop.exe", "launch.exe", "probe.dll", *["setup_vannix.exe"] * len(checks)}
            for n in names:
                needed.update(re.findall(r"vannix-bench\\(\S+)", PROGRAMS[n][1]))
            for exe in needed:
                shutil.copyfile(os.path.join(self.build, EXES[exe]), os.path.join(bench, exe))
            for name in FILES * ("baseline" in names):
                shutil.copyfile(os.path.join(self.build, "payload", "64", name),
                                os.path.join(bench, "64", name))
            if any(n.endswith("_5000") for n in names):
                add_classes(os.path.join(prefix.path, "system.reg"), self.extra_classes)
            shell = ["wineserver -p", f"wine '{DIR}noop.exe'"]
            if checks:
                shell.append(f"wine '{DIR}setup_vannix.exe'")
            shell.append("sleep 2")
            for n in names:
                _, command, probed = PROGRAMS[n]
                shell.append(("VANNIX_SAMPLE=1 " if sample else "") + f"wine '{DIR}launch.exe' "
                             + ("/probe " if probed else "") + command.replace("\\", "\\\\"))
            rc, out = prefix.run(script="; ".join(s + " >/dev/null 2>&1" for s in shell),
                                 binds=[self.work], timeout=1800)
            path = os.path.join(prefix.path, "drive_c", "vannix-runs.txt")
            lines = open(path).read().splitlines() if os.path.isfile(path) else []
            if len(lines) != len(names):
                raise RuntimeError(f"{names}: {len(lines)} results, exit {rc}:\n{out}")
            runs = []
            for n, line in zip(names, lines):
                runs.append((n, {k: float(v) for k, v in re.findall(r"(\w+)=([\d.]+)", line)}))
                if n in ("installer", "baseline", "nsis", "msi"):
                    runs[-1][1]["files"] = sum(
                        os.path.getsize(os.path.join(prefix.sysdir, f)) ==
                        os.path.getsize(os.path.join(self.build, "payload", "64", f))
                        for f in FILES if os.path.isfile(os.path.join(prefix.sysdir, f)))
                    reg = prefix.registry()
                    # Its class names the installed file, which a 32-bit program may spell
                    # with system32, as NSIS does (so msxml6's, which Wine registers so
                    # already, proves little: the other five do).
                    def names_installed(b, e):
                        server = (reg.value(prefix.clsid_root() + "\\" + winelab.CLSIDS[b]
                                            + "\\InprocServer32") or "").lower()
                        return server.replace("\\system32\\", "\\syswow64\\") == \
                            prefix.installed_path(b + e).lower()
                    runs[-1][1]["registered"] = sum(
                        names_installed(b, e) for b, e, register in winelab.CATALOGUE if register)
            return runs
        finally:
            prefix.remove()


def did_the_job(name, r):
    ok = r.get("rc") == 0 and (not PROGRAMS[name][2] or "inside" in r)
    if name in ("installer", "baseline", "nsis", "msi"):
        ok = ok and r["files"] == 11 and r["registered"] == 6
    if name in ("installer", "baseline"):
        ok = ok and r["children"] == 6  # else a child escaped the probe's count
    return ok


def interval(per_block, draws=10000):
    """95 % interval of the median of the figures of all blocks: percentile bootstrap drawing
    whole blocks (a block's figures share its machine), a fixed random stream."""
    rng = random.Random(1)
    medians = sorted(statistics.median([v for b in rng.choices(per_block, k=len(per_block))
                                        for v in b]) for _ in range(draws))
    return medians[int(0.025 * draws)], medians[int(0.975 * draws) - 1]


def verdict(low, high, goal, sense):
    if sense == "at most":
        return "met" if high <= goal else "not met" if low > goal else "not resolved"
    return "met" if low > goal else "not met" if high <= goal else "not resolved"


def report(blocks, memory, build):
    """The tables' lines, and the figures for results.json."""
    lines = [f"| Program ({len(blocks)} blocks; seconds, medians) | whole run | less the floor | "
             "min..max | inside the process | of it starting and waiting for children | "
             "its own CPU time |", "|---|---:|---:|---:|---:|---:|---:|"]
    med = {}
    for n, (label, _, probed) in PROGRAMS.items():
        keys = ("outside", "net") + (("inside", "waits", "cpu") if probed else ())
        med[n] = {k: statistics.median(fig(b, n, k) for b in blocks) for k in keys}
        outside = [r["outside"] for b in blocks for r in b[n]]
        lines.append(f"| {label} | {med[n]['outside']:.2f} | {med[n]['net']:.2f} | "
                     f"{min(outside):.2f}..{max(outside):.2f} | " + (
                         " | ".join(f"{med[n][k]:.3f}" for k in ("inside", "waits", "cpu"))
                         if probed else " | | ") + " |")
    lines += ["", "| Goal (median of the ratios: one a block, or one a pair of runs) | ratio | "
              "95 % interval | goal | |",
              "|---|---:|---:|---:|---|"]
    goals = {}
    for name, figure, goal, sense in GOALS:
        values = [figure(b) for b in blocks]
        low, high = interval(values)
        median = statistics.median(v for b in values for v in b)
        result = verdict(low, high, goal, sense)
        goals[name] = {"values": values, "median": median, "low": low, "high": high,
                       "goal": goal, "sense": sense, "verdict": result}
        lines.append(f"| {name} | {median:.3f}x | {low:.3f}..{high:.3f} | {sense} {goal:.2f}x | "
                     f"**{result}** |")
    growth = {n: statistics.median(v) / 1024 for n, v in memory.items() if v}
    for a, b in (("installer", "baseline"), ("check", "check_limit")):
        if a in growth and b in growth:
            d = growth[a] - growth[b]
            lines.append(f"| memory: {a}'s growth of committed private memory ({growth[a]:,.0f} "
                         f"KiB) beyond {b}'s ({growth[b]:,.0f} KiB) | {d:+,.0f} KiB | | at most "
                         f"+64 KiB | **{'met' if d <= 64 else 'not met'}** |")
    figures = build_figures.figures(build)
    if figures:
        lines += build_figures.goal_lines(figures)
    lines += ["", "For information, medians of the blocks' ratios: whole runs less the floor, "
              + "; ".join(f"{a} / {b} " + "%.3fx" % statistics.median(
                  fig(x, a, "net") / fig(x, b, "net") for x in blocks)
                  for a, b in (("installer", "baseline"), ("msi", "installer"),
                               ("check", "check_limit"), ("check_5000", "limit_5000")))
              + "; CPU time inside the process, pairs of runs, " + "; ".join(
                  f"{a} / {b} " + "%.3fx" % statistics.median(
                      v for x in blocks for v in pairs(x, a, b, "cpu"))
                  for a, b in (("check", "check_limit"), ("check_5000", "limit_5000"))) + "."]
    if figures:
        lines += [""] + build_figures.step_lines(figures)
    return lines, med, goals, figures


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build-dir", default=os.path.join(TOP, "build", "bench"))
    ap.add_argument("--blocks", type=int, default=16)
    ap.add_argument("--memory-runs", type=int, default=3)
    ap.add_argument("--extra-classes", type=int, default=5000)
    args = ap.parse_args()
    build = os.path.abspath(args.build_dir)
    results, work = os.path.join(build, "results"), os.path.join(build, "work")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    os.makedirs(results, exist_ok=True)
    write_msi(os.path.join(build, "payload", "64"), os.path.join(build, "peer"))
    nsis_peer.build(os.path.join(build, "payload"), os.path.join(build, "nsis"))
    lab = Lab(build, work, args.extra_classes)
    started = time.time()

    blocks = []
    for i in range(args.blocks):
        block, order = {}, SESSIONS if i % 2 == 0 else [s[::-1] for s in SESSIONS[::-1]]
        for names in order:
            for n, r in lab.session(names):
                block.setdefault(n, []).append(r)
        failed = sorted({n for n, runs in block.items() for r in runs if not did_the_job(n, r)})
        log(f"block {i + 1}/{args.blocks}: " + ", ".join(
            f"{n} {fig(block, n, 'outside'):.2f}" +
            (f" ({fig(block, n, 'inside'):.2f} inside)" if PROGRAMS[n][2] else "")
            for n in block) + (f"; did not do the job: {failed}" if failed else ""))
        if not failed:
            blocks.append(block)
    if not blocks:
        sys.exit("bench: no block in which every program did its job")

    memory = {n: [] for n in ("installer", "baseline", "check", "check_limit")}
    for _ in range(args.memory_runs):
        for names in (("installer",), ("baseline",), ("check", "check_limit")):
            for n, r in lab.session(names, sample=True):
                if "private_peak" in r:
                    memory[n].append(r["private_peak"] - r["private_start"])
    shutil.rmtree(work, ignore_errors=True)

    lines, med, goals, figures = report(blocks, memory, build)
    la = os.getloadavg()
    lines += ["", f"{len(blocks)} of {args.blocks} blocks, {args.memory_runs} memory runs, "
              f"{(time.time() - started) / 60:.0f} minutes; load average at the end "
              f"{la[0]:.2f} {la[1]:.2f} {la[2]:.2f}; "
              f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}."]
    with open(os.path.join(results, "results.json"), "w") as f:
        json.dump({"blocks": blocks, "medians": med, "goals": goals, "memory_growth": memory,
                   "build": figures, "load_average": la}, f, indent=1)
    table = "\n".join(lines)
    with open(os.path.join(results, "results.md"), "w") as f:
        f.write("# setup_vannix benchmark\n\n" + table + "\n")
    print(table)


if __name__ == "__main__":
    main()
