// version.h - the version every front-end says (--version, About): the build's, which CMake gives
// each program as PROJECT_VERSION. A build without CMake (a syntax check) says it does not know.
#pragma once

#ifndef PROJECT_VERSION
#define PROJECT_VERSION "(version unknown)"
#endif
