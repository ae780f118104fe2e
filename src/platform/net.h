// net.h - the socket layer: the relay's TCP listener and clients, its beacon, and the client's
// connection to it and its ear for the beacon.
//
// net_win32.cpp (Winsock 2) and net_posix.cpp (BSD sockets) define these functions in the same
// order, as the other headers here have a pair of files each. Results are normalised here so the
// programs never see errno, WSAGetLastError or a platform constant.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
typedef std::uintptr_t SOCKET;  // Winsock's handle: UINT_PTR, 64 bits on Win64
#else
typedef int SOCKET;  // a file descriptor
#endif

// The value socket creation and accept return on failure (Winsock's INVALID_SOCKET, POSIX's -1).
constexpr SOCKET NO_SOCKET = static_cast<SOCKET>(~static_cast<SOCKET>(0));

// One piece of a gathered send.
struct byte_span {
    const char *data;
    std::size_t size;
};

// What a receive can report besides a count of bytes.
constexpr int RECV_CLOSED = 0;    // the peer has closed its side
constexpr int RECV_NOTHING = -1;  // nothing to read right now
constexpr int RECV_BROKEN = -2;   // the connection failed (reset, aborted, ...)

struct waker;  // see make_waker

// What wait_socket reports, as a set of bits; 0 means the time-out passed.
constexpr int WAIT_READABLE = 1;  // data, end of stream or an error is waiting to be received
constexpr int WAIT_WRITABLE = 2;
constexpr int WAIT_WOKEN = 4;  // the waker was set

// Brings the socket layer up. Returns 0, or the code the platform gives for the failure.
unsigned long net_startup();
// Releases what net_startup took; call once on every path after net_startup.
void net_cleanup();
// Readies the process to serve a crowd of connections, as the relay alone does: the most
// descriptors the system allows (every client holds two), one allocation arena for all threads, and
// a descriptor kept in reserve for refuse_client. Call once, after net_startup.
void prepare_relay_process();

// Creates an IPv4 TCP socket, or returns NO_SOCKET.
SOCKET tcp_socket();
// Binds to the given port on every local IPv4 address.
int bind_any(SOCKET s, unsigned short port);
// Starts listening with the longest accept queue the platform allows. The listening socket does not
// block: accept_clients waits for it.
int listen_socket(SOCKET s);
// Waits for a connection, then takes it and the others already waiting, up to max, in the order they
// came, into socks: how many were taken, or 0 if none could be (then call refuse_client). The peers'
// addresses are not asked for. Each new socket is non-blocking and sends small writes at once (no
// Nagle delay). Where a waker holds a descriptor of its own (POSIX), each connection comes with the
// waker its handler will wait on, made here, so that a connection is taken only when there is room
// for both and connections beyond the limit are refused in the order they came; elsewhere its entry
// in wakers is null, and the caller makes one (make_waker) away from the accept loop.
int accept_clients(SOCKET listener, SOCKET *socks, waker **wakers, int max);
// Call right after accept_clients has taken none. If it failed for want of a descriptor, refuses the
// next waiting connection at once (accepted with a descriptor kept in reserve for this, then reset),
// so that connections beyond the limit are not left unanswered in the queue. Returns 0 if one was
// refused, -1 otherwise (another failure, or nothing waiting).
int refuse_client(SOCKET listener);

// Receives what is there, up to len bytes: a count, RECV_CLOSED, RECV_NOTHING or RECV_BROKEN.
int recv_some(SOCKET s, char *buf, int len);
// True if bytes have arrived on s that have not been received yet.
bool input_waiting(SOCKET s);
// The most pieces one gathered send takes; any past it are not sent.
constexpr int MAX_SPANS = 64;
// Sends what the socket takes now of the pieces, in order, in one call: the count of bytes (0 if
// it takes nothing), or -1 if the connection has failed. Never blocks, and never raises a signal
// on a dead peer.
long send_gathered(SOCKET s, const byte_span *spans, int count);
void close_socket(SOCKET s);
// Closes at once with a reset, dropping whatever the peer has not yet taken.
void reset_socket(SOCKET s);

// A waker lets one thread cut short another thread's wait_socket.
waker *make_waker();  // nullptr if the platform refuses one
void wake(waker *w);
void clear_waker(waker *w);
void free_waker(waker *w);
// Waits until s is readable (if want_read) or writable (if want_write), or w is set, or timeout_ms
// passes. A hang-up or error counts as readable.
int wait_socket(SOCKET s, bool want_read, bool want_write, waker *w, int timeout_ms);

// Creates an IPv4 UDP socket allowed to send broadcasts, or returns NO_SOCKET.
SOCKET udp_broadcast_socket();
// Sends one datagram to the limited-broadcast address 255.255.255.255 on the given port.
int send_broadcast(SOCKET s, const char *buf, int len, unsigned short port);

// ---- for the companion client ----

// Connects a blocking TCP socket to host (a name or a dotted address) and port, giving up after
// timeout_ms (a host that has gone dark answers nothing, and the system would wait minutes). On
// failure returns NO_SOCKET and writes why into the caller's buffer.
SOCKET connect_to(const char *host, unsigned short port, int timeout_ms, char *why, std::size_t why_len);
// Sends all len bytes, waiting as needed: 0, or -1 if the connection failed.
int send_all(SOCKET s, const char *buf, int len);
// Creates a non-blocking UDP socket bound to the port on every local address, sharing it with other
// listeners; NO_SOCKET on failure.
SOCKET udp_listen_socket(unsigned short port);
// Waits up to timeout_ms (0 or more) for one datagram and stores at most len bytes of it. Returns
// its whole length (more than len if it did not fit), or -1 if none came; never waits longer. The
// sender's IPv4 address is written as dotted text into from (16 bytes suffice).
int recv_datagram(SOCKET s, char *buf, int len, char *from, std::size_t from_len, int timeout_ms);
// Ends the sending direction of a connection: the peer reads the end of the stream after what was sent.
void shutdown_send(SOCKET s);
// Breaks a connection that another thread may be blocked on, sending or receiving: both fail at
// once. The socket is still the caller's to close afterwards.
void break_connection(SOCKET s);

// ---- for the files a client shares ----

// Takes one connection waiting on a listener (listen_socket's, which does not block): the new
// socket, which does not block either and sends small writes at once, with the peer's IPv4 address
// as dotted text in peer (16 bytes suffice). NO_SOCKET if none is waiting.
SOCKET accept_from(SOCKET listener, char *peer, std::size_t peer_len);
// The local IPv4 address of a connected socket, as dotted text in out (16 bytes suffice): false if
// the system would not say.
bool local_address_of(SOCKET s, char *out, std::size_t out_len);
