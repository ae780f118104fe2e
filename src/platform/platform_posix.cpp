// platform_posix.cpp - the platform layer on Linux sockets.
#ifndef _WIN32

#include "platform.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iconv.h>
#include <ifaddrs.h>
#include <langinfo.h>
#include <malloc.h>
#include <mutex>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <pwd.h>
#include <string>
#include <sys/uio.h>
#include <termios.h>
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
    return 0;
}

void net_cleanup() {}

unsigned long last_error()
{
    return static_cast<unsigned long>(errno);
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

// Adds the network to the list unless its broadcast address is there already (a second address on
// one subnet): each network hears one announcement. Returns the new count.
static int add_network(ipv4_network *out, int count, std::uint32_t address, std::uint32_t broadcast)
{
    for (int i = 0; i < count; ++i)
        if (out[i].broadcast == broadcast)
            return count;
    out[count] = ipv4_network{address, broadcast};
    return count + 1;
}

// For a subnet of /30 or wider the kernel routes both the address with every host bit set and any
// broadcast address configured on top (`ip addr add ... brd ...`, or by DHCP) as broadcasts; the
// configured one is what the other hosts were given, so it is preferred.
int list_networks(ipv4_network *out, int max)
{
    ifaddrs *all = nullptr;
    if (::getifaddrs(&all) != 0)
        return -1;
    const unsigned wanted = IFF_UP | IFF_RUNNING | IFF_BROADCAST;
    int count = 0;
    for (ifaddrs *i = all; i != nullptr && count < max; i = i->ifa_next) {
        if ((i->ifa_flags & (wanted | IFF_LOOPBACK | IFF_POINTOPOINT)) != wanted || i->ifa_addr == nullptr ||
            i->ifa_addr->sa_family != AF_INET || i->ifa_netmask == nullptr)
            continue;
        std::uint32_t address = reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr;
        std::uint32_t mask = reinterpret_cast<sockaddr_in *>(i->ifa_netmask)->sin_addr.s_addr;
        if (ntohl(~mask) < 3)
            continue;  // a /31 or /32 has no room for a broadcast address
        std::uint32_t broadcast = address | ~mask;
        const sockaddr *configured = i->ifa_broadaddr;
        if (configured != nullptr && configured->sa_family == AF_INET) {
            std::uint32_t b = reinterpret_cast<const sockaddr_in *>(configured)->sin_addr.s_addr;
            if (b != 0 && b != address)
                broadcast = b;
        }
        count = add_network(out, count, address, broadcast);
    }
    ::freeifaddrs(all);
    return count;
}

int send_network_broadcast(const ipv4_network &net, const char *buf, int len, unsigned short port)
{
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    int broadcast = 1;
    ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &broadcast, sizeof broadcast);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = net.address;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = net.broadcast;
    to.sin_port = htons(port);
    int rc = -1;
    if (::bind(s, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
        ::sendto(s, buf, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&to),
                 sizeof to) == len)
        rc = 0;
    ::close(s);
    return rc;
}

SOCKET connect_to(const char *host, unsigned short port, int timeout_ms, char *why, std::size_t why_len)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    char service[8];
    std::snprintf(service, sizeof service, "%u", port);
    int rc = ::getaddrinfo(host, service, &hints, &found);
    if (rc != 0) {
        std::snprintf(why, why_len, "%s", ::gai_strerror(rc));
        return NO_SOCKET;
    }
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

void binary_stdio() {}

void shutdown_send(SOCKET s)
{
    ::shutdown(s, SHUT_WR);
}

void release_free_memory()
{
#ifdef __GLIBC__
    malloc_trim(0);  // also the free pages inside the heap, not only those at its end
#endif
}

struct thread_start {
    void (*fn)(void *);
    void *arg;
};

static void *run_thread(void *p)
{
    thread_start start = *static_cast<thread_start *>(p);
    delete static_cast<thread_start *>(p);
    start.fn(start.arg);
    return nullptr;
}

bool start_thread(void (*fn)(void *), void *arg)
{
    auto *start = new (std::nothrow) thread_start{fn, arg};
    if (start == nullptr)
        return false;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete start;
        return false;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);  // nobody joins it
    pthread_t thread;
    int err = pthread_create(&thread, &attr, run_thread, start);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        delete start;
        return false;
    }
    return true;
}

