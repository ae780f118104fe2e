#!/bin/sh
# Installs what the tests need (Debian packages), builds the Linux and Windows programs and the
# packages (scripts/package.sh, into dist/), and runs every test. The tests make network
# namespaces, so this runs as root: started by another user, it asks sudo to run it again.
set -eu
if [ "$(id -u)" -ne 0 ]; then
    exec sudo "$0" "$@"
fi
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y cmake make g++ libgtest-dev iproute2 libssl-dev curl \
    g++-mingw-w64-x86-64 wine wine64 clang libclang-rt-14-dev libc++-dev libc++abi-dev libwine-dev \
    nsis dpkg-dev file lintian systemd tmux xvfb xdotool \
    x11-utils x11-xserver-utils imagemagick fluxbox fonts-wqy-microhei python3 \
    qt6-base-dev dbus dbus-x11 at-spi2-core python3-pyatspi desktop-file-utils appstream unicode-data
scripts/package.sh dist
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRELAY_PACKAGE_DIR="$PWD/dist"
cmake --build build -j"$(nproc)"
cd build
ctest -j4 --output-on-failure
