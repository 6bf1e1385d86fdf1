#!/bin/sh
# Installs what the benchmark needs on Debian 12 (idempotent, needs root): the project's build and
# Wine dependencies (tools/install-deps.sh: cross compilers, osslsigncode, the Wine root and its
# pristine prefixes), then wixl and msitools (the peer package), python3-matplotlib (the chart)
# and GNU time (build figures).
set -eu
here=$(dirname "$(readlink -f "$0")")
sh "$here/../install-deps.sh"
pkgs="wixl msitools python3-matplotlib time"
missing=""
for p in $pkgs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "bench install-deps: installing$missing"
    apt-get update -qq || true
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
fi
