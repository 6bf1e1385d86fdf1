#!/usr/bin/python3
"""The build figures of the benchmark, from what tools/bench/measure_build.sh wrote into
BUILD/timing: the from-scratch build of the signed image split into its steps, each with its time
and peak memory, and the rebuild after one payload file changed.

    build_figures.py BUILD_DIR     prints the table (bench.py puts it into its results)

A step's time is the sum of its commands' wall times: with two jobs, steps overlap, so the steps
add up to more than the total. "build tool" is the CPU time of make (or ninja) and CMake's own
helper processes: the build's CPU time less that of the commands."""
import os
import re
import sys

# Step of a command, by the first pattern its command line matches.
STEPS = [
    ("test PKI", r"make_test_pki\.sh"),
    ("sample components", r"tools/components/|[Ss][Aa][Mm][Pp][Ll][Ee]_|/samples/"),
    ("icon", r"make_icon\.py"),
    ("payload validation", r"validate_payload\.py|list_payload_dir\.py"),
    ("resources (windres)", r"windres"),
    ("payload embedding", r"embed_payload\.py"),
    ("signing", r"sign_image\.sh"),
    ("compile (installer C++)", r"\.(cpp|cxx)(\.obj)?\b"),
    ("link", r"\.exe\b|cmake -E rm -f \S+\.a\b|\b(ar|ranlib)\b|objects\.a"),
]
ORDER = ["configure"] + [name for name, _ in STEPS] + ["other", "build tool"]


def read_time_v(path):
    """Wall, user and system seconds and peak RSS (KiB) from a `/usr/bin/time -v` report."""
    if not os.path.isfile(path):
        return None
    text = open(path).read()
    m = re.search(r"Elapsed \(wall clock\) time \(h:mm:ss or m:ss\): (?:(\d+):)?(\d+):([\d.]+)",
                  text)
    wall = int(m.group(1) or 0) * 3600 + int(m.group(2)) * 60 + float(m.group(3))

    def field(label):
        return float(re.search(rf"{label}: ([\d.]+)", text).group(1))

    return {"seconds": wall, "user_seconds": field(r"User time \(seconds\)"),
            "system_seconds": field(r"System time \(seconds\)"),
            "peak_rss_kib": int(field(r"Maximum resident set size \(kbytes\)"))}


def read_steps(path):
    """[(step, wall s, peak KiB, cpu s, command)] from a step log of tools/bench/step_log.cmake."""
    rows = []
    if not os.path.isfile(path):
        return rows
    for line in open(path, errors="replace"):
        parts = line.rstrip("\n").split(" ", 4)
        if len(parts) < 5 or parts[0].startswith("Command"):
            continue  # a failed command's status line
        wall, peak, user, system, command = parts
        step = next((name for name, pattern in STEPS if re.search(pattern, command)), "other")
        rows.append((step, float(wall), int(peak), float(user) + float(system), command))
    return rows


def summarize(run, rows):
    """{step: {seconds, cpu_seconds, peak_rss_kib, commands}} plus the build tool's CPU time."""
    steps = {}
    for step, wall, peak, cpu, _ in rows:
        s = steps.setdefault(step, {"seconds": 0.0, "cpu_seconds": 0.0, "peak_rss_kib": 0,
                                    "commands": 0})
        s["seconds"] += wall
        s["cpu_seconds"] += cpu
        s["peak_rss_kib"] = max(s["peak_rss_kib"], peak)
        s["commands"] += 1
    if run:
        tool = run["user_seconds"] + run["system_seconds"] - sum(r[3] for r in rows)
        steps["build tool"] = {"seconds": None, "cpu_seconds": max(tool, 0.0),
                               "peak_rss_kib": None, "commands": None}
    return steps


def figures(build_dir):
    """The build figures of BUILD_DIR/timing, or None when there are none."""
    timing = os.path.join(build_dir, "timing")
    configure = read_time_v(os.path.join(timing, "configure.time"))
    build = read_time_v(os.path.join(timing, "build.time"))
    if not (configure and build):
        return None
    steps = summarize(build, read_steps(os.path.join(timing, "build-steps.log")))
    steps["configure"] = {"seconds": configure["seconds"],
                          "cpu_seconds": configure["user_seconds"] + configure["system_seconds"],
                          "peak_rss_kib": configure["peak_rss_kib"], "commands": None}
    total = {"seconds": configure["seconds"] + build["seconds"],
             "cpu_seconds": sum(r["user_seconds"] + r["system_seconds"]
                                for r in (configure, build)),
             "peak_rss_kib": max(configure["peak_rss_kib"], build["peak_rss_kib"])}
    result = {"steps": steps, "total": total}
    rebuild = read_time_v(os.path.join(timing, "rebuild.time"))
    if rebuild:
        rows = read_steps(os.path.join(timing, "rebuild-steps.log"))
        result["rebuild"] = {"seconds": rebuild["seconds"],
                             "cpu_seconds": rebuild["user_seconds"] + rebuild["system_seconds"],
                             "peak_rss_kib": rebuild["peak_rss_kib"],
                             "steps": summarize(rebuild, rows)}
    load = os.path.join(timing, "load.txt")
    if os.path.isfile(load):
        result["load"] = open(load).read().strip().splitlines()
    return result


def table(fig):
    """Markdown lines of the build table."""

    def cell(value, unit=1.0, fmt="{:.2f}"):
        return "" if value is None else fmt.format(value / unit)

    lines = ["| Build of the size-faithful signed image, from scratch | time (s) | CPU (s) "
             "| peak (MiB) |", "|---|---:|---:|---:|"]
    for name in ORDER:
        s = fig["steps"].get(name)
        if s is None:
            continue
        lines.append(f"| {name} | {cell(s['seconds'])} | {cell(s['cpu_seconds'])} | "
                     f"{cell(s['peak_rss_kib'], 1024, '{:.0f}')} |")
    t = fig["total"]
    lines.append(f"| **total: configure + build** | **{t['seconds']:.2f}** | "
                 f"{t['cpu_seconds']:.2f} | **{t['peak_rss_kib'] / 1024:.0f}** |")
    r = fig.get("rebuild")
    if r:
        ran = ", ".join(n for n in ORDER if n in r["steps"] and n != "build tool")
        lines.append(f"| **rebuild after one payload file changed** ({ran}) | "
                     f"**{r['seconds']:.2f}** | {r['cpu_seconds']:.2f} | "
                     f"**{r['peak_rss_kib'] / 1024:.0f}** |")
    lines.append("")
    lines.append("A step's time sums its commands' wall times (steps run side by side, two jobs); "
                 "peak: the largest process. " + "; ".join(fig.get("load", [])) + ".")
    return lines


def main(argv):
    if len(argv) != 2:
        sys.exit("usage: build_figures.py BUILD_DIR")
    fig = figures(argv[1])
    if fig is None:
        sys.exit(f"no build figures in {argv[1]}/timing")
    print("\n".join(table(fig)))


if __name__ == "__main__":
    main(sys.argv)
