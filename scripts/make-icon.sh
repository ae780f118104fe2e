#!/bin/sh
# make-icon.sh - makes packaging/icons/chat-relay.ico, the programs' and the installer's icon, from
# the one artwork, packaging/icons/chat-relay.svg: each size drawn from the SVG (not scaled from
# another size), 16 to 256 pixels, the 256 one stored as PNG as Windows Vista and later read it.
# The .ico is kept in the tree, so that a Windows build needs none of these tools; run this again
# whenever the artwork changes, and commit both. Needs rsvg-convert and icotool (Debian:
# librsvg2-bin icoutils).
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
svg=$here/packaging/icons/chat-relay.svg
ico=$here/packaging/icons/chat-relay.ico
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
set --
for size in 16 20 24 32 40 48 64 256; do
    rsvg-convert --width "$size" --height "$size" --format png --output "$work/$size.png" "$svg"
    if [ "$size" = 256 ]; then
        set -- "$@" --raw="$work/$size.png"
    else
        set -- "$@" "$work/$size.png"
    fi
done
icotool --create --output "$ico" "$@"
echo "made $ico"
