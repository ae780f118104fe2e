#!/bin/sh
# Creates the Wine prefix that the Windows program's tests share, once per build tree.
# Runs in a network namespace of its own, with a TMPDIR of its own so that the wineserver it starts
# (Wine keeps the server's socket under TMPDIR) serves nobody else.
set -eu
prefix=$1
if [ -f "$prefix/system.reg" ]; then
    exit 0
fi
tmp=$(mktemp -d /tmp/relay-wine-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
TMPDIR=$tmp WINEPREFIX=$prefix WINEDEBUG=-all unshare -n sh -c 'wineboot -i >/dev/null 2>&1; wineserver -w'
test -f "$prefix/system.reg"
