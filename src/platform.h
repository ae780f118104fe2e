// platform.h - the few socket, clock and console chores the relay needs, one implementation per OS.
//
// platform_win32.cpp (Winsock 2) and platform_posix.cpp (BSD sockets) define these functions in the
// same order. Results are normalised here so the server never sees errno, WSAGetLastError or a
// platform constant: calls return 0 on success and -1 on failure, and last_error() tells why.
#pragma once

#include <cstdint>

#ifdef _WIN32
typedef std::uintptr_t SOCKET;  // Winsock's handle: UINT_PTR, 64 bits on Win64
#else
typedef int SOCKET;  // a file descriptor
#endif

// The value socket creation and accept return on failure (Winsock's INVALID_SOCKET, POSIX's -1).
constexpr SOCKET NO_SOCKET = static_cast<SOCKET>(~static_cast<SOCKET>(0));

// Hour, minute and second of the local time of day.
struct clock_time {
    int hour;
    int minute;
    int second;
};

// Brings the socket layer up. Returns 0, or the code the platform gives for the failure.
unsigned long net_startup();
// Releases what net_startup took; call once on every path after net_startup.
void net_cleanup();
// The calling thread's code for the last failed call (GetLastError on Windows, errno elsewhere).
unsigned long last_error();

// Creates an IPv4 TCP socket, or returns NO_SOCKET.
SOCKET tcp_socket();
// Binds to the given port on every local IPv4 address.
int bind_any(SOCKET s, unsigned short port);
int listen_socket(SOCKET s, int backlog);
// Waits for a connection and returns its socket, or NO_SOCKET. The peer's address is not asked for.
SOCKET accept_client(SOCKET listener);

// Makes each later receive on s give up after the given number of seconds.
int set_recv_timeout(SOCKET s, int seconds);
// Receives up to len bytes: the count received, 0 when the peer has closed, -1 on time-out or error.
int recv_some(SOCKET s, char *buf, int len);
// Sends up to len bytes and returns the count sent or -1. Never raises a signal on a dead peer.
int send_some(SOCKET s, const char *buf, int len);
void close_socket(SOCKET s);

// Creates an IPv4 UDP socket allowed to send broadcasts, or returns NO_SOCKET.
SOCKET udp_broadcast_socket();
// Sends one datagram to the limited-broadcast address 255.255.255.255 on the given port.
int send_broadcast(SOCKET s, const char *buf, int len, unsigned short port);

// The local time of day, read now.
clock_time local_clock();
