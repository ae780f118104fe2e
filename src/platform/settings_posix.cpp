// settings_posix.cpp - the client's settings files, under $XDG_CONFIG_HOME or ~/.config.
#ifndef _WIN32

#include "platform/settings.h"
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

// The folder of the client's settings: $XDG_CONFIG_HOME/chat_client, by default under ~/.config.
static std::string settings_folder()
{
    const char *config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/')
        return std::string(config) + "/chat_client";
    const char *home = std::getenv("HOME");
    passwd *entry = ::getpwuid(::getuid());
    if ((home == nullptr || home[0] == '\0') && entry != nullptr)
        home = entry->pw_dir;
    return std::string(home != nullptr ? home : "") + "/.config/chat_client";
}

long read_settings_file(const char *name, char *out, std::size_t len, char *why, std::size_t why_len)
{
    std::string path = settings_folder() + "/" + name;
    // Not blocking: a FIFO put there would hold the start until someone wrote to it. What is open
    // is then read only if it is a regular file.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::snprintf(why, why_len, "%s: %s", path.c_str(), std::strerror(errno));
        return errno == ENOENT ? -1 : -2;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        std::snprintf(why, why_len, "%s: not a regular file", path.c_str());
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
    std::string folder = settings_folder();
    // Each level of the folder, as `mkdir -p` would: ~/.config itself may not exist yet.
    for (std::size_t at = folder.find('/', 1); ; at = folder.find('/', at + 1)) {
        std::string part = folder.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            std::snprintf(why, why_len, "%s: %s", part.c_str(), std::strerror(errno));
            return -1;
        }
        if (at == std::string::npos)
            break;
    }
    // A new file beside it (mkstemp makes it 0600), renamed over it: whatever stood there, a
    // symbolic link too, is replaced, and what a link pointed to is never written.
    std::string path = folder + "/" + name;
    std::string fresh = path + ".XXXXXX";
    int fd = ::mkostemp(&fresh[0], O_CLOEXEC);
    if (fd < 0) {
        std::snprintf(why, why_len, "%s: %s", fresh.c_str(), std::strerror(errno));
        return -1;
    }
    bool written = write_all(fd, data, len) == 0 && ::fsync(fd) == 0;
    int failure = errno;
    if (::close(fd) != 0 && written) {
        written = false;
        failure = errno;
    }
    if (!written) {
        std::snprintf(why, why_len, "%s: %s", fresh.c_str(), std::strerror(failure));
        ::unlink(fresh.c_str());
        return -1;
    }
    if (::rename(fresh.c_str(), path.c_str()) != 0) {
        std::snprintf(why, why_len, "%s: %s", path.c_str(), std::strerror(errno));
        ::unlink(fresh.c_str());
        return -1;
    }
    return 0;
}

#endif  // !_WIN32
