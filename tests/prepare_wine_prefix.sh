#!/bin/sh
# Creates the Wine prefix that the Windows program's tests share, once per build tree.
# Runs in a network namespace and /tmp of its own, so its wineserver serves nobody else.
set -eu
prefix=$1
if [ -f "$prefix/system.reg" ]; then
    exit 0
fi
exec unshare -n -m sh -c '
    mount --make-rprivate /
    mount -t tmpfs tmpfs /tmp
    export WINEPREFIX="$1" WINEDEBUG=-all
    wineboot -i >/dev/null 2>&1
    wineserver -w
    test -f "$1/system.reg"
' sh "$prefix"
