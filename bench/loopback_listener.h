// loopback_listener.h - what both measuring sticks (reference_relay.cpp, thread_relay.cpp) do first:
// take as many descriptors as the hard limit allows, and listen on 127.0.0.1:PORT.
#pragma once
#include <cstdint>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

// A listening socket, its type with `flags` added (SOCK_NONBLOCK, say); -1 if it cannot be had.
inline int listen_on_loopback(int port, int flags)
{
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    if (lfd < 0)
        return -1;
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(lfd, 65535) != 0) {
        close(lfd);
        return -1;
    }
    return lfd;
}
