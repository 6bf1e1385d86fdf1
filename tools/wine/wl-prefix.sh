#!/bin/sh
# wl-prefix.sh [win64|win32]...   makes the pristine Wine prefixes, once per machine (idempotent).
#   win64: WOW64 prefix (32-bit programs see SysWOW64 and IsWow64Process = TRUE)
#   win32: WINEARCH=win32 prefix (System32 is the 32-bit system directory)
# They live in $WL_CACHE/prefix-<kind> (default /var/cache/setup_vannix) and are never run in:
# tests copy one (`cp -a`, about 2 s) and work on the copy. Default: both kinds.
# The prefixes use Wine's null graphics driver (dialogs are created and block, nothing needs X);
# wl-prefix.sh --graphics x11 PREFIX switches a copy to the X11 driver (for Xvfb screenshots).
set -eu
here=$(dirname "$(readlink -f "$0")")
WL_CACHE=${WL_CACHE:-/var/cache/setup_vannix}
WL_ROOT=${WL_ROOT:-$WL_CACHE/wine-root}
if [ "${1:-}" = "--graphics" ]; then
    # Edit the copy's user.reg directly: no Wine start needed.
    drv=$2; reg=$3/user.reg
    grep -q '"Graphics"=' "$reg" || { echo "wl-prefix: no Graphics value in $reg" >&2; exit 1; }
    sed -i "s/^\"Graphics\"=\".*\"/\"Graphics\"=\"$drv\"/" "$reg"
    exit 0
fi
[ $# -gt 0 ] || set -- win64 win32
mkdir -p "$WL_CACHE"
exec 9>"$WL_CACHE/prefix.lock"; flock 9    # one maker at a time
for kind in "$@"; do
    case $kind in win64|win32) ;; *) echo "wl-prefix: unknown kind $kind" >&2; exit 2 ;; esac
    p=$WL_CACHE/prefix-$kind
    # Made from the present root? (a rebuilt root means a remade prefix)
    if [ -f "$p/.wl-pristine" ] && [ -n "$(find "$p/.wl-pristine" -newer "$WL_ROOT/.wl-ready")" ]; then
        echo "wl-prefix: $p already made"; continue
    fi
    rm -rf "$p"                  # half-made prefix from an interrupted run
    t0=$(date +%s)
    WL_PREFIX=$p WINEARCH=$kind WL_BIND=/tmp "$here/wl-run.sh" --sh 'wineserver -w'
    grep -q '"Graphics"="null"' "$p/user.reg" || { echo "wl-prefix: $p has no null graphics driver" >&2; exit 1; }
    case $kind in
        win64) test -d "$p/drive_c/windows/syswow64" ;;
        win32) test ! -d "$p/drive_c/windows/syswow64" && test -d "$p/drive_c/windows/system32" ;;
    esac
    touch "$p/.wl-pristine"
    echo "wl-prefix: made $p in $(( $(date +%s) - t0 )) s ($(du -sh "$p" | cut -f1))"
done
