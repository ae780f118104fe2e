// net_win32.cpp - the socket layer on Windows Sockets 2.
#ifdef _WIN32

#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // WSAPoll
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include "platform/net.h"
#include "platform/name_lookup.h"

#include <cstdio>

unsigned long net_startup()
{
    WSADATA wsa;
    return static_cast<unsigned long>(WSAStartup(MAKEWORD(2, 2), &wsa));
}

void net_cleanup()
{
    WSACleanup();
}

// Nothing to do on Windows: sockets are limited by memory, not by a count per process (see
// refuse_client), and the one arena is a setting of glibc's allocator.
void prepare_relay_process() {}

// The given port on every local IPv4 address.
static sockaddr_in any_address(unsigned short port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(port);
    return addr;
}

SOCKET tcp_socket()
{
    return ::socket(AF_INET, SOCK_STREAM, 0);
}

int bind_any(SOCKET s, unsigned short port)
{
    // No SO_REUSEADDR: on Windows it lets the socket that sets it bind a port that another socket is
    // using, so a second relay would take over the first one's port instead of failing. Binding while
    // old connections of a killed relay linger is allowed there without it. SO_EXCLUSIVEADDRUSE keeps
    // any other program from binding a specific local address on the port and so taking that
    // interface's connections from under the relay's wildcard bind. A refusal of the option leaves
    // the default, which still refuses a second wildcard bind.
    BOOL exclusive = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&exclusive), sizeof exclusive);
    sockaddr_in addr = any_address(port);
    return ::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 ? 0 : -1;
}

#ifndef SOMAXCONN_HINT
#define SOMAXCONN_HINT(b) (-(b))  // not in every mingw-w64 header
#endif

int listen_socket(SOCKET s)
{
    // SOMAXCONN asks Winsock for a "reasonable" queue (about 200 on client editions), and a full
    // queue refuses connections outright; the hint asks for the longest it allows.
    if (::listen(s, SOMAXCONN_HINT(65535)) != 0)
        return -1;
    // A listener that blocked would hold a batch of newcomers back until the next one came.
    u_long on = 1;
    return ::ioctlsocket(s, FIONBIO, &on) == 0 ? 0 : -1;
}

int accept_clients(SOCKET listener, SOCKET *socks, waker **wakers, int max)
{
    int count = 0;
    while (count < max) {
        SOCKET s = ::accept(listener, nullptr, nullptr);
        if (s == INVALID_SOCKET) {
            if (count > 0)
                break;  // nothing more waiting, or a failure that the next call meets again
            int e = WSAGetLastError();
            if (e == WSAEWOULDBLOCK) {
                WSAPOLLFD waiting{};
                waiting.fd = listener;
                waiting.events = POLLRDNORM;
                if (::WSAPoll(&waiting, 1, -1) == SOCKET_ERROR)
                    return 0;
                continue;
            }
            // A connection that broke before it could be taken: the next one.
            if (e == WSAEINTR || e == WSAECONNRESET)
                continue;
            return 0;
        }
        // Every send to a client happens under the registry lock and must never block: a socket that
        // cannot be made non-blocking is not served.
        u_long on = 1;
        if (::ioctlsocket(s, FIONBIO, &on) != 0) {
            ::closesocket(s);
            continue;
        }
        BOOL nodelay = TRUE;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&nodelay), sizeof nodelay);
        socks[count] = s;
        // A waker here is a socket of its own, made in five calls, and sockets are not counted: the
        // caller makes it, away from the accept loop.
        wakers[count++] = nullptr;
    }
    return count;
}

// Windows limits sockets by memory, not by a count per process: there is no descriptor to keep in
// reserve, and an accept that failed for want of buffers is better tried again (the accept loop
// pauses first) than used to refuse a client it might serve.
int refuse_client(SOCKET)
{
    return -1;
}

static bool would_block()
{
    int e = WSAGetLastError();
    return e == WSAEWOULDBLOCK || e == WSAEINTR;
}