clock_time local_clock()
{
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return clock_time{tm.tm_hour, tm.tm_min, tm.tm_sec};
}

// From GBK to the encoding of the terminal that standard output is, if it is one, or to UTF-8 if
// it is the journal's stream; a descriptor converts one line at a time.
static iconv_t to_terminal = reinterpret_cast<iconv_t>(-1);
static std::mutex to_terminal_mtx;

// Whether standard output is the systemd journal's stream. systemd names that stream in
// JOURNAL_STREAM as "device:inode"; a program that inherited the variable but whose output was
// then sent elsewhere (`chat_server | ...` from a service's shell) has another file there.
static bool output_is_journal()
{
    const char *named = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat out {};
    return named != nullptr && std::sscanf(named, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(STDOUT_FILENO, &out) == 0 && device == out.st_dev && inode == out.st_ino;
}

void prepare_log_output()
{
    // A write to a log pipe whose reader has gone (`chat_server | head`) must cost the log, not the
    // relay: it fails with EPIPE instead of ending the process.
    std::signal(SIGPIPE, SIG_IGN);
    if (::isatty(STDOUT_FILENO)) {
        // The terminal's encoding is the one the environment's locale names (LANG, LC_CTYPE, LC_ALL).
        std::setlocale(LC_CTYPE, "");
        to_terminal = ::iconv_open(::nl_langinfo(CODESET), "GBK");
    } else if (output_is_journal()) {
        // The journal keeps text as UTF-8 and shows a line in any other encoding as "[N B blob data]".
        to_terminal = ::iconv_open("UTF-8", "GBK");
    }
}

// Converts a line for the terminal into out; false if the terminal's encoding cannot show it.
static bool convert_for_terminal(const char *line, std::size_t len, char *out, std::size_t *out_len)
{
    std::lock_guard<std::mutex> lock(to_terminal_mtx);
    ::iconv(to_terminal, nullptr, nullptr, nullptr, nullptr);  // each line starts afresh
    char *in = const_cast<char *>(line);
    char *to = out;
    std::size_t in_left = len;
    std::size_t out_left = *out_len;
    if (::iconv(to_terminal, &in, &in_left, &to, &out_left) == static_cast<std::size_t>(-1) ||
        ::iconv(to_terminal, nullptr, nullptr, &to, &out_left) == static_cast<std::size_t>(-1))
        return false;
    *out_len -= out_left;
    return true;
}

// Writes all of buf. Standard output may have been left non-blocking by whoever started the relay
// (the flag belongs to the pipe or terminal, shared with every process that has it): then a full
// pipe is waited for, as a blocking one would be, instead of losing the line.
static int write_all(int fd, const char *buf, std::size_t len)
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

int write_log_line(const char *line, std::size_t len)
{
    char shown[512];  // any encoding takes at most four bytes for each GBK byte
    std::size_t shown_len = sizeof shown;
    if (to_terminal != reinterpret_cast<iconv_t>(-1) && len <= sizeof shown / 4 &&
        convert_for_terminal(line, len, shown, &shown_len))
        return write_all(STDOUT_FILENO, shown, shown_len);
    return write_all(STDOUT_FILENO, line, len);
}

// ---- the companion client's terminal ----

static const iconv_t NO_ICONV = reinterpret_cast<iconv_t>(-1);

static iconv_t typed_to_wire = NO_ICONV;   // the terminal's encoding to GB18030
static iconv_t wire_to_screen = NO_ICONV;  // GB18030 to the terminal's encoding
static char replacement[8] = "?";          // U+FFFD in the terminal's encoding, if it has it
static std::size_t replacement_len = 1;
// Bytes read from the terminal and not yet converted: the start of a character cut by the read.
static char typed[1024];
static std::size_t typed_len = 0;

// U+FFFD as the terminal shows it, or '?' if its encoding has no such character.
static void find_replacement(const char *codeset)
{
    iconv_t cd = ::iconv_open(codeset, "UTF-8");
    if (cd == NO_ICONV)
        return;
    char *in = const_cast<char *>("\xEF\xBF\xBD");
    std::size_t in_left = 3;
    char *to = replacement;
    std::size_t out_left = sizeof replacement;
    if (::iconv(cd, &in, &in_left, &to, &out_left) != static_cast<std::size_t>(-1))
        replacement_len = sizeof replacement - out_left;
    ::iconv_close(cd);
}

terminal_sides prepare_terminal()
{
    // The terminal's encoding is the one the environment's locale names (LANG, LC_CTYPE, LC_ALL).
    std::setlocale(LC_CTYPE, "");
    const char *codeset = ::nl_langinfo(CODESET);
    if (::isatty(STDIN_FILENO))
        typed_to_wire = ::iconv_open("GB18030", codeset);
    if (::isatty(STDOUT_FILENO)) {
        wire_to_screen = ::iconv_open(codeset, "GB18030");
        find_replacement(codeset);
    }
    return terminal_sides{typed_to_wire != NO_ICONV, wire_to_screen != NO_ICONV};
}

// Converts what is in `typed` into out, keeping back a character cut at its end. A byte that is no
// character in the terminal's encoding goes out as U+FFFD. out has room for four times what is
// typed: no character takes more than four bytes in GB18030, nor fewer than one typed.
static std::size_t convert_typed(char *out, std::size_t out_len)
{
    char *in = typed;
    std::size_t in_left = typed_len;
    char *to = out;
    std::size_t out_left = out_len;
    while (in_left > 0 && ::iconv(typed_to_wire, &in, &in_left, &to, &out_left) == static_cast<std::size_t>(-1) &&
           errno == EILSEQ) {
        std::memcpy(to, GB18030_REPLACEMENT, 4);
        to += 4;
        out_left -= 4;
        ++in;
        --in_left;
    }
    std::memmove(typed, in, in_left);  // EINVAL: the rest of a character is still to come
    typed_len = in_left;
    return out_len - out_left;
}

static int read_some(char *buf, std::size_t len)
{
    for (;;) {
        ssize_t n = ::read(STDIN_FILENO, buf, len);
        if (n >= 0 || errno != EINTR)
            return n < 0 ? 0 : static_cast<int>(n);
    }
}

int read_input(char *buf, int len)
{
    if (typed_to_wire == NO_ICONV)
        return read_some(buf, static_cast<std::size_t>(len));
    std::size_t room = std::min(sizeof typed, static_cast<std::size_t>(len) / 4);
    for (;;) {
        int n = read_some(typed + typed_len, room - typed_len);
        if (n == 0 && typed_len > 0) {
            typed_len = 0;  // a character cut short by the end of the input is none
            std::memcpy(buf, GB18030_REPLACEMENT, 4);
            return 4;
        }
        if (n == 0)
            return 0;
        typed_len += static_cast<std::size_t>(n);
        std::size_t converted = convert_typed(buf, static_cast<std::size_t>(len));
        if (converted > 0)
            return static_cast<int>(converted);
    }
}

// The length of the whole GB18030 character at text: the second byte tells two from four.
static std::size_t character_length(const char *text, std::size_t len)
{
    if (static_cast<unsigned char>(text[0]) < 0x80 || len < 2)
        return 1;
    return text[1] >= '0' && text[1] <= '9' ? std::min<std::size_t>(4, len) : 2;
}

int show_text(const char *text, std::size_t len)
{
    char *in = const_cast<char *>(text);
    std::size_t in_left = len;
    while (in_left > 0) {
        char shown[4096];
        char *to = shown;
        std::size_t out_left = sizeof shown;
        std::size_t rc = ::iconv(wire_to_screen, &in, &in_left, &to, &out_left);
        if (write_all(STDOUT_FILENO, shown, sizeof shown - out_left) != 0)
            return -1;
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
            // A character the terminal's encoding lacks (or, with a C locale, anything not ASCII).
            if (write_all(STDOUT_FILENO, replacement, replacement_len) != 0)
                return -1;
            std::size_t skip = character_length(in, in_left);
            in += skip;
            in_left -= skip;
        }
    }
    return 0;
}

