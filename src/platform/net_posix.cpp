// net_posix.cpp - the socket layer on BSD sockets (Linux).
#ifndef _WIN32

#include "platform/net.h"
#include "platform/name_lookup.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // no such flag here: SIGPIPE is ignored in net_startup instead
#endif

// A descriptor held in reserve, so that a connection can still be accepted, to be refused, when
// there are none left (refuse_client). Used by the accept loop only.
static int spare_descriptor = -1;

unsigned long net_startup()
{
    // A send to a peer that has reset must fail with EPIPE, not end the process.
    if (MSG_NOSIGNAL == 0)
        std::signal(SIGPIPE, SIG_IGN);
    return 0;
}

void net_cleanup() {}

void prepare_relay_process()
{
    // Every client holds two descriptors; the usual soft limit of 1024 would cap the room at ~500.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
#ifdef __GLIBC__
    // glibc gives threads allocation arenas of their own, up to eight per core, and each keeps what
    // its threads freed; a crowd of handlers spread over them leaves that much more behind. The
    // relay's handlers allocate under its locks anyway, so one arena costs them no waiting.
    mallopt(M_ARENA_MAX, 1);
#endif
    spare_descriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);  // without one, nothing is refused
    // The kernel grows a process's descriptor table by doubling it, and while other threads share
    // the table each growth waits for an RCU grace period: in a crowd's arrival the accept loop sat
    // in accept4 six times, about 14 ms each, while the listen queue overflowed
    // (measured: docs/benchmarks.md). Grown now, before there is a second thread, it costs no wait,
    // and the table never shrinks: room for some 8,000 clients, as large as 5,000 make it anyway.
    constexpr int PREPARED_DESCRIPTORS = 16384;
    if (spare_descriptor >= 0 && getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur >= PREPARED_DESCRIPTORS) {
        int highest = ::fcntl(spare_descriptor, F_DUPFD_CLOEXEC, PREPARED_DESCRIPTORS - 1);
        if (highest >= 0)
            ::close(highest);
    }
}

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
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

int bind_any(SOCKET s, unsigned short port)
{
    // Lets a restarted server bind while connections of the killed one sit in TIME_WAIT, as Windows
    // allows by default. A live listener on the port still makes the bind fail.
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = any_address(port);
    return ::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 ? 0 : -1;
}

int listen_socket(SOCKET s)
{
    // Asks for more than any system gives: the kernel caps it at net.core.somaxconn (4096 by
    // default), which is the host's to set, so that the queue is the longest the host allows.
    if (::listen(s, 65535) != 0)
        return -1;
    // A listener that blocked would hold a batch of newcomers back until the next one came.
    int flags = ::fcntl(s, F_GETFL);
    return flags >= 0 && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

int accept_clients(SOCKET listener, SOCKET *socks, waker **wakers, int max)
{
    int count = 0;
    while (count < max) {
        int s = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (s < 0) {
            if (count > 0)
                break;  // nothing more waiting, or a failure that the next call meets again
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd waiting{listener, POLLIN, 0};
                if (::poll(&waiting, 1, -1) < 0 && errno != EINTR)
                    return 0;
                continue;
            }
            // A connection that broke before it could be taken: the next one.
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
                continue;
            return 0;
        }
        // A client holds two descriptors. Without room for the second it is refused now, in its
        // turn (its first receive reports the end of the stream), not served after later ones.
        waker *alarm = make_waker();
        if (alarm == nullptr) {
            ::close(s);
            continue;
        }
        int one = 1;
        ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        socks[count] = s;
        wakers[count++] = alarm;
    }
    return count;
}

int refuse_client(SOCKET listener)
{
    if (errno != EMFILE && errno != ENFILE)
        return -1;
    // The reserve is taken back after each refusal, but another thread may take the freed
    // descriptor first: then it is asked for again here, each time, until there is room for it.
    if (spare_descriptor < 0)
        spare_descriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (spare_descriptor < 0)
        return -1;
    ::close(spare_descriptor);
    int s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);  // fails at once if none is waiting
    if (s >= 0)
        reset_socket(s);
    spare_descriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return s >= 0 ? 0 : -1;
}

int recv_some(SOCKET s, char *buf, int len)
{
    ssize_t n = ::recv(s, buf, static_cast<size_t>(len), 0);
    if (n >= 0)
        return static_cast<int>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? RECV_NOTHING : RECV_BROKEN;
}

bool input_waiting(SOCKET s)
{
    int count = 0;
    return ::ioctl(s, FIONREAD, &count) == 0 && count > 0;
}

