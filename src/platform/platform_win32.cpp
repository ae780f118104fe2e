// platform_win32.cpp - the platform layer on Windows Sockets 2.
#ifdef _WIN32

#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // WSAPoll
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>
#include <shellapi.h>

#include "platform.h"
#include "platform_wide.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <malloc.h>
#include <new>
#include <process.h>
#include <string>
#include <vector>

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
    return ::listen(s, SOMAXCONN_HINT(65535)) == 0 ? 0 : -1;
}

SOCKET accept_client(SOCKET listener)
{
    SOCKET s = ::accept(listener, nullptr, nullptr);
    if (s == INVALID_SOCKET)
        return NO_SOCKET;
    // Every send to a client happens under the registry lock and must never block: a socket that
    // cannot be made non-blocking is not served.
    u_long on = 1;
    if (::ioctlsocket(s, FIONBIO, &on) != 0) {
        ::closesocket(s);
        return NO_SOCKET;
    }
    BOOL nodelay = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&nodelay), sizeof nodelay);
    return s;
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

// The IP Helper's list of adapters with their IPv4 addresses, in a buffer the caller frees; nullptr
// if it cannot be had. The list can grow between asking for its size and reading it, hence the tries.
static IP_ADAPTER_ADDRESSES *adapter_list()
{
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER |
                        GAA_FLAG_SKIP_FRIENDLY_NAME;
    ULONG size = 16 * 1024;
    for (int tries = 0; tries < 4; ++tries) {
        auto *list = static_cast<IP_ADAPTER_ADDRESSES *>(std::malloc(size));
        if (list == nullptr)
            return nullptr;
        ULONG rc = ::GetAdaptersAddresses(AF_INET, flags, nullptr, list, &size);
        if (rc == ERROR_SUCCESS)
            return list;
        std::free(list);
        if (rc != ERROR_BUFFER_OVERFLOW)
            return nullptr;
    }
    return nullptr;
}

// Windows keeps no broadcast address per address: the subnet's is the address with every host bit
// set, from the on-link prefix. Tunnels and loopback cannot carry it.
int list_networks(ipv4_network *out, int max)
{
    IP_ADAPTER_ADDRESSES *list = adapter_list();
    if (list == nullptr)
        return -1;
    int count = 0;
    for (IP_ADAPTER_ADDRESSES *a = list; a != nullptr && count < max; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK || a->IfType == IF_TYPE_TUNNEL ||
            (a->Flags & IP_ADAPTER_RECEIVE_ONLY) != 0)
            continue;
        for (IP_ADAPTER_UNICAST_ADDRESS *u = a->FirstUnicastAddress; u != nullptr && count < max; u = u->Next) {
            const SOCKADDR *sa = u->Address.lpSockaddr;
            // A /31 or /32 has no room for a broadcast address.
            if (sa == nullptr || sa->sa_family != AF_INET || u->OnLinkPrefixLength < 1 || u->OnLinkPrefixLength > 30 ||
                u->DadState == IpDadStateDuplicate || u->DadState == IpDadStateTentative)
                continue;
            std::uint32_t address = reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr;
            std::uint32_t host_bits = 0xffffffffu >> u->OnLinkPrefixLength;
            count = add_network(out, count, address, address | htonl(host_bits));
        }
    }
    std::free(list);
    return count;
}

int send_network_broadcast(const ipv4_network &net, const char *buf, int len, unsigned short port)
{
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET)
        return -1;
    int broadcast = 1;
    ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&broadcast), sizeof broadcast);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = net.address;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = net.broadcast;
    to.sin_port = htons(port);
    int rc = -1;
    if (::bind(s, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
        ::sendto(s, buf, len, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) == len)
        rc = 0;
    ::closesocket(s);
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
    if (::getaddrinfo(host, service, &hints, &found) != 0) {
        std::snprintf(why, why_len, "host not found (error %d)", WSAGetLastError());
        return NO_SOCKET;
    }
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

void binary_stdio()
{
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

void shutdown_send(SOCKET s)
{
    ::shutdown(s, SD_SEND);
}

void release_free_memory()
{
    _heapmin();  // the C runtime's heap gives back what it holds free
}

// Threads are the system's own, not the C++ library's: with MinGW's thread library (winpthreads 10)
// behind std::thread, when detached threads are started and end by thousands (connections coming
// and going), a later thread can start with another's argument, or none, and crash (seen under
// Wine, 1 run in 4 of a 30,000-thread test; never with _beginthreadex in 10 such runs).
struct thread_start {
    void (*fn)(void *);
    void *arg;
};

static unsigned __stdcall run_thread(void *p)
{
    thread_start start = *static_cast<thread_start *>(p);
    delete static_cast<thread_start *>(p);
    start.fn(start.arg);
    return 0;
}

bool start_thread(void (*fn)(void *), void *arg)
{
    auto *start = new (std::nothrow) thread_start{fn, arg};
    if (start == nullptr)
        return false;
    std::uintptr_t thread = _beginthreadex(nullptr, 0, run_thread, start, 0, nullptr);
    if (thread == 0) {
        delete start;
        return false;
    }
    CloseHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}

clock_time local_clock()
{
    SYSTEMTIME st;
    GetLocalTime(&st);
    return clock_time{st.wHour, st.wMinute, st.wSecond};
}

// Standard output, if it is a console: there text goes as UTF-16, which reads right whatever the
// console's code page.
static HANDLE console_out = nullptr;

void prepare_log_output()
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    if (out != nullptr && out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode))
        console_out = out;
}

