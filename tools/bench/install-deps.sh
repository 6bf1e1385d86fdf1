#!/bin/sh
# Installs what the benchmark needs on Debian 12 (idempotent, needs root): the project's build and
# Wine dependencies (tools/install-deps.sh: cross compilers, osslsigncode, the Wine root and its
# pristine prefixes), then wixl and msitools (the MSI peer), nsis and python3-capstone (the NSIS
# peer and its relocations), python3-matplotlib (the chart)
# and GNU time (build figures).
set -eu
here=$(dirname "$(readlink -f "$0")")
sh "$here/../install-deps.sh"
sh "$here/../apt-install.sh" wixl msitools python3-matplotlib time nsis python3-capstone
