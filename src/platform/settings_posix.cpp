// settings_posix.cpp - the client's settings files, under $XDG_CONFIG_HOME or ~/.config.
#ifndef _WIN32

#include "platform/settings.h"
#include "platform/posix_folder.h"
#include "platform/posix_write.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// The user's folder for settings: $XDG_CONFIG_HOME, by default ~/.config.
static std::string config_folder()
{
    const char *config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/')
        return config;
    const char *home = std::getenv("HOME");
    passwd *entry = ::getpwuid(::getuid());
    if ((home == nullptr || home[0] == '\0') && entry != nullptr)
        home = entry->pw_dir;
    return std::string(home != nullptr ? home : "") + "/.config";
}

// The folder of the client's settings, config_folder()/chat_client, opened as posix_folder.h says:
// only a folder of the user's own that nobody else may write in is read or written.
static int settings_folder(bool make, bool *refused, std::string &why)
{
    return open_own_folder(config_folder(), {"chat_client"}, make, refused, why);
}

long read_settings_file(const char *name, char *out, std::size_t len, char *why, std::size_t why_len)
{
    bool refused = false;
    std::string folder_why;
    int folder = settings_folder(false, &refused, folder_why);
    if (folder < 0) {
        std::snprintf(why, why_len, "%s", folder_why.c_str());
        return refused ? -2 : -1;
    }
    std::string path = config_folder() + "/chat_client/" + name;
    // Not blocking: a FIFO put there would hold the start until someone wrote to it. No link is
    // followed, and what is open is then read only if it is a regular file of the user's own.
    int fd = ::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    int failure = errno;
    ::close(folder);
    if (fd < 0) {
        std::snprintf(why, why_len, "%s: %s", path.c_str(), failure == ELOOP ? "a link" : std::strerror(failure));
        return failure == ENOENT ? -1 : -2;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        std::snprintf(why, why_len, "%s: not a regular file of the user's own", path.c_str());
        ::close(fd);
        return -2;
    }
    ssize_t n = ::read(fd, out, len);
    if (n < 0)
        std::snprintf(why, why_len, "%s: %s", path.c_str(), std::strerror(errno));
    ::close(fd);
    return n < 0 ? -2 : static_cast<long>(n);
}

int write_settings_file(const char *name, const char *data, std::size_t len, char *why, std::size_t why_len)
{
    bool refused = false;
    std::string folder_why;
    int folder = settings_folder(true, &refused, folder_why);
    if (folder < 0) {
        std::snprintf(why, why_len, "%s", folder_why.c_str());
        return -1;
    }
    // A new file beside it (0600, a name no other has), renamed over it: whatever stood there, a
    // symbolic link too, is replaced, and what a link pointed to is never written.
    std::string path = config_folder() + "/chat_client/" + name;
    std::string fresh;
    int fd = -1;
    for (unsigned tries = 0; fd < 0 && tries < 100; ++tries) {
        fresh = std::string(name) + "." + std::to_string(::getpid()) + "." + std::to_string(tries);
        fd = ::openat(folder, fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        std::snprintf(why, why_len, "%s/chat_client/%s: %s", config_folder().c_str(), fresh.c_str(), std::strerror(errno));
        ::close(folder);
        return -1;
    }
    bool written = write_all(fd, data, len) == 0 && ::fsync(fd) == 0;
    int failure = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        failure = errno;
    }
    if (written && ::renameat(folder, fresh.c_str(), folder, name) != 0) {
        written = false;
        failure = errno;
    }
    if (!written) {
        std::snprintf(why, why_len, "%s: %s", path.c_str(), std::strerror(failure));
        ::unlinkat(folder, fresh.c_str(), 0);
    }
    ::close(folder);
    return written ? 0 : -1;
}

#endif  // !_WIN32