// Writes a line to the console, decoded from code page 936. Returns how it went: CONSOLE_REFUSED
// if nothing was written (it could not be decoded, or the console took none of it), so that the
// bytes may go out as they are; CONSOLE_BROKEN if the console took part of it and then failed, when
// writing it again would show the line's start twice.
enum console_write { CONSOLE_WRITTEN, CONSOLE_REFUSED, CONSOLE_BROKEN };

static console_write write_to_console(const char *line, std::size_t len)
{
    wchar_t text[256];
    int body = static_cast<int>(len > 0 && line[len - 1] == '\n' ? len - 1 : len);
    if (body == 0 || body > 250)
        return CONSOLE_REFUSED;
    int n = MultiByteToWideChar(936, MB_ERR_INVALID_CHARS, line, body, text, 250);
    if (n <= 0)
        return CONSOLE_REFUSED;
    text[n++] = L'\r';
    text[n++] = L'\n';
    // A console may take part of a write; the rest follows, from where it stopped.
    int done = 0;
    while (done < n) {
        DWORD written = 0;
        if (!WriteConsoleW(console_out, text + done, static_cast<DWORD>(n - done), &written, nullptr) || written == 0)
            return done == 0 ? CONSOLE_REFUSED : CONSOLE_BROKEN;
        done += static_cast<int>(written);
    }
    return CONSOLE_WRITTEN;
}

int write_log_line(const char *line, std::size_t len)
{
    if (console_out != nullptr) {
        console_write how = write_to_console(line, len);
        if (how != CONSOLE_REFUSED)
            return how == CONSOLE_WRITTEN ? 0 : -1;
    }
    // The C runtime's text mode makes the line end CR LF; one flush per line writes it whole.
    if (std::fwrite(line, 1, len, stdout) != len || std::fflush(stdout) != 0)
        return -1;
    return 0;
}

// ---- the companion client's console ----

// Code page 54936 is GB18030. MultiByteToWideChar keeps nothing from one call to the next: the
// first half of a character cut at the end of its input comes out as U+FFFD, and the second half,
// in the next call, as something else. Whole characters must be handed to it, and are.
const UINT GB18030_CODE_PAGE = 54936;
// Wine before 9.0 lacks code page 54936. There text is converted by parts: GBK's one- and two-byte
// characters, which GB18030 shares, with code page 936, and the supplementary planes' four-byte
// characters (emoji, rare ideographs) by their arithmetic. The BMP's own four-byte characters,
// which take a table, become '?' one way and U+FFFD the other.
// Asked once, before any thread of the program's own starts: where the system lacks the code page,
// each asking looks for its file again.
static const bool has_gb18030 = IsValidCodePage(GB18030_CODE_PAGE) != 0;
const UINT GBK_CODE_PAGE = 936;
const long PLANES_START = (0x90 - 0x81) * 12600L;  // the four-byte index of U+10000

// The length of the whole GB18030 character at text: the second byte tells two from four.
static int character_length(const char *text, int len)
{
    if (static_cast<unsigned char>(text[0]) < 0x80 || len < 2)
        return 1;
    return text[1] >= '0' && text[1] <= '9' ? (len < 4 ? len : 4) : 2;
}

