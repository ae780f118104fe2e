#!/bin/sh
# Creates the Wine prefix that the Windows programs' tests share, once per build tree, with a font
# that shows Chinese (Debian's fonts-wqy-microhei) standing in for the Chinese fonts Windows has:
# Wine's font links for its UI font name SimSun, so a window's Chinese shows as on Windows.
# Runs in a network namespace of its own, with a TMPDIR of its own so that the wineserver it starts
# (Wine keeps the server's socket under TMPDIR) serves nobody else.
set -eu
prefix=$1
if [ -f "$prefix/system.reg" ] && [ -f "$prefix/.chinese-font" ]; then
    exit 0
fi
tmp=$(mktemp -d /tmp/relay-wine-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
TMPDIR=$tmp WINEPREFIX=$prefix WINEDEBUG=-all unshare -n sh -c '
    wineboot -i >/dev/null 2>&1
    for font in SimSun NSimSun "Microsoft YaHei" "Microsoft YaHei UI" "MS UI Gothic" PMingLiU Gulim; do
        wine reg add "HKCU\\Software\\Wine\\Fonts\\Replacements" /v "$font" /t REG_SZ /d "WenQuanYi Micro Hei" /f >/dev/null 2>&1
    done
    wineserver -w'
test -f "$prefix/system.reg"
touch "$prefix/.chinese-font"
