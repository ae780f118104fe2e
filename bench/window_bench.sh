#!/bin/sh
# The chat window under a busy room, under Wine (bench/window_bench.py says what it measures). Needs
# root (a network namespace of its own), Xvfb, fluxbox and Wine, and a build whose Windows programs
# and test prefix are made (ctest -R 'wine_prefix|window_tests' makes both).
#   bench/window_bench.sh BUILD_DIR [SECONDS=20] [LINES_PER_SECOND=2000]
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
exec unshare -n python3 -u "$here/window_bench.py" wine "$build" "${2:-20}" "${3:-2000}" "$build/wineprefix"