// Decodes one four-byte character into out: the count of UTF-16 units written.
static int decode_four_bytes(const unsigned char *p, wchar_t *out)
{
    long index = (((p[0] - 0x81) * 10L + (p[1] - 0x30)) * 126 + (p[2] - 0x81)) * 10 + (p[3] - 0x30) - PLANES_START;
    if (index < 0 || index > 0xFFFFF) {
        out[0] = 0xFFFD;
        return 1;
    }
    out[0] = static_cast<wchar_t>(0xD800 + (index >> 10));
    out[1] = static_cast<wchar_t>(0xDC00 + (index & 0x3FF));
    return 2;
}

// Decodes whole GB18030 characters into out, which has room for len units: the count written.
static int gb18030_to_utf16(const char *text, int len, wchar_t *out)
{
    if (has_gb18030)
        return MultiByteToWideChar(GB18030_CODE_PAGE, 0, text, len, out, len);
    int n = 0;
    for (int at = 0; at < len;) {
        int run = at;  // one- and two-byte characters
        while (run < len && character_length(text + run, len - run) != 4)
            run += character_length(text + run, len - run);
        if (run > at)
            n += MultiByteToWideChar(GBK_CODE_PAGE, 0, text + at, run - at, out + n, len - n);
        if (run + 4 <= len)
            n += decode_four_bytes(reinterpret_cast<const unsigned char *>(text) + run, out + n);
        at = run + 4;
    }
    return n;
}

// Encodes UTF-16 into GB18030 in out, which has room for four bytes a unit: the count written.
static int utf16_to_gb18030(const wchar_t *text, int n, char *out, int len)
{
    if (has_gb18030)
        return WideCharToMultiByte(GB18030_CODE_PAGE, 0, text, n, out, len, nullptr, nullptr);
    int used = 0;
    for (int at = 0; at < n;) {
        int run = at;  // no surrogates
        while (run < n && (text[run] < 0xD800 || text[run] > 0xDFFF))
            ++run;
        if (run > at)
            used += WideCharToMultiByte(GBK_CODE_PAGE, 0, text + at, run - at, out + used, len - used, nullptr, nullptr);
        if (run + 1 < n && text[run] <= 0xDBFF && text[run + 1] >= 0xDC00 && text[run + 1] <= 0xDFFF) {
            long index = ((text[run] - 0xD800L) << 10) + (text[run + 1] - 0xDC00L) + PLANES_START;
            out[used + 3] = static_cast<char>(0x30 + index % 10);
            out[used + 2] = static_cast<char>(0x81 + index / 10 % 126);
            out[used + 1] = static_cast<char>(0x30 + index / 1260 % 10);
            out[used] = static_cast<char>(0x81 + index / 12600);
            used += 4;
            at = run + 2;
        } else if (run < n) {
            out[used++] = '?';  // half a surrogate pair
            at = run + 1;
        } else {
            at = run;
        }
    }
    return used;
}

int wide_from_gb18030(const char *text, int len, wchar_t *out)
{
    return gb18030_to_utf16(text, len, out);
}

int gb18030_from_wide(const wchar_t *text, int n, char *out, int len)
{
    return utf16_to_gb18030(text, n, out, len);
}

static HANDLE console_in = nullptr;      // standard input, if it is a console
static HANDLE console_screen = nullptr;  // standard output, if it is a console
// Typed and not yet converted: a CR that may begin a CR LF, or the first half of a surrogate pair,
// at the end of what a read returned.
static wchar_t typed_held = 0;

static HANDLE console_or_null(DWORD which)
{
    HANDLE h = GetStdHandle(which);
    DWORD mode;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? h : nullptr;
}

terminal_sides prepare_terminal()
{
    console_in = console_or_null(STD_INPUT_HANDLE);
    console_screen = console_or_null(STD_OUTPUT_HANDLE);
    return terminal_sides{console_in != nullptr, console_screen != nullptr};
}

// Turns the console's CR LF into LF in text[0..n), and keeps back a last unit that needs the next
// one: a CR, or the first half of a surrogate pair. Returns the count of units left to convert.
static int take_typed(wchar_t *text, int n)
{
    int kept = 0;
    for (int i = 0; i < n; ++i)
        if (!(text[i] == L'\r' && i + 1 < n && text[i + 1] == L'\n'))
            text[kept++] = text[i];
    if (kept > 0 && (text[kept - 1] == L'\r' || (text[kept - 1] >= 0xD800 && text[kept - 1] <= 0xDBFF)))
        typed_held = text[--kept];
    return kept;
}

