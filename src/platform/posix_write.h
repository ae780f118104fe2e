// posix_write.h - writing a whole buffer to a descriptor, as the POSIX files that write the log, the
// terminal and the settings files all do. Only those files include it.
#pragma once
#ifndef _WIN32

#include <cerrno>
#include <cstddef>
#include <poll.h>
#include <unistd.h>

// Writes all of buf. Standard output may have been left non-blocking by whoever started the relay
// (the flag belongs to the pipe or terminal, shared with every process that has it): then a full
// pipe is waited for, as a blocking one would be, instead of losing the line.
inline int write_all(int fd, const char *buf, std::size_t len)
{
    while (len > 0) {
        ssize_t n = ::write(fd, buf, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd out{fd, POLLOUT, 0};
            if (::poll(&out, 1, -1) < 0 && errno != EINTR)
                return -1;
            continue;
        }
        if (n <= 0)
            return -1;
        buf += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}

#endif  // !_WIN32