long send_gathered(SOCKET s, const byte_span *spans, int count)
{
    iovec iov[MAX_SPANS];
    if (count > MAX_SPANS)
        count = MAX_SPANS;
    for (int i = 0; i < count; ++i)
        iov[i] = iovec{const_cast<char *>(spans[i].data), spans[i].size};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(count);
    ssize_t n = ::sendmsg(s, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0)
        return static_cast<long>(n);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

void close_socket(SOCKET s)
{
    ::close(s);
}

void reset_socket(SOCKET s)
{
    linger now{1, 0};
    ::setsockopt(s, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    ::close(s);
}

// An eventfd: it polls readable while its counter is above zero.
struct waker {
    int fd;
};

waker *make_waker()
{
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return fd < 0 ? nullptr : new waker{fd};
}

void wake(waker *w)
{
    std::uint64_t one = 1;
    ssize_t ignored = ::write(w->fd, &one, sizeof one);  // can only fail when already set
    (void)ignored;
}

void clear_waker(waker *w)
{
    std::uint64_t count;
    ssize_t ignored = ::read(w->fd, &count, sizeof count);
    (void)ignored;
}

void free_waker(waker *w)
{
    ::close(w->fd);
    delete w;
}

int wait_socket(SOCKET s, bool want_read, bool want_write, waker *w, int timeout_ms)
{
    pollfd fds[2] = {{s, static_cast<short>((want_read ? POLLIN : 0) | (want_write ? POLLOUT : 0)), 0}, {w->fd, POLLIN, 0}};
    if (::poll(fds, 2, timeout_ms) <= 0)
        return 0;
    int ready = 0;
    // A hang-up or error is reported as readable: the receive then says what happened.
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR))
        ready |= WAIT_READABLE;
    if (fds[0].revents & POLLOUT)
        ready |= WAIT_WRITABLE;
    if (fds[1].revents & POLLIN)
        ready |= WAIT_WOKEN;
    return ready;
}

SOCKET udp_broadcast_socket()
{
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
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
    addr.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    addr.sin_port = htons(port);
    ssize_t n = ::sendto(s, buf, static_cast<size_t>(len), MSG_NOSIGNAL,
                         reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    return n < 0 ? -1 : static_cast<int>(n);
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
    std::snprintf(why, why_len, "%s", ::gai_strerror(rc));
}

SOCKET connect_to(const char *host, unsigned short port, int timeout_ms, char *why, std::size_t why_len)
{
    addrinfo *found = resolve_ipv4(host, port, &timeout_ms, why, why_len);
    if (found == nullptr)
        return NO_SOCKET;
    // Connected without blocking, so that the wait can be bounded; the socket blocks afterwards.
    int err = 0;
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) {
        err = errno;
    } else if (::connect(s, found->ai_addr, found->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            err = errno;
        } else {
            pollfd done{s, POLLOUT, 0};
            int ready;
            while ((ready = ::poll(&done, 1, timeout_ms)) < 0 && errno == EINTR) {
            }
            socklen_t len = sizeof err;
            if (ready == 0)
                err = ETIMEDOUT;
            else if (ready < 0 || ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                err = errno;
        }
    }
    ::freeaddrinfo(found);
    if (err != 0) {
        std::snprintf(why, why_len, "%s", std::strerror(err));
        if (s >= 0)
            ::close(s);
        return NO_SOCKET;
    }
    ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) & ~O_NONBLOCK);
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return s;
}

int send_all(SOCKET s, const char *buf, int len)
{
    while (len > 0) {
        ssize_t n = ::send(s, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        buf += n;
        len -= static_cast<int>(n);
    }
    return 0;
}

SOCKET udp_listen_socket(unsigned short port)
{
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return NO_SOCKET;
    int one = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = any_address(port);
    if (::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ::close(s);
        return NO_SOCKET;
    }
    return s;
}

int recv_datagram(SOCKET s, char *buf, int len, char *from, std::size_t from_len, int timeout_ms)
{
    pollfd p{s, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms) <= 0)  // a negative time-out would wait for ever
        return -1;
    sockaddr_in addr{};
    socklen_t addr_len = sizeof addr;
    // MSG_TRUNC: the result is the datagram's real length even when it is longer than buf. Readiness
    // does not promise a datagram (one can be dropped for a bad checksum), so this must not wait.
    ssize_t n = ::recvfrom(s, buf, static_cast<size_t>(len), MSG_TRUNC | MSG_DONTWAIT,
                           reinterpret_cast<sockaddr *>(&addr), &addr_len);
    if (n < 0)
        return -1;
    ::inet_ntop(AF_INET, &addr.sin_addr, from, static_cast<socklen_t>(from_len));
    return static_cast<int>(n);
}

void shutdown_send(SOCKET s)
{
    ::shutdown(s, SHUT_WR);
}

void break_connection(SOCKET s)
{
    ::shutdown(s, SHUT_RDWR);
}

SOCKET accept_from(SOCKET listener, char *peer, std::size_t peer_len)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int s = ::accept4(listener, reinterpret_cast<sockaddr *>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (s < 0)
        return NO_SOCKET;
    int one = 1;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::inet_ntop(AF_INET, &addr.sin_addr, peer, static_cast<socklen_t>(peer_len)) == nullptr && peer_len > 0)
        peer[0] = '\0';
    return s;
}

bool local_address_of(SOCKET s, char *out, std::size_t out_len)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    return ::getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) == 0 && addr.sin_family == AF_INET &&
           ::inet_ntop(AF_INET, &addr.sin_addr, out, static_cast<socklen_t>(out_len)) != nullptr;
}

#endif  // !_WIN32
