#!/bin/sh
# The whole test suite on a fresh Debian 12 machine: installs what it needs, builds, and runs the
# unit tests (fake platform), the image tests (the signed PE) and the end-to-end runs under Wine.
set -eu
top=$(dirname "$(dirname "$(readlink -f "$0")")")
cd "$top"
sh tools/install-deps.sh
sh tools/build.sh
ctest --test-dir build/native --output-on-failure
file build/win32/setup_vannix.exe | grep -q 'PE32 executable (GUI) Intel 80386' || {
    echo "setup_vannix.exe is not a PE32 GUI i386 image" >&2; exit 1; }
ctest --test-dir build/win32 --output-on-failure -j 2 --timeout 3000