// Reads typed text as UTF-16, whatever the console's code page, and converts it to GB18030.
static int read_console(char *buf, int len)
{
    wchar_t text[1024];
    // No UTF-16 unit takes more than four bytes in GB18030.
    int room = len / 4 < 1024 ? len / 4 : 1024;
    for (;;) {
        int n = 0;
        if (typed_held != 0)
            text[n++] = typed_held;
        typed_held = 0;
        DWORD got = 0;
        if (!ReadConsoleW(console_in, text + n, static_cast<DWORD>(room - n), &got, nullptr) || got == 0)
            return 0;
        if (text[n] == 0x1A)
            return 0;  // Ctrl-Z: the console's end of input
        n = take_typed(text, n + static_cast<int>(got));
        if (n > 0)
            return utf16_to_gb18030(text, n, buf, len);
    }
}

static bool screen_keys = false;  // the screen reads keys, not lines
static int read_console_keys(char *buf, int len);

int read_input(char *buf, int len)
{
    if (console_in != nullptr && screen_keys)
        return read_console_keys(buf, len);
    if (console_in != nullptr)
        return read_console(buf, len);
    DWORD got = 0;
    // A pipe whose writer has closed fails with ERROR_BROKEN_PIPE: that is its end.
    if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, static_cast<DWORD>(len), &got, nullptr))
        return 0;
    return static_cast<int>(got);
}

int show_text(const char *text, std::size_t len)
{
    if (len == 0)
        return 0;
    // No GB18030 character takes more UTF-16 units than it has bytes.
    std::vector<wchar_t> wide(len);
    int n = gb18030_to_utf16(text, static_cast<int>(len), wide.data());
    if (n <= 0)
        return -1;
    // The console shows every character in UTF-16; one its font lacks shows as a box.
    for (DWORD done = 0; done < static_cast<DWORD>(n);) {
        DWORD written = 0;
        if (!WriteConsoleW(console_screen, wide.data() + done, static_cast<DWORD>(n) - done, &written, nullptr) ||
            written == 0)
            return -1;
        done += written;
    }
    return 0;
}

int argument_in_gb18030(char **, int i, char *out, std::size_t out_len)
{
    // The wide command line carries the name whatever the console's code page; the narrow argv
    // would have lost what the code page cannot hold.
    int count = 0;
    LPWSTR *args = CommandLineToArgvW(GetCommandLineW(), &count);
    if (args == nullptr)
        return -1;
    int units = i < count ? lstrlenW(args[i]) : 0;
    int n = -1;
    if (units > 0 && static_cast<std::size_t>(units) * 4 <= out_len)
        n = utf16_to_gb18030(args[i], units, out, static_cast<int>(out_len));
    LocalFree(args);
    return n;
}

std::uint32_t gb18030_code_point(const char *ch, std::size_t len)
{
    wchar_t wide[4];
    int n = len <= 4 ? gb18030_to_utf16(ch, static_cast<int>(len), wide) : 0;
    if (n == 1)
        return wide[0];
    if (n == 2 && wide[0] >= 0xD800 && wide[0] <= 0xDBFF && wide[1] >= 0xDC00 && wide[1] <= 0xDFFF)
        return 0x10000 + ((static_cast<std::uint32_t>(wide[0]) - 0xD800) << 10) + (wide[1] - 0xDC00);
    return 0xFFFD;
}

void break_connection(SOCKET s)
{
    ::shutdown(s, SD_BOTH);
}

// ---- the companion client's screen ----

// The console's modes as found, given back on leaving.
static DWORD input_mode_as_found = 0, output_mode_as_found = 0;
static volatile LONG screen_mode_on = 0;
static const char *screen_restore = "";

// Whether what the console shows takes VT sequences, once asked to: Wine's console window accepts
// the mode and then shows the sequences as text. "ESC [ C" moves the cursor one cell on a console
// that takes it; one that does not prints three cells of it. That is fine where the console has no
// window of its own to show (a pseudo console, Wine's in a terminal): a terminal shows what is
// written, and takes the sequences itself. Caller has asked for the mode.
static bool console_takes_vt()
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    DWORD written = 0;
    if (!WriteConsoleA(console_screen, "\r\x1b[C", 4, &written, nullptr) ||
        !GetConsoleScreenBufferInfo(console_screen, &info))
        return false;
    bool takes = info.dwCursorPosition.X == 1;
    WriteConsoleA(console_screen, "\r   \r", 5, &written, nullptr);
    return takes || !IsWindowVisible(GetConsoleWindow());
}

