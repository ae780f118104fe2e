#!/bin/sh
# Builds every package into dist/ (or the directory given): the Debian packages (chat-relay,
# chat-client and chat-window) from a Linux build, and the Windows ZIP and installer from a mingw-w64
# build. Needs, on Debian:
#     apt-get install cmake g++ g++-mingw-w64-x86-64 nsis dpkg-dev file qt6-base-dev
set -eu
cd "$(dirname "$0")/.."
out=$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)

missing=
for tool in cmake g++ x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-windmc makensis dpkg-buildflags dpkg-shlibdeps file gzip; do
    command -v "$tool" >/dev/null || missing="$missing $tool"
done
if [ -n "$missing" ]; then
    echo "package.sh: missing:$missing (apt-get install cmake g++ g++-mingw-w64-x86-64 nsis dpkg-dev file)" >&2
    exit 1
fi
# The window's package needs Qt 6; without it, the build would leave chat-window out unsaid.
if [ ! -e /usr/lib/x86_64-linux-gnu/cmake/Qt6Widgets/Qt6WidgetsConfig.cmake ] && ! command -v qmake6 >/dev/null; then
    echo "package.sh: missing: Qt 6 (apt-get install qt6-base-dev)" >&2
    exit 1
fi
jobs=$(nproc)

# The .debs: Debian's build flags with all its hardening (bindnow, PIE, fortify, stack protector).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build-packages/linux -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DRELAY_TESTS=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake --build build-packages/linux -j"$jobs"
(cd build-packages/linux && rm -f ./*.deb && cpack)

# The ZIP and the installer.
cmake -S . -B build-packages/windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
cmake --build build-packages/windows -j"$jobs"
(cd build-packages/windows && rm -f ./chat-relay-* && cpack)

rm -f "$out"/chat-relay[-_]* "$out"/chat-client_* "$out"/chat-window_*
cp build-packages/linux/chat-relay_*.deb build-packages/linux/chat-client_*.deb build-packages/linux/chat-window_*.deb \
   build-packages/windows/chat-relay-*.zip build-packages/windows/chat-relay-*.exe "$out"/
ls -l "$out"/chat-relay[-_]* "$out"/chat-client_* "$out"/chat-window_*
