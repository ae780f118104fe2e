#!/bin/sh
# Checks the sources the Windows program is built from as Visual Studio would read them.
#   check.sh ascii SRC_DIR   no byte outside ASCII, so no code page can change what a compiler reads
#   check.sh msvc SRC_DIR    each source (but the Linux window's) parsed by clang as MSVC does (_MSC_VER and _WIN32 set,
#                            `long` 32 bits, no GCC extensions or POSIX headers), with libc++ and
#                            Wine's Windows headers. It is not cl.exe: it finds what MSVC's language
#                            and headers reject, not the bugs of one compiler version.
set -eu
mode=$1
src=$2
here=$(cd "$(dirname "$0")" && pwd)
case $mode in
ascii)
    if LC_ALL=C grep -rnP --include='*.cpp' --include='*.h' '[^\x00-\x7f]' "$src"; then
        echo "non-ASCII bytes in the sources above: spell text in escapes"
        exit 1
    fi
    ;;
msvc)
    # Wine's headers: WCHAR is wchar_t as under MSVC, and one intrinsic that clang already knows is
    # renamed so that the header's own definition of it does not clash.
    status=0
    # The Linux window (window_qt) is Qt's and never built for Windows.
    for f in $(find "$src" -name '*.cpp' -not -path '*/window_qt/*' | sort); do
        clang++ --target=x86_64-pc-windows-msvc -fms-compatibility -fms-extensions -fsyntax-only -std=c++17 \
            -Wall -Wextra -Werror -Werror=vla-extension -nostdinc++ -isystem "$here" -isystem /usr/include/c++/v1 \
            -isystem /usr/include/wine/wine/msvcrt -isystem /usr/include/wine/wine/windows \
            -DWINE_UNICODE_NATIVE -D_InterlockedCompareExchange128=wine_InterlockedCompareExchange128 \
            -D_LIBCPP_NO_VCRUNTIME -include "$here/prelude.h" -I "$src" "$f" || status=1
    done
    exit $status
    ;;
*)
    echo "usage: check.sh ascii|msvc SRC_DIR" >&2
    exit 2
    ;;
esac