// Converts text from one encoding to GB18030 into out; its length, or -1.
static int to_gb18030(const char *from, const char *text, char *out, std::size_t out_len)
{
    iconv_t cd = ::iconv_open("GB18030", from);
    if (cd == NO_ICONV)
        return -1;
    char *in = const_cast<char *>(text);
    std::size_t in_left = std::strlen(text);
    char *to = out;
    std::size_t out_left = out_len;
    std::size_t rc = ::iconv(cd, &in, &in_left, &to, &out_left);
    ::iconv_close(cd);
    return rc == static_cast<std::size_t>(-1) ? -1 : static_cast<int>(out_len - out_left);
}

int argument_in_gb18030(char **argv, int i, char *out, std::size_t out_len)
{
    // The command line is in the locale's encoding; a C locale has no room for a name that is not
    // ASCII, so one typed under it is taken as UTF-8, what terminals use today.
    int n = to_gb18030(::nl_langinfo(CODESET), argv[i], out, out_len);
    return n >= 0 ? n : to_gb18030("UTF-8", argv[i], out, out_len);
}

std::uint32_t gb18030_code_point(const char *ch, std::size_t len)
{
    // Decoding takes state of its own, and the screen's threads decode at once.
    thread_local iconv_t to_utf32 = ::iconv_open("UTF-32LE", "GB18030");
    unsigned char code[4];
    char *in = const_cast<char *>(ch);
    char *to = reinterpret_cast<char *>(code);
    std::size_t in_left = len, out_left = sizeof code;
    if (to_utf32 == NO_ICONV)
        return 0xFFFD;
    ::iconv(to_utf32, nullptr, nullptr, nullptr, nullptr);
    if (::iconv(to_utf32, &in, &in_left, &to, &out_left) == static_cast<std::size_t>(-1) || out_left != 0)
        return 0xFFFD;
    return code[0] | code[1] << 8 | code[2] << 16 | static_cast<std::uint32_t>(code[3]) << 24;
}

