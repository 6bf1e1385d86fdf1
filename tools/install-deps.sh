#!/bin/sh
# Installs what building and testing the installer needs on Debian 12 (idempotent, needs root),
# then the Wine root and its pristine prefixes (made once per machine).
#   install-deps.sh [--build-only]
# --build-only: only what `sh tools/build.sh` needs (the cross toolchain, widl, the signing tools,
# the unit tests' libraries), no Wine lab: the hosted build job (.github/workflows/windows.yml).
set -eu
here=$(dirname "$(readlink -f "$0")")
build="cmake ninja-build g++ googletest libgtest-dev libssl-dev mingw-w64 gcc-mingw-w64-x86-64
    binutils-mingw-w64-i686 mingw-w64-tools osslsigncode openssl python3 python3-pefile faketime"
# The image tests (schema, PKCS#11 signing, a Makefile build tree) and the workflow's test.
tests="make file python3-jsonschema python3-yaml libengine-pkcs11-openssl softhsm2 opensc"
case "${1-}" in
    --build-only)
        # shellcheck disable=SC2086
        sh "$here/apt-install.sh" $build
        exit 0 ;;
    "") ;;
    *) echo "usage: install-deps.sh [--build-only]" >&2; exit 2 ;;
esac
# shellcheck disable=SC2086
sh "$here/apt-install.sh" $build $tests
sh "$here/wine/install-deps.sh"
sh "$here/wine/wl-setup.sh"
sh "$here/wine/wl-prefix.sh"
