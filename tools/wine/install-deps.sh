#!/bin/sh
# install-deps.sh - the host packages that running the installer under Wine needs (idempotent):
#   mmdebstrap (makes the Wine root, wl-setup.sh), util-linux (unshare), xvfb + x11-apps (xwd) +
#   imagemagick (convert) for the failure box's screenshot, python3 for the tests, the
#   i686 mingw-w64 compiler for the helper programs, and rsync (wl-run.sh writes a size-limited
#   system directory back into the prefix). Wine itself lives only in the root.
set -eu
here=$(dirname "$(readlink -f "$0")")
sh "$here/../apt-install.sh" mmdebstrap util-linux xvfb x11-apps imagemagick python3 \
    gcc-mingw-w64-i686 g++-mingw-w64-i686 cmake make rsync