// Windows 10's console takes VT sequences once asked to; older consoles refuse, and keep the line
// mode, as does one that accepts the mode but shows the sequences as text. TERM=dumb asks for the
// line mode here too, as it does on Linux.
bool screen_possible()
{
    DWORD in_mode = 0, out_mode = 0;
    const char *term = std::getenv("TERM");
    if ((term != nullptr && std::strcmp(term, "dumb") == 0) || console_in == nullptr || console_screen == nullptr || !GetConsoleMode(console_in, &in_mode) ||
        !GetConsoleMode(console_screen, &out_mode))
        return false;
    if (!SetConsoleMode(console_screen, out_mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        return false;
    bool takes = console_takes_vt();
    SetConsoleMode(console_screen, out_mode);
    return takes;
}

static void restore_console()
{
    if (InterlockedExchange(&screen_mode_on, 0) == 0)
        return;
    DWORD written = 0;
    WriteConsoleA(console_screen, screen_restore, static_cast<DWORD>(std::strlen(screen_restore)), &written, nullptr);
    SetConsoleMode(console_in, input_mode_as_found);
    SetConsoleMode(console_screen, output_mode_as_found);
}

// The window closing, logging off or shutting down: the console is given back before the end.
static BOOL WINAPI console_closing(DWORD)
{
    restore_console();
    return FALSE;
}

static LONG WINAPI crashing(EXCEPTION_POINTERS *)
{
    restore_console();
    return EXCEPTION_CONTINUE_SEARCH;
}

bool enter_screen_mode(const char *restore)
{
    if (!GetConsoleMode(console_in, &input_mode_as_found) || !GetConsoleMode(console_screen, &output_mode_as_found))
        return false;
    screen_restore = restore;
    // Keys as typed, no echo, Ctrl-C a key; size changes come as events too, and are skipped.
    DWORD in_mode = (input_mode_as_found | ENABLE_WINDOW_INPUT | ENABLE_EXTENDED_FLAGS) &
                    ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT |
                                        ENABLE_QUICK_EDIT_MODE | ENABLE_MOUSE_INPUT);
    DWORD out_mode = output_mode_as_found | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING;
    if (!SetConsoleMode(console_screen, out_mode))
        return false;
    if (!SetConsoleMode(console_in, in_mode)) {
        SetConsoleMode(console_screen, output_mode_as_found);
        return false;
    }
    screen_mode_on = 1;
    screen_keys = true;
    SetConsoleCtrlHandler(console_closing, TRUE);
    SetUnhandledExceptionFilter(crashing);
    return true;
}

void leave_screen_mode()
{
    restore_console();
}

// The keys the screen knows that type no character, as the VT sequences a terminal sends for them.
static const char *key_sequence(WORD key)
{
    switch (key) {
    case VK_LEFT: return "\x1b[D";
    case VK_RIGHT: return "\x1b[C";
    case VK_UP: return "\x1b[A";
    case VK_DOWN: return "\x1b[B";
    case VK_HOME: return "\x1b[H";
    case VK_END: return "\x1b[F";
    case VK_DELETE: return "\x1b[3~";
    default: return nullptr;
    }
}

// Reads key presses from the console: characters as UTF-16, converted to GB18030 (a surrogate pair
// may come in two events), and the editing keys as VT sequences, so that the screen reads the same
// keys on every platform.
static int read_console_keys(char *buf, int len)
{
    INPUT_RECORD events[64];
    for (;;) {
        DWORD got = 0;
        DWORD room = static_cast<DWORD>(len / 8 < 64 ? len / 8 : 64);  // no key takes more than 8 bytes
        if (!ReadConsoleInputW(console_in, events, room, &got) || got == 0)
            return 0;
        int used = 0;
        for (DWORD i = 0; i < got; ++i) {
            const KEY_EVENT_RECORD &k = events[i].Event.KeyEvent;
            if (events[i].EventType != KEY_EVENT || !k.bKeyDown)
                continue;
            for (WORD r = 0; r < (k.wRepeatCount > 0 ? k.wRepeatCount : 1) && used + 8 <= len; ++r) {
                wchar_t c = k.uChar.UnicodeChar;
                if (c == 0) {
                    const char *seq = key_sequence(k.wVirtualKeyCode);
                    if (seq != nullptr) {
                        std::memcpy(buf + used, seq, std::strlen(seq));
                        used += static_cast<int>(std::strlen(seq));
                    }
                } else if (c >= 0xD800 && c <= 0xDBFF) {
                    typed_held = c;
                } else {
                    wchar_t pair[2] = {typed_held, c};
                    bool whole = typed_held != 0 && c >= 0xDC00 && c <= 0xDFFF;
                    used += utf16_to_gb18030(whole ? pair : &c, whole ? 2 : 1, buf + used, len - used);
                    typed_held = 0;
                }
            }
        }
        if (used > 0)
            return used;
    }
}

bool terminal_size(int *rows, int *cols)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (console_screen == nullptr || !GetConsoleScreenBufferInfo(console_screen, &info))
        return false;
    *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    *cols = info.srWindow.Right - info.srWindow.Left + 1;
    return true;
}

