// history_files.h - the client's history files: one a day, in the user's own folder for data,
// appended to a batch of whole lines at a time, and never written through a link or into
// anything but a regular file of the user's own.
//
// The folder is opened a level at a time, never through a link below the user's folder for data,
// and used only if it is the user's own and nobody else may write in it (Windows: the shell's
// known folder for local application data, never the environment); the files are opened, read and
// removed relative to the folder so opened.
//
// history_files_win32.cpp and history_files_posix.cpp define these functions in the same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A history file open for appending or reading.
using history_file = std::intptr_t;
const history_file NO_HISTORY_FILE = -1;

// Where the files are, for the person: $XDG_DATA_HOME/chat_client/history (by default
// ~/.local/share/chat_client/history), or %LOCALAPPDATA%\Chat Relay\history; UTF-8.
std::string history_folder_text();

// Why a file or the folder is not used.
enum class history_refusal {
    none,    // it may be used (or it failed in a way that may pass: a full disk, a hung share)
    file,    // the day's file is a link, a FIFO or a device, another user's, or has other names (links)
    folder,  // the folder is a link, another user's, or others may write in it: nothing is kept
};
// Opens the history file of this name for appending, making the folder (0700, each level as need
// be) and the file (0600) if they are not there. NO_HISTORY_FILE with why on failure, and *refused
// says whether it was refused (and for what) or failed. *size is the file's size when opened.
history_file open_history_file(const char *name, history_refusal *refused, unsigned long long *size, char *why,
                               std::size_t why_len);
// Appends len bytes, whole lines, with one write: two processes appending to one file never mix
// their batches. 0, or -1 with why.
int append_history_file(history_file f, const char *data, std::size_t len, char *why, std::size_t why_len);
void close_history_file(history_file f);

struct history_file_entry {
    std::string name;             // "YYYY-MM-DD.txt", and only such names
    unsigned long long bytes = 0;
};
// The day files in the folder, in no particular order; none if there is no folder, or it is refused.
std::vector<history_file_entry> list_history_files();
// Opens the history file of this name for reading, if it may be read (as for appending, the file
// a regular one of the user's own, in a folder that may be used): NO_HISTORY_FILE if not.
history_file open_history_reading(const char *name);
// Reads up to len bytes from offset at: the count, 0 at the end, -1 on failure.
long read_history_block(history_file f, unsigned long long at, char *buf, std::size_t len);
// Reads the last `tail` bytes (not 0) of the history file of this name into out: false if it
// cannot be read.
bool read_history_tail(const char *name, unsigned long long tail, std::string &out);
// Removes the history file of this name: false if it could not be.
bool remove_history_file(const char *name);
