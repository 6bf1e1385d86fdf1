#!/bin/sh
# measure_build.sh BUILD_DIR [CMAKE_OPTION...]: the build figures of the benchmark. Configures
# and builds the size-faithful signed image (target setup_vannix) from scratch in BUILD_DIR, then
# changes one payload file and builds again; GNU time measures each run and, through
# tools/bench/step_log.cmake, each command of it. Writes into BUILD_DIR/timing:
#   configure.time, build.time, rebuild.time   /usr/bin/time -v reports
#   build-steps.log, rebuild-steps.log          one line per command (wall, peak KiB, user, sys)
#   load.txt                                     load averages before and after
# Env: SOURCE_DIR (default: this checkout), BENCH_GENERATOR (default: Ninja, as tools/build.sh),
# BENCH_JOBS (default: nproc). The payload file is put back afterwards and the image rebuilt.
set -eu
top=$(dirname "$(dirname "$(dirname "$(readlink -f "$0")")")")
src=${SOURCE_DIR:-$top}
# A fresh clone has no build/ yet: readlink -f needs the parent to exist.
mkdir -p "$(dirname "$1")"
b=$(readlink -f "$1")
shift
jobs=${BENCH_JOBS:-$(nproc)}
t=$b/timing
rm -rf "$b"
mkdir -p "$t"
generator="-G${BENCH_GENERATOR:-Ninja}"
echo "before: $(cat /proc/loadavg)" > "$t/load.txt"

# shellcheck disable=SC2086
/usr/bin/time -v -o "$t/configure.time" cmake -S "$src" -B "$b" $generator \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchain-i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DSETUP_VANNIX_SIZE_FAITHFUL=ON \
    -DCMAKE_PROJECT_INCLUDE="$top/tools/bench/step_log.cmake" \
    -DSETUP_VANNIX_STEP_LOG="$t/steps.log" "$@" >"$t/configure.log"
/usr/bin/time -v -o "$t/build.time" \
    cmake --build "$b" -j "$jobs" --target setup_vannix >"$t/build.log"
mv "$t/steps.log" "$t/build-steps.log"
echo "after the build: $(cat /proc/loadavg)" >> "$t/load.txt"

# One payload file changes: its last byte (padding) is flipped in place.
file=$b/payload/64/KorviGovX.ocx
cp "$file" "$t/payload-file.orig"
size=$(stat -c %s "$file")
printf '\001' | dd of="$file" bs=1 seek=$((size - 1)) conv=notrunc status=none
/usr/bin/time -v -o "$t/rebuild.time" \
    cmake --build "$b" -j "$jobs" --target setup_vannix >"$t/rebuild.log"
mv "$t/steps.log" "$t/rebuild-steps.log"
echo "after the rebuild: $(cat /proc/loadavg)" >> "$t/load.txt"

cp "$t/payload-file.orig" "$file"
rm "$t/payload-file.orig"
cmake --build "$b" -j "$jobs" --target setup_vannix >/dev/null
rm -f "$t/steps.log"
