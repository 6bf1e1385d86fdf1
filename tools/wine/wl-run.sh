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
# WL_USER=UID[:GID] (1..65535; GID defaults to UID): Wine and the programs run as that ordinary
#   user instead of root, so that Unix permissions apply to them as Windows' do (a read-only
#   file cannot be opened for writing). The prefix is chowned to the user when it is not
#   theirs (and back to root by a later run without WL_USER); HOME is a fresh directory in the
#   root's /tmp. Bound directories that programs write into must be writable by the user.
# WL_SYSDIR_FREE_MB=N: the prefix's system directory for 32-bit programs (syswow64 in a WOW64
#   prefix, else system32) is, during the run, a tmpfs holding its contents with exactly N MiB
#   free (a disk that fills up). At the end the tmpfs's contents are written back into the
#   prefix (rsync --delete), so the host sees what the run left and a later run (with more
#   room, or none of this) goes on from there.
set -eu
WL_ROOT=${WL_ROOT:-/var/cache/setup_vannix/wine-root}
WL_PREFIX=${WL_PREFIX:-/var/cache/setup_vannix/prefix-win64}
WL_BIND=${WL_BIND:-$PWD}
WL_USER=${WL_USER:-}
WL_SYSDIR_FREE_MB=${WL_SYSDIR_FREE_MB:-}
if [ "${1:-}" != "--wl-inside" ]; then
    [ -f "$WL_ROOT/.wl-ready" ] || { echo "wl-run: run wl-setup.sh first (no $WL_ROOT)" >&2; exit 125; }
    [ $# -gt 0 ] || { echo "usage: wl-run.sh PROGRAM.exe [ARGS...] | wl-run.sh --sh 'SHELL TEXT'" >&2; exit 125; }
    uid=0 gid=0
    if [ -n "$WL_USER" ]; then
        uid=${WL_USER%%:*}; gid=${WL_USER#*:}
        case "$uid.$gid" in
            *[!0-9.]*|.*|*.) echo "wl-run: WL_USER must be UID or UID:GID, not '$WL_USER'" >&2; exit 125 ;;
        esac
        [ "$uid" -lt 65536 ] && [ "$gid" -lt 65536 ] || { echo "wl-run: WL_USER above 65535" >&2; exit 125; }
    fi
    if [ -n "$WL_SYSDIR_FREE_MB" ]; then
        case $WL_SYSDIR_FREE_MB in *[!0-9]*) echo "wl-run: WL_SYSDIR_FREE_MB must be a number" >&2; exit 125 ;; esac
        [ -d "$WL_PREFIX/drive_c/windows/system32" ] || { echo "wl-run: WL_SYSDIR_FREE_MB needs a made prefix" >&2; exit 125; }
    fi
    mkdir -p "$WL_PREFIX"
    # Wine refuses a prefix its user does not own.
    [ "$(stat -c %u:%g "$WL_PREFIX")" = "$uid:$gid" ] || chown -R "$uid:$gid" "$WL_PREFIX"
    WL_UID=$uid WL_GID=$gid
    export WL_ROOT WL_PREFIX WL_BIND WL_UID WL_GID WL_SYSDIR_FREE_MB
    self=$(readlink -f "$0")
    if [ "$uid" = 0 ]; then
        exec unshare --user --map-root-user --mount --pid --fork --kill-child -- "$self" --wl-inside "$@"
    fi
    # Ordinary users need more than root in the namespace's identity map. unshare 2.38 writes
    # multi-range maps only through newuidmap, so the map is written from here: this process
    # becomes unshare (same PID), and the helper waits for its new user namespace.
    me=$$
    (
        own=$(readlink /proc/self/ns/user); i=0
        while [ "$(readlink "/proc/$me/ns/user" 2>/dev/null || echo gone)" = "$own" ] && [ $i -lt 3000 ]; do
            sleep 0.01; i=$((i + 1))
        done
        echo "0 0 65536" > "/proc/$me/uid_map" && echo "0 0 65536" > "/proc/$me/gid_map"
    ) &
    exec unshare --user --mount --pid --fork --kill-child -- "$self" --wl-inside "$@"
fi
shift
i=0
while [ "$(id -u)" != 0 ]; do    # until the helper above has written the map
    [ $i -lt 3000 ] || { echo "wl-run: no user namespace map" >&2; exit 125; }
    sleep 0.01; i=$((i + 1))
done
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

sysdir=
if [ -n "$WL_SYSDIR_FREE_MB" ]; then
    # The tmpfs covers the directory only as the root sees it; its host path stays the real one.
    sysdir=drive_c/windows/system32
    [ -d "$WL_PREFIX/drive_c/windows/syswow64" ] && sysdir=drive_c/windows/syswow64
    used_kb=$(du -sk "$WL_PREFIX/$sysdir" | cut -f1)
    mount -t tmpfs -o "size=$((used_kb + 65536))k,mode=755" tmpfs "$R$WL_PREFIX/$sysdir"
    cp -a "$WL_PREFIX/$sysdir/." "$R$WL_PREFIX/$sysdir/"
    chown "$(stat -c %u:%g "$WL_PREFIX/$sysdir")" "$R$WL_PREFIX/$sysdir"
    # Shrunk to what the copy uses plus N MiB, counted in the tmpfs's own blocks.
    used_kb=$(df -k --output=used "$R$WL_PREFIX/$sysdir" | tail -n 1 | tr -d ' ')
    mount -o "remount,size=$((used_kb + WL_SYSDIR_FREE_MB * 1024))k" "$R$WL_PREFIX/$sysdir"
    echo "wl-run: $sysdir on a tmpfs, $(df -k --output=avail "$R$WL_PREFIX/$sysdir" | tail -n 1 | tr -d ' ') KiB free" >&2
fi

if [ "$WL_UID" != 0 ]; then
    home=/tmp/wl-home; mkdir -p "$R$home"; chown "$WL_UID:$WL_GID" "$R$home"
    as_user="/usr/bin/setpriv --reuid=$WL_UID --regid=$WL_GID --clear-groups"
    user=wl$WL_UID
else
    home=/root as_user= user=root
fi
rc=0
# shellcheck disable=SC2086
chroot "$R" $as_user /usr/bin/env -i HOME="$home" USER="$user" LANG=C.UTF-8 PATH=/usr/bin:/bin \
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
exit $rc' wl-run "$@" || rc=$?
# Is any process of this namespace but this one still alive? (shell builtins only: no forks)
busy() {
    for p in "$R"/proc/[0-9]*; do
        [ "${p##*/}" != 1 ] || continue
        read -r st < "$p/stat" 2>/dev/null || continue
        st=${st##*) }
        [ "${st%% *}" = Z ] || return 0
    done
    return 1
}
if [ -n "$sysdir" ]; then
    i=0
    while busy && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    rsync -a --delete "$R$WL_PREFIX/$sysdir/" "$WL_PREFIX/$sysdir/"
fi
exit $rc