std::size_t login_name(char *out, std::size_t len)
{
    wchar_t name[257];
    DWORD n = 257;
    if (!GetUserNameW(name, &n) || n < 2 || (n - 1) * 4 > len)
        return 0;
    int used = utf16_to_gb18030(name, static_cast<int>(n - 1), out, static_cast<int>(len));
    return used > 0 ? static_cast<std::size_t>(used) : 0;
}

// The folder of the client's settings, %APPDATA%\Chat Relay, wide: a user's name in it may be
// beyond any code page.
static std::wstring settings_folder()
{
    wchar_t appdata[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"APPDATA", appdata, MAX_PATH);
    return std::wstring(appdata, n > 0 && n < MAX_PATH ? n : 0) + L"\\Chat Relay";
}

// Says what failed with a path, in the console's terms as far as its code page goes.
static void say_why(char *why, std::size_t why_len, const std::wstring &path, const char *what)
{
    char narrow[MAX_PATH * 2];
    int n = WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, narrow, sizeof narrow, nullptr, nullptr);
    std::snprintf(why, why_len, "%s: %s (error %lu)", n > 0 ? narrow : "?", what, GetLastError());
}

long read_settings_file(const char *name, char *out, std::size_t len, char *why, std::size_t why_len)
{
    std::wstring path = settings_folder() + L"\\" + std::wstring(name, name + std::strlen(name));
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        say_why(why, why_len, path, "cannot be opened");
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? -1 : -2;
    }
    DWORD got = 0;
    BOOL ok = ReadFile(f, out, static_cast<DWORD>(len), &got, nullptr);
    if (!ok)
        say_why(why, why_len, path, "cannot be read");
    CloseHandle(f);
    return ok ? static_cast<long>(got) : -2;
}

int write_settings_file(const char *name, const char *data, std::size_t len, char *why, std::size_t why_len)
{
    std::wstring folder = settings_folder();
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        say_why(why, why_len, folder, "cannot be made");
        return -1;
    }
    std::wstring path = folder + L"\\" + std::wstring(name, name + std::strlen(name));
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD put = 0;
    if (f == INVALID_HANDLE_VALUE || !WriteFile(f, data, static_cast<DWORD>(len), &put, nullptr) || put != len) {
        say_why(why, why_len, path, "cannot be written");
        if (f != INVALID_HANDLE_VALUE)
            CloseHandle(f);
        return -1;
    }
    CloseHandle(f);
    return 0;
}

// ---- windows that stay open ----

bool console_is_ours_alone()
{
    // Without a console on standard input no key can be read, and nobody watches: a pipe, a file,
    // a service's child.
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (in == nullptr || in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode))
        return false;
    // A console made without a window (CREATE_NO_WINDOW) has nobody to read it either.
    if (GetConsoleWindow() == nullptr)
        return false;
    // A console the process got from the cmd or PowerShell that started it lists that shell too,
    // and stays open after the process ends; one made for the process lists only the process.
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}

void hold_console_open(const char *prompt_or_null)
{
    if (!console_is_ours_alone())
        return;
    if (prompt_or_null != nullptr) {
        HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
        DWORD mode = 0, written = 0;
        if (err == nullptr || err == INVALID_HANDLE_VALUE || !GetConsoleMode(err, &mode))
            err = GetStdHandle(STD_OUTPUT_HANDLE);
        WriteConsoleA(err, prompt_or_null, static_cast<DWORD>(lstrlenA(prompt_or_null)), &written, nullptr);
    }
    // Keys typed before the failure do not count. Input records come whatever the console's mode:
    // one key press ends the wait, without Enter. If the window is closed instead, the read fails.
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    FlushConsoleInputBuffer(in);
    INPUT_RECORD record;
    DWORD got = 0;
    while (ReadConsoleInputW(in, &record, 1, &got) && got == 1) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown)
            return;
    }
}

#endif  // _WIN32
