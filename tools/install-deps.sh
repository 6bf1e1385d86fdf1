#!/bin/sh
# Installs what building and testing the installer needs on Debian 12 (idempotent, needs root),
# then the Wine root and its pristine prefixes (made once per machine).
set -eu
here=$(dirname "$(readlink -f "$0")")
pkgs="cmake make g++ googletest libgtest-dev mingw-w64 gcc-mingw-w64-x86-64 osslsigncode openssl
      python3 python3-pefile binutils-mingw-w64-i686 file"
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "install-deps: installing$missing"
    apt-get update -qq || true        # a broken foreign-architecture index must not stop us
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
fi
sh "$here/wine/install-deps.sh"
if [ "${SETUP_VANNIX_NO_WINE:-0}" != 1 ]; then
    sh "$here/wine/wl-setup.sh"
    sh "$here/wine/wl-prefix.sh"
fi