void break_connection(SOCKET s)
{
    ::shutdown(s, SHUT_RDWR);
}

// ---- the companion client's screen ----

static termios terminal_as_found;
static volatile sig_atomic_t screen_mode_on = 0;
static const char *screen_restore = "";

static void restore_terminal()
{
    if (!screen_mode_on)
        return;
    screen_mode_on = 0;
    ssize_t ignored = ::write(STDOUT_FILENO, screen_restore, std::strlen(screen_restore));
    (void)ignored;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &terminal_as_found);
}

// A crash or the window's closing leaves the terminal as it was found, then takes its course.
static void restore_and_die(int sig)
{
    restore_terminal();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

bool screen_possible()
{
    const char *term = std::getenv("TERM");
    return ::isatty(STDIN_FILENO) && ::isatty(STDOUT_FILENO) && term != nullptr && term[0] != '\0' &&
           std::strcmp(term, "dumb") != 0;
}

bool enter_screen_mode(const char *restore)
{
    if (::tcgetattr(STDIN_FILENO, &terminal_as_found) != 0)
        return false;
    termios raw = terminal_as_found;
    raw.c_iflag &= ~static_cast<tcflag_t>(BRKINT | ICRNL | INLCR | IGNCR | ISTRIP | IXON);
    raw.c_lflag &= ~static_cast<tcflag_t>(ECHO | ICANON | ISIG | IEXTEN);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    screen_restore = restore;
    if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) != 0)
        return false;
    screen_mode_on = 1;
    for (int sig : {SIGHUP, SIGTERM, SIGQUIT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        std::signal(sig, restore_and_die);
    return true;
}

void leave_screen_mode()
{
    restore_terminal();
}

bool terminal_size(int *rows, int *cols)
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0)
        return false;
    *rows = size.ws_row;
    *cols = size.ws_col;
    return true;
}

std::size_t login_name(char *out, std::size_t len)
{
    const char *name = std::getenv("USER");
    passwd *entry = ::getpwuid(::getuid());
    if ((name == nullptr || name[0] == '\0') && entry != nullptr)
        name = entry->pw_name;
    if (name == nullptr)
        return 0;
    int n = to_gb18030(::nl_langinfo(CODESET), name, out, len);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

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

// ---- windows that stay open ----

// A terminal is not the program's own: it stays open, showing what was written, after the program
// ends.
bool console_is_ours_alone()
{
    return false;
}

void hold_console_open(const char *)
{
}

#endif  // !_WIN32
