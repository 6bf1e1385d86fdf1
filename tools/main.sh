#!/bin/sh
# main.sh - the main job: installs what the build and the Wine runs need (idempotent), builds the
# installer (build/win32/setup_vannix.exe), runs it once in a throwaway copy of the pristine
# 64-bit (WOW64) Wine prefix, and prints what it installed as the installation check
# (build/win32/setup_vannix_check.exe --json) finds it on that machine: each file with its size
# and whether it is this release's, each class and whether it is registered, and the verdict.
# Exit status: the installer's exit code (2 when the check finds the installation incomplete).
set -eu
cd "$(dirname "$(readlink -f "$0")")/.."
t0=$(date +%s)
step() { echo "== $* ($(( $(date +%s) - t0 )) s)"; }

step "dependencies, Wine root and pristine prefixes (made once per machine)"
sh tools/install-deps.sh
step "build"
sh tools/build.sh
step "payload embedded in build/win32/setup_vannix.exe"
/usr/bin/python3 tools/image/print_payload.py build/win32/setup_vannix.exe
step "run"
rc=0
/usr/bin/python3 tools/wine/show_install.py --build-dir build/win32 --kind win64 || rc=$?
step "done, exit status $rc"
exit $rc
