#!/bin/sh
# install-deps.sh - the host packages that running the installer under Wine needs (idempotent):
#   mmdebstrap (makes the Wine root, wl-setup.sh), util-linux (unshare), xvfb + x11-apps (xwd) +
#   imagemagick (convert) for the failure box's screenshot, python3 for the tests, and the
#   i686 mingw-w64 compiler for the helper programs. Wine itself lives only in the root.
set -eu
pkgs="mmdebstrap util-linux xvfb x11-apps imagemagick python3 gcc-mingw-w64-i686 g++-mingw-w64-i686 cmake make"
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -z "$missing" ]; then echo "wine install-deps: all present"; exit 0; fi
echo "wine install-deps: installing$missing"
apt-get update -qq || true        # a broken foreign-architecture index must not stop us
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
