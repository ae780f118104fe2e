#!/bin/sh
# The Linux chat window under a busy room (bench/window_bench.py says what it measures). Needs
# root (a network namespace of its own), Xvfb, fluxbox, dbus-daemon, at-spi2-core, python3-pyatspi
# and xdotool, and a build with chat_window (Qt 6 found).
#   bench/window_linux_bench.sh BUILD_DIR [SECONDS=20] [LINES_PER_SECOND=2000]
set -eu
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
exec unshare -n /usr/bin/python3 -u "$here/window_bench.py" qt "$build" "${2:-20}" "${3:-2000}"