int recv_some(SOCKET s, char *buf, int len)
{
    int n = ::recv(s, buf, len, 0);
    if (n != SOCKET_ERROR)
        return n;
    return would_block() ? RECV_NOTHING : RECV_BROKEN;
}

bool input_waiting(SOCKET s)
{
    u_long count = 0;
    return ::ioctlsocket(s, FIONREAD, &count) == 0 && count > 0;
}

long send_gathered(SOCKET s, const byte_span *spans, int count)
{
    WSABUF bufs[MAX_SPANS];
    if (count > MAX_SPANS)
        count = MAX_SPANS;
    for (int i = 0; i < count; ++i) {
        bufs[i].buf = const_cast<char *>(spans[i].data);
        bufs[i].len = static_cast<ULONG>(spans[i].size);
    }
    DWORD sent = 0;  // Windows has no SIGPIPE; the socket is non-blocking
    if (::WSASend(s, bufs, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) == 0)
        return static_cast<long>(sent);
    return would_block() ? 0 : -1;
}

void close_socket(SOCKET s)
{
    ::closesocket(s);
}

void reset_socket(SOCKET s)
{
    linger now{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&now), sizeof now);
    ::closesocket(s);
}

// WSAPoll waits on sockets only, so the waker is a UDP socket on loopback connected to itself: a
// datagram in it makes it readable.
struct waker {
    SOCKET sock;
};

waker *make_waker()
{
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET)
        return nullptr;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    u_long on = 1;
    if (::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
        ::connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::ioctlsocket(s, FIONBIO, &on) != 0) {
        ::closesocket(s);
        return nullptr;
    }
    return new waker{s};
}

void wake(waker *w)
{
    char one = 1;
    ::send(w->sock, &one, 1, 0);  // a full buffer is already set
}

void clear_waker(waker *w)
{
    char buf[64];
    while (::recv(w->sock, buf, sizeof buf, 0) > 0) {
    }
}

void free_waker(waker *w)
{
    ::closesocket(w->sock);
    delete w;
}

int wait_socket(SOCKET s, bool want_read, bool want_write, waker *w, int timeout_ms)
{
    WSAPOLLFD fds[2] = {};
    fds[0].fd = s;
    fds[0].events = static_cast<SHORT>((want_read ? POLLRDNORM : 0) | (want_write ? POLLWRNORM : 0));
    fds[1].fd = w->sock;
    fds[1].events = POLLRDNORM;
    if (::WSAPoll(fds, 2, timeout_ms) <= 0)
        return 0;
    int ready = 0;
    // A hang-up or error is reported as readable: the receive then says what happened.
    if (fds[0].revents & (POLLRDNORM | POLLHUP | POLLERR))
        ready |= WAIT_READABLE;
    if (fds[0].revents & POLLWRNORM)
        ready |= WAIT_WRITABLE;
    if (fds[1].revents & POLLRDNORM)
        ready |= WAIT_WOKEN;
    return ready;
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
    addr.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    addr.sin_port = htons(port);
    int n = ::sendto(s, buf, len, 0, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    return n == SOCKET_ERROR ? -1 : n;
}

int find_ipv4(const char *host, const char *service, bool numeric_only, addrinfo **found)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = numeric_only ? AI_NUMERICHOST : 0;
    return ::getaddrinfo(host, service, &hints, found);
}

void free_found(addrinfo *found)
{
    ::freeaddrinfo(found);
}

void say_lookup_error(int rc, char *why, std::size_t why_len)
{
    std::snprintf(why, why_len, "host not found (error %d)", rc);
}

