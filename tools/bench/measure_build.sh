#!/bin/sh
# measure_build.sh BUILD_DIR [CMAKE_OPTION...]: the build figures of the benchmark. Configures
# and builds the size-faithful signed image (target setup_vannix) from scratch in BUILD_DIR with
# Ninja, then flips the last byte (padding) of one payload file and builds again; GNU time
# measures each run. Writes into BUILD_DIR/timing: configure.time, build.time, rebuild.time
# (/usr/bin/time -v), build.ninja_log and rebuild.ninja_log (Ninja's record of each step's
# start and end), load.txt. The payload file is put back afterwards and the image rebuilt.
# Env: BENCH_JOBS (default: nproc).
set -eu
top=$(dirname "$(dirname "$(dirname "$(readlink -f "$0")")")")
mkdir -p "$(dirname "$1")"
b=$(readlink -f "$1")
shift
jobs=${BENCH_JOBS:-$(nproc)}
t=$b/timing
rm -rf "$b"
mkdir -p "$t"
echo "before: $(cat /proc/loadavg)" > "$t/load.txt"
/usr/bin/time -v -o "$t/configure.time" cmake -S "$top" -B "$b" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-i686-w64-mingw32.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DSETUP_VANNIX_SIZE_FAITHFUL=ON "$@" >"$t/configure.log"
/usr/bin/time -v -o "$t/build.time" \
    cmake --build "$b" -j "$jobs" --target setup_vannix >"$t/build.log"
cp "$b/.ninja_log" "$t/build.ninja_log"
echo "after the build: $(cat /proc/loadavg)" >> "$t/load.txt"

file=$b/payload/64/KorviGovX.ocx
cp "$file" "$t/payload-file.orig"
printf '\001' | dd of="$file" bs=1 seek=$(($(stat -c %s "$file") - 1)) conv=notrunc status=none
/usr/bin/time -v -o "$t/rebuild.time" \
    cmake --build "$b" -j "$jobs" --target setup_vannix >"$t/rebuild.log"
tail -n +"$(($(wc -l < "$t/build.ninja_log") + 1))" "$b/.ninja_log" > "$t/rebuild.ninja_log"
echo "after the rebuild: $(cat /proc/loadavg)" >> "$t/load.txt"
mv "$t/payload-file.orig" "$file"
cmake --build "$b" -j "$jobs" --target setup_vannix >/dev/null
