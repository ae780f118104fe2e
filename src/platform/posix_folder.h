// posix_folder.h - opening the user's own folder for the client's files (its settings, its
// history), as the POSIX files for both do. Only those files include it.
#pragma once
#ifndef _WIN32

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// Whether the folder open at fd (its path given for the words) is the user's own and nobody else
// may write in it; why says what is wrong with it if not.
inline bool own_folder(int fd, const std::string &path, std::string &why)
{
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode))
        why = path + ": not a folder";
    else if (info.st_uid != ::geteuid())
        why = path + ": another user's folder";
    else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        why = path + ": others may write in this folder";
    else
        return true;
    return false;
}

// Opens the folder base/levels...: base is the user's folder for such files (absolute, made a level
// at a time as need be; a link in it is the user's own choice of where they live), and each level
// below it is opened without following a link, and made (0700) if it is not there and make is set.
// Each must be the user's own and writable by nobody else. The descriptor, or -1 with why: then
// *refused says whether a folder was there that must not be used (rather than none, or a failure).
inline int open_own_folder(const std::string &base, std::initializer_list<const char *> levels, bool make,
                           bool *refused, std::string &why)
{
    *refused = false;
    if (base.empty() || base[0] != '/') {
        why = "no folder for the client's files (neither HOME nor the XDG folder is set)";
        return -1;
    }
    if (make) {
        for (std::size_t at = base.find('/', 1);; at = base.find('/', at + 1)) {
            std::string part = base.substr(0, at);
            if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
                why = part + ": " + std::strerror(errno);
                return -1;
            }
            if (at == std::string::npos)
                break;
        }
    }
    int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        why = base + ": " + std::strerror(errno);
        return -1;
    }
    std::string path = base;
    for (const char *level : levels) {
        bool ok = own_folder(fd, path, why);
        path += std::string("/") + level;
        if (ok && make && ::mkdirat(fd, level, 0700) != 0 && errno != EEXIST) {
            why = path + ": " + std::strerror(errno);
            ok = false;
        } else if (!ok) {
            *refused = true;
        }
        int next = ok ? ::openat(fd, level, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC) : -1;
        if (ok && next < 0) {
            *refused = errno == ELOOP || errno == ENOTDIR;
            why = path + (*refused ? ": a link or no folder" : std::string(": ") + std::strerror(errno));
        }
        ::close(fd);
        if (next < 0)
            return -1;
        fd = next;
    }
    if (!own_folder(fd, path, why)) {
        *refused = true;
        ::close(fd);
        return -1;
    }
    return fd;
}

#endif  // !_WIN32