SOCKET connect_to(const char *host, unsigned short port, int timeout_ms, char *why, std::size_t why_len)
{
    addrinfo *found = resolve_ipv4(host, port, &timeout_ms, why, why_len);
    if (found == nullptr)
        return NO_SOCKET;
    // Connected without blocking, so that the wait can be bounded; the socket blocks afterwards.
    int err = 0;
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    u_long nonblocking = 1;
    if (s == INVALID_SOCKET || ::ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
        err = WSAGetLastError();
    } else if (::connect(s, found->ai_addr, static_cast<int>(found->ai_addrlen)) != 0) {
        err = WSAGetLastError();
        if (err == WSAEWOULDBLOCK) {
            // A connection that fails shows in the exception set, one that succeeds as writable.
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
            int ready = ::select(0, nullptr, &writable, &failed, &limit);
            int so_error = 0, len = sizeof so_error;
            if (ready == 0)
                err = WSAETIMEDOUT;
            else if (ready < 0)
                err = WSAGetLastError();
            else if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&so_error), &len) != 0)
                err = WSAGetLastError();
            else
                err = so_error != 0 ? so_error : FD_ISSET(s, &failed) ? WSAECONNREFUSED : 0;
        }
    }
    ::freeaddrinfo(found);
    if (err != 0) {
        std::snprintf(why, why_len, "error %d", err);
        if (s != INVALID_SOCKET)
            ::closesocket(s);
        return NO_SOCKET;
    }
    nonblocking = 0;
    ::ioctlsocket(s, FIONBIO, &nonblocking);
    BOOL nodelay = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&nodelay), sizeof nodelay);
    return s;
}

int send_all(SOCKET s, const char *buf, int len)
{
    while (len > 0) {
        int n = ::send(s, buf, len, 0);
        if (n == SOCKET_ERROR || n == 0)
            return -1;
        buf += n;
        len -= n;
    }
    return 0;
}

SOCKET udp_listen_socket(unsigned short port)
{
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET)
        return NO_SOCKET;
    BOOL share = TRUE;  // several clients on one machine may all listen for the beacon
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char *>(&share), sizeof share);
    sockaddr_in addr = any_address(port);
    u_long on = 1;
    if (::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::ioctlsocket(s, FIONBIO, &on) != 0) {
        ::closesocket(s);
        return NO_SOCKET;
    }
    return s;
}

int recv_datagram(SOCKET s, char *buf, int len, char *from, std::size_t from_len, int timeout_ms)
{
    WSAPOLLFD p{};
    p.fd = s;
    p.events = POLLRDNORM;
    if (::WSAPoll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms) <= 0)  // a negative time-out would wait for ever
        return -1;
    sockaddr_in addr{};
    int addr_len = sizeof addr;
    // The socket is non-blocking: readiness does not promise a datagram, and this must not wait.
    int n = ::recvfrom(s, buf, len, 0, reinterpret_cast<sockaddr *>(&addr), &addr_len);
    if (n == SOCKET_ERROR && WSAGetLastError() != WSAEMSGSIZE)
        return -1;
    ::inet_ntop(AF_INET, &addr.sin_addr, from, from_len);
    return n == SOCKET_ERROR ? len + 1 : n;  // WSAEMSGSIZE: it did not fit
}

void shutdown_send(SOCKET s)
{
    ::shutdown(s, SD_SEND);
}

void break_connection(SOCKET s)
{
    ::shutdown(s, SD_BOTH);
}

SOCKET accept_from(SOCKET listener, char *peer, std::size_t peer_len)
{
    sockaddr_in addr{};
    int len = sizeof addr;
    SOCKET s = ::accept(listener, reinterpret_cast<sockaddr *>(&addr), &len);
    if (s == INVALID_SOCKET)
        return NO_SOCKET;
    // A socket accepted from a non-blocking listener is non-blocking too.
    u_long on = 1;
    ::ioctlsocket(s, FIONBIO, &on);
    BOOL nodelay = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&nodelay), sizeof nodelay);
    if (::inet_ntop(AF_INET, &addr.sin_addr, peer, peer_len) == nullptr && peer_len > 0)
        peer[0] = '\0';
    return s;
}

bool local_address_of(SOCKET s, char *out, std::size_t out_len)
{
    sockaddr_in addr{};
    int len = sizeof addr;
    return ::getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) == 0 && addr.sin_family == AF_INET &&
           ::inet_ntop(AF_INET, &addr.sin_addr, out, out_len) != nullptr;
}

#endif  // _WIN32
