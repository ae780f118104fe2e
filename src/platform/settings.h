// settings.h - the client's settings files, in the user's own folder for them.
//
// settings_win32.cpp and settings_posix.cpp define these functions in the same order.
#pragma once

#include <cstddef>

// Reads the client's settings file of this name (in $XDG_CONFIG_HOME/chat_client/, by default
// ~/.config/chat_client/, or %APPDATA%\Chat Relay\) into out: its length; -1 if it does not exist,
// -2 if it could not be read. why says what failed, with the file's path.
long read_settings_file(const char *name, char *out, std::size_t len, char *why, std::size_t why_len);
// Writes the settings file of this name, making its folder if need be: 0, or -1 with why.
int write_settings_file(const char *name, const char *data, std::size_t len, char *why, std::size_t why_len);
