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
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        std::snprintf(why, why_len, "%s: %s", path.c_str(), std::strerror(errno));
        return errno == ENOENT ? -1 : -2;
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
    std::string path = folder + "/" + name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || write_all(fd, data, len) != 0) {
        std::snprintf(why, why_len, "%s: %s", path.c_str(), std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return ::close(fd) == 0 ? 0 : -1;
}

#endif  // !_WIN32
