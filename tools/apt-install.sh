#!/bin/sh
# apt-install.sh PACKAGE...: installs the packages that are not installed yet (idempotent, root).
set -eu
missing=""
for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -n "$missing" ] || exit 0
echo "apt-install:$missing"
apt-get update -qq || true        # a broken foreign-architecture index must not stop us
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
