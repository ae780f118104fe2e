// platform_posix.cpp - the platform layer on BSD sockets (Linux and other POSIX systems).
#ifndef _WIN32

#include "platform.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // no such flag here: SIGPIPE is ignored in net_startup instead
#endif

unsigned long net_startup()
{
    // A send to a peer that has reset must fail with EPIPE, not end the process.
    if (MSG_NOSIGNAL == 0)
        std::signal(SIGPIPE, SIG_IGN);
    return 0;
}

void net_cleanup() {}

unsigned long last_error()
{
    return static_cast<unsigned long>(errno);
}

SOCKET tcp_socket()
{
    return ::socket(AF_INET, SOCK_STREAM, 0);
}

int bind_any(SOCKET s, unsigned short port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    return ::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 ? 0 : -1;
}

int listen_socket(SOCKET s, int backlog)
{
    return ::listen(s, backlog) == 0 ? 0 : -1;
}

SOCKET accept_client(SOCKET listener)
{
    int s = ::accept(listener, nullptr, nullptr);
    return s < 0 ? NO_SOCKET : s;
}

int set_recv_timeout(SOCKET s, int seconds)
{
    timeval tv{};
    tv.tv_sec = seconds;
    return ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 ? 0 : -1;
}

int recv_some(SOCKET s, char *buf, int len)
{
    ssize_t n = ::recv(s, buf, static_cast<size_t>(len), 0);
    return n < 0 ? -1 : static_cast<int>(n);
}

int send_some(SOCKET s, const char *buf, int len)
{
    ssize_t n = ::send(s, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    return n < 0 ? -1 : static_cast<int>(n);
}

void close_socket(SOCKET s)
{
    ::close(s);
}

SOCKET udp_broadcast_socket()
{
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return NO_SOCKET;
    int broadcast = 1;
    ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &broadcast, sizeof broadcast);  // a refusal shows as failed sends
    return s;
}

int send_broadcast(SOCKET s, const char *buf, int len, unsigned short port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr("255.255.255.255");
    addr.sin_port = htons(port);
    ssize_t n = ::sendto(s, buf, static_cast<size_t>(len), MSG_NOSIGNAL,
                         reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    return n < 0 ? -1 : static_cast<int>(n);
}

clock_time local_clock()
{
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return clock_time{tm.tm_hour, tm.tm_min, tm.tm_sec};
}

#endif  // !_WIN32
