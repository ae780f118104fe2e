// dirent.h - Wine ships it, MSVC does not: code that includes it would not build with Visual Studio.
#error "<dirent.h> is POSIX, not part of MSVC's library"
