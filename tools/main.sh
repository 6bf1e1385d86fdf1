#!/bin/sh
# main.sh - the main job: installs what the build and the Wine runs need (idempotent), builds the
# installer (tools/build.sh -> build/win32/setup_vannix.exe), runs it once in a throwaway copy of
# the pristine 64-bit (WOW64) Wine prefix, and prints what it installed: each file with its size
# and whether it matches its payload, and each class it registered (CLSID -> InprocServer32).
# Exit status: the installer's exit code (2 when a file is missing or differs from its payload).
set -eu
cd "$(dirname "$(readlink -f "$0")")/.."
t0=$(date +%s)
step() { echo "== $* ($(( $(date +%s) - t0 )) s)"; }

step "dependencies"
if [ -f tools/install-deps.sh ]; then sh tools/install-deps.sh; fi
sh tools/wine/install-deps.sh

step "build"
if [ -f tools/build.sh ]; then
    sh tools/build.sh
else
    cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake \
        -DCMAKE_BUILD_TYPE=Release
    cmake --build build/win32 -j "$(nproc)"
fi
[ -f build/win32/setup_vannix.exe ] || { echo "main: build/win32/setup_vannix.exe was not built" >&2; exit 1; }

step "Wine root and pristine prefix (made once per machine)"
sh tools/wine/wl-setup.sh
sh tools/wine/wl-prefix.sh win64

step "run"
rc=0
/usr/bin/python3 tools/wine/show_install.py --build-dir build/win32 --kind win64 || rc=$?
step "done, exit status $rc"
exit $rc
