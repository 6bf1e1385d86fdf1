#!/bin/sh
# run.sh - the installer's benchmark, in one command: sh tools/bench/run.sh (docs/benchmark.md).
# Installs what it needs (idempotent), builds build/bench from scratch (size-faithful payload)
# while measuring the build, then runs tools/bench/bench.py under Wine. Results:
# build/bench/results/results.{md,json}. Fails only when something cannot run.
# Env: BENCH_BLOCKS (default 16: about 30 minutes on 2 cores), BENCH_MEMORY_RUNS (default 3),
# BENCH_EXTRA_CLASSES (default 5000), BENCH_JOBS (the measured build's jobs, default nproc).
set -eu
top=$(dirname "$(dirname "$(dirname "$(readlink -f "$0")")")")
cd "$top"
b=build/bench
echo "== dependencies"
sh tools/install-deps.sh
# wixl and msitools: the Windows Installer peer; nsis and capstone: the NSIS peer; GNU time.
sh tools/apt-install.sh wixl msitools nsis python3-capstone time
echo "== machine before: $(uptime)"
echo "== build from scratch ($b, size-faithful payload), measured"
sh tools/bench/measure_build.sh "$b" -DSETUP_VANNIX_BENCHMARKS=ON
cmake --build "$b" -j "$(nproc)" --target vannix_benchmarks >"$b/timing/build-bench.log"
echo "== runs under Wine"
/usr/bin/python3 tools/bench/bench.py --build-dir "$b" --blocks "${BENCH_BLOCKS:-16}" \
    --memory-runs "${BENCH_MEMORY_RUNS:-3}" --extra-classes "${BENCH_EXTRA_CLASSES:-5000}"
echo "== machine after: $(uptime)"
