#!/bin/sh
# run.sh - the installer's benchmark, in one command: sh tools/bench/run.sh
# Installs what it needs (idempotent), builds build/bench from scratch (size-faithful payload,
# benchmark programs) while measuring the build step by step, then runs tools/bench/bench.py:
# the installer, a plain baseline, a Windows Installer peer, two NSIS 3 peers, the installation
# check beside its practical limit and a do-nothing floor under Wine, side by side; then the
# installer's and the baseline's phases timed from inside, memory figures, the copy probe and
# the check's registry walk (also with 5,000 more classes).
# Results: build/bench/results/results.{md,json,png}. Fails only when something cannot run.
# Env: BENCH_ROUNDS (default 5), BENCH_MEMORY_RUNS (default 3), BENCH_PHASE_RUNS (default 3),
# BENCH_EXTRA_CLASSES (default 5000), BENCH_PAIRS (default 16: blocks of paired runs for the
# installer's goals and as many for the check's); BENCH_GENERATOR and BENCH_JOBS
# for the measured build (tools/bench/measure_build.sh).
set -eu
top=$(dirname "$(dirname "$(dirname "$(readlink -f "$0")")")")
cd "$top"
b=build/bench
echo "== dependencies"
sh tools/bench/install-deps.sh
echo "== machine before: $(uptime)"

echo "== build from scratch ($b, size-faithful payload), measured step by step"
# Configure and build of the signed image, then the rebuild after one payload file changed
# (tools/bench/measure_build.sh, figures in $b/timing); then the benchmark programs.
sh tools/bench/measure_build.sh "$b" -DSETUP_VANNIX_BENCHMARKS=ON
cmake --build "$b" -j "$(nproc)" --target vannix_benchmarks >"$b/timing/build-bench.log"

echo "== runs under Wine"
/usr/bin/python3 tools/bench/bench.py --build-dir "$b" --rounds "${BENCH_ROUNDS:-5}" \
    --memory-runs "${BENCH_MEMORY_RUNS:-3}" --phase-runs "${BENCH_PHASE_RUNS:-3}" \
    --extra-classes "${BENCH_EXTRA_CLASSES:-5000}" --pairs "${BENCH_PAIRS:-16}"
echo "== machine after: $(uptime)"
