// platform.h - the few socket, clock and console chores the relay needs, one implementation per OS.
//
// platform_win32.cpp (Winsock 2) and platform_posix.cpp (BSD sockets) define these functions in the
// same order. Results are normalised here so the server never sees errno, WSAGetLastError or a
// platform constant.
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

// Hour, minute and second of the local time of day.
struct clock_time {
    int hour;
    int minute;
    int second;
};

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
// The calling thread's code for the last failed call (GetLastError on Windows, errno elsewhere).
unsigned long last_error();

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

// An IPv4 network this host is on: its own address there and the network's broadcast address, both
// in network byte order.
struct ipv4_network {
    std::uint32_t address;
    std::uint32_t broadcast;
};
// Lists the IPv4 networks on interfaces that are up and can broadcast, loopback excepted, each
// network once: at most max of them, into out. Addresses without a subnet broadcast (/31, /32) are
// left out. Returns how many were listed, or -1 if the system would not say.
int list_networks(ipv4_network *out, int max);
// Sends one datagram to the network's broadcast address on the given port, from a socket of its own
// bound to this host's address there, so that receivers see that address as the source: 0, or -1
// if it could not be sent (say, the address went away since it was listed).
int send_network_broadcast(const ipv4_network &net, const char *buf, int len, unsigned short port);

// Hands memory the process has freed back to the system, so that what a crowd of clients took does
// not stay resident after it has left. It walks the allocator's free memory: call it now and then,
// holding no lock of the relay's.
void release_free_memory();

// Runs fn(arg) on a thread of its own that nobody waits for; what the thread took goes when fn
// returns. Returns false if the system would not start one.
bool start_thread(void (*fn)(void *), void *arg);

// The local time of day, read now.
clock_time local_clock();

// Finds out, once at start-up, whether standard output is a terminal, a console or the systemd
// journal, and how text is shown there. Call before the first write_log_line.
void prepare_log_output();
// Writes one log line (GBK text ending in a line end) to standard output at once, whole. A terminal
// or console gets it as text in its own terms, the systemd journal as UTF-8; a pipe or a file gets
// the GBK bytes (with CR LF on Windows), as does a terminal that cannot show it. Returns 0, or -1 if
// standard output failed.
int write_log_line(const char *line, std::size_t len);

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
// Makes standard input and output carry bytes unchanged (no line-end translation).
void binary_stdio();
// Ends the sending direction of a connection: the peer reads the end of the stream after what was sent.
void shutdown_send(SOCKET s);

// U+FFFD, the replacement character, in GB18030: what stands for bytes that are no character.
constexpr char GB18030_REPLACEMENT[] = "\x84\x31\xA4\x37";

// Which of standard input and output are a terminal or console whose text can be converted: there
// people type and read text, which travels as GB18030.
struct terminal_sides {
    bool input;
    bool output;
};
// Finds out, once at start-up, which of standard input and output are such a terminal, and gets
// ready to convert between its encoding and GB18030. Call before the other functions below.
terminal_sides prepare_terminal();
// Reads what standard input has, waiting for at least one byte, and stores at most len (16 or more)
// bytes: their count, or 0 at the end of the input or on failure. What is typed on a terminal comes
// converted to GB18030, with LF line ends; what comes from a pipe or a file comes as it is.
int read_input(char *buf, int len);
// Shows text on the terminal that standard output is. The text is whole GB18030 characters: one cut
// in two by a receive is the caller's to hold back. A character the terminal cannot show appears as
// U+FFFD, or as '?' where that cannot be shown either. Returns 0, or -1 if the terminal failed.
int show_text(const char *text, std::size_t len);
// Stores argv[i], text the person typed on the command line, as GB18030 in out: its length, or -1
// if it does not fit or cannot be converted.
int argument_in_gb18030(char **argv, int i, char *out, std::size_t out_len);
// Decodes one whole GB18030 character of len bytes to its Unicode code point: U+FFFD if it is none.
std::uint32_t gb18030_code_point(const char *ch, std::size_t len);
// Breaks a connection that another thread may be blocked on, sending or receiving: both fail at
// once. The socket is still the caller's to close afterwards.
void break_connection(SOCKET s);

// ---- the companion client's screen ----

// Whether standard input and output are both a terminal or console that can place the cursor with
// VT sequences: a terminal whose TERM is set and not "dumb", or a console that takes them.
bool screen_possible();
// Puts the terminal into the screen's mode: each key as it is typed, no echo, Ctrl-C and Ctrl-Z as
// keys. `restore` (VT sequences, kept by the caller) is written when the mode is left: by
// leave_screen_mode, and also on a crash signal or when the window closes. false if it could not.
bool enter_screen_mode(const char *restore);
// Writes `restore` and gives the terminal back its mode as found. Safe to call more than once.
void leave_screen_mode();
// The terminal's size now, in character cells; false if it cannot be had.
bool terminal_size(int *rows, int *cols);
// The name the user logged in with, as GB18030 text into out: its length, or 0 if unknown.
std::size_t login_name(char *out, std::size_t len);
// Reads the client's settings file of this name (in $XDG_CONFIG_HOME/chat_client/, by default
// ~/.config/chat_client/, or %APPDATA%\Chat Relay\) into out: its length; -1 if it does not exist,
// -2 if it could not be read. why says what failed, with the file's path.
long read_settings_file(const char *name, char *out, std::size_t len, char *why, std::size_t why_len);
// Writes the settings file of this name, making its folder if need be: 0, or -1 with why.
int write_settings_file(const char *name, const char *data, std::size_t len, char *why, std::size_t why_len);

// ---- windows that stay open ----

// True if the console is this process's alone: on Windows, a console window that opened with the
// process (started from the Start menu, a shortcut or Explorer) and closes when it ends, with
// standard input on it to read a key from. False for a console shared with the shell that started
// the process (cmd, PowerShell), for one without a window, when standard input is a pipe or a file,
// and everywhere but on Windows: there a terminal outlives the programs run in it.
bool console_is_ours_alone();
// If console_is_ours_alone(), writes the prompt (ASCII, if not null) to the console and waits for a
// key, so that what the process wrote there before failing can be read before its window closes.
// Does nothing otherwise, so that nothing unattended ever waits.
void hold_console_open(const char *prompt_or_null);
