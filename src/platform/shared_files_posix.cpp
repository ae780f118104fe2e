// shared_files_posix.cpp - shared and fetched files on POSIX (Linux).
#ifndef _WIN32

#include "platform/shared_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

long long written_of(const struct stat &st)
{
    return static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
}

std::string home()
{
    const char *h = std::getenv("HOME");
    if (h != nullptr && *h != '\0')
        return h;
    passwd *pw = ::getpwuid(::getuid());
    return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "";
}

// XDG_DOWNLOAD_DIR="$HOME/Downloads" in user-dirs.dirs: the value with $HOME put in, "" if none.
std::string from_user_dirs(const std::string &home_dir)
{
    const char *config = std::getenv("XDG_CONFIG_HOME");
    std::string file = config != nullptr && *config == '/' ? std::string(config) : home_dir + "/.config";
    file += "/user-dirs.dirs";
    FILE *f = std::fopen(file.c_str(), "r");
    if (f == nullptr)
        return "";
    char line[4096];
    std::string found;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        const char key[] = "XDG_DOWNLOAD_DIR=\"";
        if (std::strncmp(line, key, sizeof key - 1) != 0)
            continue;
        std::string value(line + sizeof key - 1);
        std::size_t end = value.find('"');
        if (end == std::string::npos)
            continue;
        value.resize(end);
        if (value.compare(0, 5, "$HOME") == 0)
            value = home_dir + value.substr(5);
        if (!value.empty() && value[0] == '/')
            found = value;
    }
    std::fclose(f);
    return found;
}

}  // namespace

shared_file open_to_read(const std::string &path, file_facts *facts, std::string *why)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        *why = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return NO_SHARED_FILE;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "not a regular file";
        ::close(fd);
        return NO_SHARED_FILE;
    }
    facts->size = static_cast<unsigned long long>(st.st_size);
    facts->written = written_of(st);
    return fd;
}

bool facts_of(const std::string &path, file_facts *facts)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    facts->size = static_cast<unsigned long long>(st.st_size);
    facts->written = written_of(st);
    return true;
}

long read_at(shared_file f, unsigned long long offset, char *buf, std::size_t len)
{
    for (;;) {
        ssize_t n = ::pread(static_cast<int>(f), buf, len, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        return static_cast<long>(n);
    }
}

shared_file open_to_append(const std::string &path, unsigned long long *have, std::string *why)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        *why = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return NO_SHARED_FILE;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "not a regular file";
        ::close(fd);
        return NO_SHARED_FILE;
    }
    *have = static_cast<unsigned long long>(st.st_size);
    return fd;
}

int append_all(shared_file f, const char *data, std::size_t len)
{
    while (len > 0) {
        ssize_t n = ::write(static_cast<int>(f), data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}

int cut_to(shared_file f, unsigned long long size)
{
    return ::ftruncate(static_cast<int>(f), static_cast<off_t>(size)) == 0 ? 0 : -1;
}

void close_shared_file(shared_file f)
{
    ::close(static_cast<int>(f));
}

bool remove_path(const std::string &path)
{
    return ::unlink(path.c_str()) == 0;
}

int rename_new(const std::string &from, const std::string &to)
{
    // A hard link fails if the name is taken, where rename would replace it; then the .part goes.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    if (errno == EEXIST)
        return 1;
    // A file system without hard links (FAT, some network shares): looked at first, then renamed.
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0)
        return 1;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : -1;
}

long long free_space(const std::string &folder)
{
    struct statvfs st;
    if (::statvfs(folder.c_str(), &st) != 0)
        return -1;
    return static_cast<long long>(st.f_bavail) * static_cast<long long>(st.f_frsize);
}

std::string downloads_folder()
{
    std::string folder;
    const char *env = std::getenv("XDG_DOWNLOAD_DIR");
    std::string home_dir = home();
    if (env != nullptr && *env == '/')
        folder = env;
    else if (!home_dir.empty())
        folder = from_user_dirs(home_dir);
    if (folder.empty() && !home_dir.empty())
        folder = home_dir + "/Downloads";
    if (folder.empty())
        return "";
    ::mkdir(folder.c_str(), 0755);  // there already, or made
    struct stat st;
    return ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? folder : "";
}

std::string path_in(const std::string &folder, const std::string &name)
{
    return !folder.empty() && folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string last_part(const std::string &path)
{
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void mark_from_other_computer(const std::string &)
{
}

// Linux firewalls have no notion of a public network: what they let in is the rules' affair.
bool on_public_network()
{
    return false;
}

#endif
