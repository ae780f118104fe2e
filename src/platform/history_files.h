// history_files.h - the client's history files: one a day, in the user's own folder for data,
// appended to a batch of whole lines at a time, and never written through a link or into
// anything but a regular file.
//
// history_files_win32.cpp and history_files_posix.cpp define these functions in the same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A history file open for appending.
using history_file = std::intptr_t;
const history_file NO_HISTORY_FILE = -1;

// Where the files are, for the person: $XDG_DATA_HOME/chat_client/history (by default
// ~/.local/share/chat_client/history), or %LOCALAPPDATA%\Chat Relay\history; UTF-8.
std::string history_folder_text();
// Opens the history file of this name for appending, making the folder (0700, each level as need
// be) and the file (0600) if they are not there. A symbolic link is not followed, and what is not
// a regular file is not written: *not_regular says so. NO_HISTORY_FILE with why on failure.
history_file open_history_file(const char *name, bool *not_regular, char *why, std::size_t why_len);
// Appends len bytes, whole lines, with one write: two processes appending to one file never mix
// their batches. 0, or -1 with why.
int append_history_file(history_file f, const char *data, std::size_t len, char *why, std::size_t why_len);
void close_history_file(history_file f);

struct history_file_entry {
    std::string name;             // "YYYY-MM-DD.txt", and only such names
    unsigned long long bytes = 0;
};
// The day files in the folder, in no particular order; none if there is no folder.
std::vector<history_file_entry> list_history_files();
// Reads the history file of this name into out (its last `tail` bytes, or all of it if tail is 0),
// never through a link and only if it is a regular file: false if it cannot be read.
bool read_history_file(const char *name, unsigned long long tail, std::string &out);
// Removes the history file of this name: false if it could not be.
bool remove_history_file(const char *name);
