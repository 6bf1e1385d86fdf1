#!/bin/sh
# Installs what building and testing the installer needs on Debian 12 (idempotent, needs root),
# then the Wine root and its pristine prefixes (made once per machine).
set -eu
here=$(dirname "$(readlink -f "$0")")
sh "$here/apt-install.sh" cmake make g++ googletest libgtest-dev mingw-w64 gcc-mingw-w64-x86-64 \
    binutils-mingw-w64-i686 mingw-w64-tools osslsigncode openssl libssl-dev python3 python3-pefile \
    python3-jsonschema file faketime libengine-pkcs11-openssl softhsm2 opensc ninja-build
sh "$here/wine/install-deps.sh"
sh "$here/wine/wl-setup.sh"
sh "$here/wine/wl-prefix.sh"
