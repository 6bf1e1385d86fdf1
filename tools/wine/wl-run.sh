#!/bin/sh
# wl-run.sh PROGRAM.exe [ARGS...]   runs `wine PROGRAM.exe ARGS...` in the wl-setup.sh root.
# wl-run.sh --sh 'SHELL TEXT'       runs SHELL TEXT with /bin/sh in the root, Wine's environment
#                                   set (several Windows programs can share one wineserver).
#
# Everything happens in a private user+mount+pid namespace: there binfmt_misc gets its own
# instance (kernel >= 6.7) in which i386 ELF files are handed to qemu-i386, so the host's
# binfmt_misc and mounts are never touched. Exit status = the Windows program's exit code (or
# the shell text's). At the end `wineserver -k` runs, which saves the registry files.
#
# Env: WL_ROOT (the root), WL_PREFIX (Wine prefix, host path; created when missing),
#   WL_BIND (colon-separated host dirs made visible at the same path inside; default $PWD; the
#   first one is the working directory), WL_DISMISS (Windows program started in the background
#   first, with WL_DISMISS_ARGS), WINEDEBUG (default -all), WINEARCH (win64 or win32; used only
#   when the prefix is first created), WL_DLLOVERRIDES (more WINEDLLOVERRIDES entries, e.g.
#   msxml6=n), DISPLAY (an X display such as :99 on the host, e.g. Xvfb: its socket is made
#   visible inside; the prefix must use the x11 graphics driver, see wl-prefix.sh).
set -eu
WL_ROOT=${WL_ROOT:-/var/cache/setup_vannix/wine-root}
WL_PREFIX=${WL_PREFIX:-/var/cache/setup_vannix/prefix-win64}
WL_BIND=${WL_BIND:-$PWD}
if [ "${1:-}" != "--wl-inside" ]; then
    [ -f "$WL_ROOT/.wl-ready" ] || { echo "wl-run: run wl-setup.sh first (no $WL_ROOT)" >&2; exit 125; }
    [ $# -gt 0 ] || { echo "usage: wl-run.sh PROGRAM.exe [ARGS...] | wl-run.sh --sh 'SHELL TEXT'" >&2; exit 125; }
    mkdir -p "$WL_PREFIX"
    export WL_ROOT WL_PREFIX WL_BIND
    exec unshare --user --map-root-user --mount --pid --fork --kill-child -- "$(readlink -f "$0")" --wl-inside "$@"
fi
shift
R=$WL_ROOT
mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
printf ':wl-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:%s:F' \
    "$R/usr/bin/qemu-i386-static" > /proc/sys/fs/binfmt_misc/register
mount -t proc proc "$R/proc"
mount --rbind /dev "$R/dev"
mount -t tmpfs tmpfs "$R/tmp"
if [ -n "${DISPLAY:-}" ] && [ -d /tmp/.X11-unix ]; then
    mkdir -p "$R/tmp/.X11-unix"; mount --bind /tmp/.X11-unix "$R/tmp/.X11-unix"
fi
mkdir -p "$R$WL_PREFIX"; mount --bind "$WL_PREFIX" "$R$WL_PREFIX"
old_ifs=$IFS; IFS=:
for d in $WL_BIND; do
    [ -n "$d" ] || continue
    mkdir -p "$d" "$R$d"; mount --bind "$d" "$R$d"
done
IFS=$old_ifs
WL_CWD=${WL_BIND%%:*}
exec chroot "$R" /usr/bin/env -i HOME=/root USER=root LANG=C.UTF-8 PATH=/usr/bin:/bin \
    WINEPREFIX="$WL_PREFIX" WINEDEBUG="${WINEDEBUG:--all}" WINEARCH="${WINEARCH:-win64}" \
    WINEDLLOVERRIDES="mscoree,mshtml=${WL_DLLOVERRIDES:+;$WL_DLLOVERRIDES}" \
    ${DISPLAY:+DISPLAY="$DISPLAY"} \
    WL_DISMISS="${WL_DISMISS:-}" WL_DISMISS_ARGS="${WL_DISMISS_ARGS:-}" WL_CWD="$WL_CWD" /bin/sh -c '
cd "$WL_CWD"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    t0=$(date +%s%N)
    wine wineboot -i >/dev/null 2>&1
    # null graphics driver: windows can be created (dialogs block) but nothing needs X
    wine reg add "HKCU\\Software\\Wine\\Drivers" /v Graphics /d null /f >/dev/null 2>&1
    wineserver -w
    echo "wl-run: created prefix $WINEPREFIX in $(( ($(date +%s%N) - t0) / 1000000 )) ms" >&2
fi
# shellcheck disable=SC2086
[ -n "$WL_DISMISS" ] && wine "$WL_DISMISS" $WL_DISMISS_ARGS &
rc=0
if [ "$1" = "--sh" ]; then sh -c "$2" || rc=$?; else wine "$@" || rc=$?; fi
wineserver -k 2>/dev/null || true   # ends leftovers; the registry is saved on the way out
exit $rc' wl-run "$@"
