#!/bin/sh
# wl-setup.sh - idempotent. Builds a Debian trixie chroot containing Wine 10 (wine64 + wine32:i386)
# and qemu-user-static, so that 32-bit PE programs can run on an x86-64 kernel booted with
# ia32_emulation=off (no native 32-bit code at all). Needs root, and Debian's mirror.
set -eu
WL_ROOT=${WL_ROOT:-/var/cache/setup_vannix/wine-root}
mkdir -p "$(dirname "$WL_ROOT")"
# One set-up at a time (parallel test runs on one machine wait for each other).
exec 9>"$WL_ROOT.lock"; flock 9
if [ -f "$WL_ROOT/.wl-ready" ]; then echo "wl-setup: $WL_ROOT already set up"; exit 0; fi
# The host's own Debian mirror (the first URI of its apt sources), unless WL_MIRROR names one.
host_mirror() {
    { awk '/^URIs:/ {print $2}' /etc/apt/sources.list.d/*.sources 2>/dev/null
      awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; break}}' \
          /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null; } | grep -v security | head -n 1
}
WL_MIRROR=${WL_MIRROR:-$(host_mirror)}
[ -n "$WL_MIRROR" ] || { echo "wl-setup: no Debian mirror found in the apt sources; set WL_MIRROR" >&2; exit 1; }
if ! command -v mmdebstrap >/dev/null 2>&1; then
    apt-get update -qq || true     # a broken foreign-arch index must not stop us
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap
fi
rm -rf "$WL_ROOT"                  # half-made root from an interrupted run
mmdebstrap --variant=apt --architectures=amd64,i386 \
    --aptopt='APT::Install-Recommends "false"' \
    --include=wine,wine64,libwine,wine32:i386,libwine:i386,qemu-user-static${WL_EXTRA_PKGS:+,$WL_EXTRA_PKGS} \
    trixie "$WL_ROOT" "$WL_MIRROR"
test -x "$WL_ROOT/usr/bin/qemu-i386-static"
test -x "$WL_ROOT/usr/lib/wine/wine"
touch "$WL_ROOT/.wl-ready"
echo "wl-setup: done"
