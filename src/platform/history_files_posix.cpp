// history_files_posix.cpp - the client's history files, under $XDG_DATA_HOME or ~/.local/share.
#ifndef _WIN32

#include "platform/history_files.h"
#include "platform/posix_folder.h"
#include "platform/posix_write.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

// The user's folder for data: $XDG_DATA_HOME, by default ~/.local/share.
static std::string data_folder()
{
    const char *data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/')
        return data;
    const char *home = std::getenv("HOME");
    passwd *entry = ::getpwuid(::getuid());
    if ((home == nullptr || home[0] == '\0') && entry != nullptr)
        home = entry->pw_dir;
    return std::string(home != nullptr ? home : "") + "/.local/share";
}

std::string history_folder_text()
{
    return data_folder() + "/chat_client/history";
}

// The history's folder, opened (and made, if make is set) as posix_folder.h says.
static int history_folder(bool make, bool *refused, std::string &why)
{
    return open_own_folder(data_folder(), {"chat_client", "history"}, make, refused, why);
}

// A day file's name: the only names read, written or removed here.
static bool day_file_name(const char *name)
{
    static const char FORM[] = "9999-99-99.txt";
    if (std::strlen(name) != sizeof FORM - 1)
        return false;
    for (std::size_t i = 0; FORM[i] != '\0'; ++i)
        if (FORM[i] == '9' ? name[i] < '0' || name[i] > '9' : name[i] != FORM[i])
            return false;
    return true;
}

// Opens a file of the folder without following a link, and without waiting on a FIFO; what is
// open is then used only if it is a regular file of the user's own with no other name (a hard
// link to another's file would be written or read as theirs).
static int open_regular(int folder, const char *name, int flags, bool *refused, const char **what)
{
    *refused = false;
    int fd = ::openat(folder, name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        *refused = errno == ELOOP || errno == ENXIO;  // a link; a FIFO nobody reads
        *what = *refused ? "not a regular file (a link, a FIFO or a device)" : std::strerror(errno);
        return -1;
    }
    struct stat info;
    *what = nullptr;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        *what = "not a regular file (a link, a FIFO or a device)";
    else if (info.st_uid != ::geteuid())
        *what = "another user's file";
    else if (info.st_nlink != 1)
        *what = "a file with other names (hard links)";
    if (*what != nullptr) {
        *refused = true;
        ::close(fd);
        return -1;
    }
    return fd;
}

history_file open_history_file(const char *name, history_refusal *refused, unsigned long long *size, char *why,
                               std::size_t why_len)
{
    *refused = history_refusal::none;
    *size = 0;
    bool folder_refused = false;
    std::string folder_why;
    int folder = history_folder(true, &folder_refused, folder_why);
    if (folder < 0) {
        *refused = folder_refused ? history_refusal::folder : history_refusal::none;
        std::snprintf(why, why_len, "%s", folder_why.c_str());
        return NO_HISTORY_FILE;
    }
    bool file_refused = false;
    const char *what = nullptr;
    int fd = open_regular(folder, name, O_WRONLY | O_APPEND | O_CREAT, &file_refused, &what);
    ::close(folder);
    if (fd < 0) {
        *refused = file_refused ? history_refusal::file : history_refusal::none;
        std::snprintf(why, why_len, "%s/%s: %s", history_folder_text().c_str(), name, what);
        return NO_HISTORY_FILE;
    }
    struct stat info;
    if (::fstat(fd, &info) == 0)
        *size = static_cast<unsigned long long>(info.st_size);
    return fd;
}

int append_history_file(history_file f, const char *data, std::size_t len, char *why, std::size_t why_len)
{
    // O_APPEND puts each write at the end as it is then: one write for the batch keeps it whole
    // beside another process's.
    if (write_all(static_cast<int>(f), data, len) == 0)
        return 0;
    std::snprintf(why, why_len, "%s", std::strerror(errno));
    return -1;
}

void close_history_file(history_file f)
{
    ::close(static_cast<int>(f));
}

std::vector<history_file_entry> list_history_files()
{
    std::vector<history_file_entry> files;
    bool refused = false;
    std::string why;
    int folder = history_folder(false, &refused, why);
    if (folder < 0)
        return files;
    DIR *dir = ::fdopendir(folder);
    if (dir == nullptr) {
        ::close(folder);
        return files;
    }
    while (dirent *e = ::readdir(dir)) {
        if (!day_file_name(e->d_name))
            continue;
        struct stat info;
        if (::fstatat(folder, e->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        files.push_back({e->d_name, static_cast<unsigned long long>(info.st_size)});
    }
    ::closedir(dir);
    return files;
}

history_file open_history_reading(const char *name)
{
    if (!day_file_name(name))
        return NO_HISTORY_FILE;
    bool refused = false;
    std::string why;
    int folder = history_folder(false, &refused, why);
    if (folder < 0)
        return NO_HISTORY_FILE;
    const char *what = nullptr;
    int fd = open_regular(folder, name, O_RDONLY, &refused, &what);
    ::close(folder);
    return fd < 0 ? NO_HISTORY_FILE : fd;
}

long read_history_block(history_file f, unsigned long long at, char *buf, std::size_t len)
{
    for (;;) {
        ssize_t n = ::pread(static_cast<int>(f), buf, len, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<long>(n);
    }
}

bool read_history_tail(const char *name, unsigned long long tail, std::string &out)
{
    out.clear();
    history_file f = open_history_reading(name);
    if (f == NO_HISTORY_FILE)
        return false;
    struct stat info;
    if (::fstat(static_cast<int>(f), &info) != 0) {
        close_history_file(f);
        return false;
    }
    unsigned long long size = static_cast<unsigned long long>(info.st_size);
    unsigned long long from = size > tail ? size - tail : 0;
    out.resize(static_cast<std::size_t>(size - from));
    std::size_t got = 0;
    while (got < out.size()) {
        long n = read_history_block(f, from + got, &out[got], out.size() - got);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    close_history_file(f);
    return true;
}

bool remove_history_file(const char *name)
{
    if (!day_file_name(name))
        return false;
    bool refused = false;
    std::string why;
    int folder = history_folder(false, &refused, why);
    if (folder < 0)
        return false;
    bool removed = ::unlinkat(folder, name, 0) == 0;
    ::close(folder);
    return removed;
}

#endif  // !_WIN32
