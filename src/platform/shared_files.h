// shared_files.h - the files a client shares and fetches: read where they are, written into the
// Downloads folder as a .part file that grows, renamed without replacing anything, and marked as
// from another computer where the system keeps such a mark. Paths are UTF-8 throughout.
//
// shared_files_win32.cpp (the wide API) and shared_files_posix.cpp define these functions in the
// same order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using shared_file = std::intptr_t;
const shared_file NO_SHARED_FILE = -1;

// What tells a file changed: its size, and when it was last written (in the system's own units).
struct file_facts {
    unsigned long long size = 0;
    long long written = 0;
};

// Opens a regular file to read (not through a symbolic link's target check: a person names it),
// with its facts: NO_SHARED_FILE with why if it cannot be, or is no regular file.
shared_file open_to_read(const std::string &path, file_facts *facts, std::string *why);
// The facts of a path now: false if it is gone or no regular file.
bool facts_of(const std::string &path, file_facts *facts);
// Reads up to len bytes at offset: the count (0 at the end), or -1.
long read_at(shared_file f, unsigned long long offset, char *buf, std::size_t len);
// Opens path to append to, creating it (0600, never through a link) if it is not there; *have is
// the bytes already in it. NO_SHARED_FILE with why on failure.
shared_file open_to_append(const std::string &path, unsigned long long *have, std::string *why);
// Writes all len bytes at the end: 0, or -1.
int append_all(shared_file f, const char *data, std::size_t len);
// Cuts the file to size bytes: 0, or -1.
int cut_to(shared_file f, unsigned long long size);
void close_shared_file(shared_file f);
// Removes the file: false if it could not be.
bool remove_path(const std::string &path);
// Renames from to to unless to exists: 0, 1 if to exists, -1 on another failure.
int rename_new(const std::string &from, const std::string &to);
// The bytes free for this user in the folder, or -1 if the system would not say.
long long free_space(const std::string &folder);
// The Downloads folder: XDG_DOWNLOAD_DIR from the environment or user-dirs.dirs, else ~/Downloads;
// on Windows the Downloads known folder. Made if it is not there. "" if there is none.
std::string downloads_folder();
// The folder's path with the name appended.
std::string path_in(const std::string &folder, const std::string &name);
// The last part of a path, after its last separator.
std::string last_part(const std::string &path);
// Marks a file fetched from another computer as such (Windows' Zone.Identifier, zone 3, which
// SmartScreen and Office heed); nothing elsewhere.
void mark_from_other_computer(const std::string &path);
// True if the system calls a network this host is connected to public, where its firewall lets
// nobody fetch what is shared (Windows: a network's category); false everywhere else.
bool on_public_network();
