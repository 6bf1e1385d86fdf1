#!/usr/bin/python3
"""The build figures of the benchmark, from what tools/bench/measure_build.sh wrote into
BUILD/timing: the from-scratch build (configure + build) and the rebuild after one payload file
changed, timed by GNU time, and where the from-scratch build's time went, from Ninja's log.

    build_figures.py BUILD_DIR     prints the tables"""
import os
import re
import sys

# A step of the build, by the first pattern that its output's path matches.
STEPS = [("test PKI", r"^test-pki/"), ("sample components", r"^samples/"),
         ("payload validation", r"^resources/payload"), ("C++ compile", r"\.obj$"),
         ("link", r"(\.a|-linked\.exe)$"), ("payload embedding", r"-unsigned\.exe$"),
         ("signing", r"^setup_vannix\.exe$")]


def read_time_v(path):
    """Wall and CPU seconds and peak RSS (KiB) from a `/usr/bin/time -v` report."""
    text = open(path).read()
    h, m, s = re.search(r"Elapsed \(wall clock\).*: (?:(\d+):)?(\d+):([\d.]+)", text).groups()

    def field(label):
        return float(re.search(label + r": ([\d.]+)", text).group(1))

    return {"seconds": int(h or 0) * 3600 + int(m) * 60 + float(s),
            "cpu_seconds": field(r"User time \(seconds\)") + field(r"System time \(seconds\)"),
            "peak_kib": int(field(r"Maximum resident set size \(kbytes\)"))}


def read_steps(path, build):
    """{step: [wall seconds summed, first start, last end]} from a Ninja log (one line per
    output: start ms, end ms, mtime, output, command hash; an edge once)."""
    steps, seen = {}, set()
    for line in open(path):
        f = line.rstrip("\n").split("\t")
        if len(f) != 5 or (f[0], f[1], f[4]) in seen:
            continue
        seen.add((f[0], f[1], f[4]))
        out = os.path.relpath(f[3], build) if f[3].startswith("/") else f[3]
        name = next((n for n, pattern in STEPS if re.search(pattern, out)), "other")
        start, end = int(f[0]) / 1000, int(f[1]) / 1000
        s = steps.setdefault(name, [0.0, start, end])
        s[0], s[1], s[2] = s[0] + end - start, min(s[1], start), max(s[2], end)
    return steps


def figures(build):
    """The build figures of BUILD/timing, or None when there are none."""
    t = os.path.join(build, "timing")
    if not os.path.isfile(os.path.join(t, "rebuild.time")):
        return None
    configure, scratch = (read_time_v(os.path.join(t, n + ".time")) for n in ("configure", "build"))
    payload = os.path.join(build, "payload")
    return {"configure": configure, "build": scratch,
            "scratch_seconds": configure["seconds"] + scratch["seconds"],
            "peak_kib": max(configure["peak_kib"], scratch["peak_kib"]),
            "rebuild": read_time_v(os.path.join(t, "rebuild.time")),
            "payload_bytes": sum(os.path.getsize(os.path.join(d, f))
                                 for d, _, fs in os.walk(payload) for f in fs),
            "steps": read_steps(os.path.join(t, "build.ninja_log"), build),
            "load": open(os.path.join(t, "load.txt")).read().split("\n")}


def goal_lines(f):
    """Rows of the goal table."""
    limit = 2 * f["payload_bytes"] / 1024
    rows = [("build from scratch (configure + build)", f["scratch_seconds"], 10, "s"),
            ("rebuild after one payload file changed", f["rebuild"]["seconds"], 3, "s"),
            ("peak memory of the build, at most twice the payload", f["peak_kib"] / 1024,
             limit / 1024, "MiB")]
    return [f"| {label} | {value:.2f} {unit} | | at most {goal:.0f} {unit} | "
            f"**{'met' if value <= goal else 'not met'}** |" for label, value, goal, unit in rows]


def step_lines(f):
    """Where the from-scratch build's time went."""
    lines = ["| Build step (from scratch, Ninja) | seconds, summed over its commands | "
             "from .. to (s after the build began) |", "|---|---:|---:|"]
    for name, (seconds, start, end) in sorted(f["steps"].items(), key=lambda s: s[1][1]):
        lines.append(f"| {name} | {seconds:.2f} | {start:.2f}..{end:.2f} |")
    c, b = f["configure"], f["build"]
    return lines + ["", f"Configure {c['seconds']:.2f} s, build {b['seconds']:.2f} s "
                    f"({c['cpu_seconds'] + b['cpu_seconds']:.1f} s of CPU); load averages "
                    + "; ".join(x for x in f["load"] if x) + "."]


if __name__ == "__main__":
    figs = figures(sys.argv[1]) if len(sys.argv) == 2 else sys.exit(__doc__)
    print("\n".join(goal_lines(figs) + [""] + step_lines(figs)) if figs else "no build figures")
