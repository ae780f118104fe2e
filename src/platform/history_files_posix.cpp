// history_files_posix.cpp - the client's history files, under $XDG_DATA_HOME or ~/.local/share.
#ifndef _WIN32

#include "platform/history_files.h"
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

// The folder of the history: $XDG_DATA_HOME/chat_client/history, by default under ~/.local/share.
static std::string history_folder()
{
    const char *data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && data[0] == '/')
        return std::string(data) + "/chat_client/history";
    const char *home = std::getenv("HOME");
    passwd *entry = ::getpwuid(::getuid());
    if ((home == nullptr || home[0] == '\0') && entry != nullptr)
        home = entry->pw_dir;
    return std::string(home != nullptr ? home : "") + "/.local/share/chat_client/history";
}

std::string history_folder_text()
{
    return history_folder();
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

// Opens without following a link at the end of the path, and without waiting on a FIFO; what is
// open is then used only if it is a regular file.
static int open_regular(const std::string &path, int flags, bool *not_regular)
{
    *not_regular = false;
    int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    if (fd < 0) {
        *not_regular = errno == ELOOP || errno == ENXIO;  // a link; a FIFO nobody reads
        return -1;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *not_regular = true;
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

history_file open_history_file(const char *name, bool *not_regular, char *why, std::size_t why_len)
{
    *not_regular = false;
    std::string folder = history_folder();
    // Each level of the folder, as `mkdir -p` would; only the ones made here get 0700.
    for (std::size_t at = folder.find('/', 1);; at = folder.find('/', at + 1)) {
        std::string part = folder.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            std::snprintf(why, why_len, "%s: %s", part.c_str(), std::strerror(errno));
            return NO_HISTORY_FILE;
        }
        if (at == std::string::npos)
            break;
    }
    std::string path = folder + "/" + name;
    int fd = open_regular(path, O_WRONLY | O_APPEND | O_CREAT, not_regular);
    if (fd < 0) {
        std::snprintf(why, why_len, "%s: %s", path.c_str(),
                      *not_regular ? "not a regular file (a link, a FIFO or a device)" : std::strerror(errno));
        return NO_HISTORY_FILE;
    }
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
    std::string folder = history_folder();
    DIR *dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return files;
    while (dirent *e = ::readdir(dir)) {
        if (!day_file_name(e->d_name))
            continue;
        struct stat info;
        if (::lstat((folder + "/" + e->d_name).c_str(), &info) != 0)
            continue;
        files.push_back({e->d_name, static_cast<unsigned long long>(info.st_size)});
    }
    ::closedir(dir);
    return files;
}

bool read_history_file(const char *name, unsigned long long tail, std::string &out)
{
    out.clear();
    if (!day_file_name(name))
        return false;
    bool not_regular = false;
    int fd = open_regular(history_folder() + "/" + name, O_RDONLY, &not_regular);
    if (fd < 0)
        return false;
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        ::close(fd);
        return false;
    }
    unsigned long long size = static_cast<unsigned long long>(info.st_size);
    unsigned long long from = tail != 0 && size > tail ? size - tail : 0;
    out.resize(static_cast<std::size_t>(size - from));
    std::size_t got = 0;
    while (got < out.size()) {
        ssize_t n = ::pread(fd, &out[got], out.size() - got, static_cast<off_t>(from + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    ::close(fd);
    return true;
}

bool remove_history_file(const char *name)
{
    return day_file_name(name) && ::unlink((history_folder() + "/" + name).c_str()) == 0;
}

#endif  // !_WIN32
