// unistd.h - Wine ships it, MSVC does not: code that includes it would not build with Visual Studio.
#error "<unistd.h> is POSIX, not part of MSVC's library"
