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
    --build-only) tests="" ;;
    "") ;;
    *) echo "usage: install-deps.sh [--build-only]" >&2; exit 2 ;;
esac
# shellcheck disable=SC2086
sh "$here/apt-install.sh" $build $tests
# Signing with the test PKI's time-stamp authority takes osslsigncode's -TSA-* options, which
# bookworm's 2.5 lacks: osslsigncode 2.9 from bookworm-backports, on the host's own mirror.
if ! dpkg --compare-versions "$(dpkg-query -W -f='${Version}' osslsigncode)" ge 2.9; then
    # The first URI of the apt sources (deb822 or one-line), as tools/wine/wl-setup.sh finds it.
    mirror=$({ cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk '/^URIs:/ {print $2}'
               cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
                   awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) {print $i; break}}'
             } | grep -v security | head -n 1)
    [ -n "$mirror" ] || { echo "install-deps: no Debian mirror in the apt sources" >&2; exit 1; }
    printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\n' "$mirror" \
        > /etc/apt/sources.list.d/setup_vannix-backports.sources
    apt-get update -qq || true
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -t bookworm-backports osslsigncode
fi
if [ -z "$tests" ]; then exit 0; fi
sh "$here/wine/install-deps.sh"
sh "$here/wine/wl-setup.sh"
sh "$here/wine/wl-prefix.sh"
