// platform_win32.cpp - the platform layer on Windows Sockets 2.
#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <windows.h>

#include "platform.h"

unsigned long net_startup()
{
    WSADATA wsa;
    return static_cast<unsigned long>(WSAStartup(MAKEWORD(2, 2), &wsa));
}

void net_cleanup()
{
    WSACleanup();
}

unsigned long last_error()
{
    return GetLastError();  // Winsock keeps its codes here too (WSAGetLastError reads the same value)
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
    return ::accept(listener, nullptr, nullptr);  // INVALID_SOCKET is NO_SOCKET
}

int set_recv_timeout(SOCKET s, int seconds)
{
    DWORD ms = static_cast<DWORD>(seconds) * 1000;  // Winsock takes milliseconds, not a timeval
    return ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&ms), sizeof ms) == 0 ? 0 : -1;
}

int recv_some(SOCKET s, char *buf, int len)
{
    int n = ::recv(s, buf, len, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int send_some(SOCKET s, const char *buf, int len)
{
    int n = ::send(s, buf, len, 0);  // Windows has no SIGPIPE
    return n == SOCKET_ERROR ? -1 : n;
}

void close_socket(SOCKET s)
{
    ::closesocket(s);
}

SOCKET udp_broadcast_socket()
{
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET)
        return NO_SOCKET;
    int broadcast = 1;
    ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&broadcast), sizeof broadcast);
    return s;
}

int send_broadcast(SOCKET s, const char *buf, int len, unsigned short port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr("255.255.255.255");
    addr.sin_port = htons(port);
    int n = ::sendto(s, buf, len, 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    return n == SOCKET_ERROR ? -1 : n;
}

clock_time local_clock()
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    return clock_time{st.wHour, st.wMinute, st.wSecond};
}

#endif  // _WIN32
