#!/bin/sh
# run.sh - the installer's benchmark, in one command: sh tools/bench/run.sh
# Installs what it needs (idempotent), builds build/bench from scratch (size-faithful payload,
# benchmark programs) while measuring the build, then runs tools/bench/bench.py: the installer,
# a plain baseline, a Windows Installer peer and a do-nothing floor under Wine, side by side.
# Results: build/bench/results/results.{md,json,png}. Fails only when something cannot run.
# Env: BENCH_ROUNDS (default 5), BENCH_MEMORY_RUNS (default 3).
set -eu
top=$(dirname "$(dirname "$(dirname "$(readlink -f "$0")")")")
cd "$top"
b=build/bench
echo "== dependencies"
sh tools/bench/install-deps.sh
echo "== machine before: $(uptime)"

echo "== build from scratch ($b, size-faithful payload), measured"
rm -rf "$b"
mkdir -p "$b/timing"
/usr/bin/time -v -o "$b/timing/image-build.time" sh -c "
    cmake -S . -B '$b' -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
          -DCMAKE_BUILD_TYPE=Release -DSETUP_VANNIX_SIZE_FAITHFUL=ON \
          -DSETUP_VANNIX_BENCHMARKS=ON >'$b/timing/configure.log' &&
    cmake --build '$b' -j '$(nproc)' --target setup_vannix >'$b/timing/build.log'"
cmake --build "$b" -j "$(nproc)" --target vannix_benchmarks >"$b/timing/build-bench.log"
# The link of the image alone: the unsigned image again, nothing else out of date.
rm -f "$b/setup_vannix-unsigned.exe"
/usr/bin/time -v -o "$b/timing/link.time" \
    cmake --build "$b" --target setup_vannix_unsigned >"$b/timing/link.log"

echo "== runs under Wine"
/usr/bin/python3 tools/bench/bench.py --build-dir "$b" --rounds "${BENCH_ROUNDS:-5}" \
    --memory-runs "${BENCH_MEMORY_RUNS:-3}"
echo "== machine after: $(uptime)"
