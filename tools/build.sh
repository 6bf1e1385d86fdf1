#!/bin/sh
# Builds the native unit tests (build/native) and the signed installer image (build/win32).
# Extra arguments go to the cross build's configure step, e.g. -DSETUP_VANNIX_SIZE_FAITHFUL=ON.
set -eu
top=$(dirname "$(dirname "$(readlink -f "$0")")")
cd "$top"
jobs=$(nproc)
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build/native -j "$jobs"
cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
      -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build build/win32 -j "$jobs"
