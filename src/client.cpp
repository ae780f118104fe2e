// client.cpp - chat_client, the relay's companion: finds the relay by its beacon (or is told where
// it is), keeps its place with heartbeats, sends each line of standard input, and writes whatever
// the relay passes on to standard output. Text typed and read on a terminal travels as GB18030;
// pipes and files carry bytes unchanged.
#include "platform.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifndef PROJECT_VERSION
#define PROJECT_VERSION "1.4.0"  // the build normally says
#endif

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

const unsigned short TCP_PORT = 8888;
const unsigned short UDP_PORT = 8889;
const char ANNOUNCEMENT[] = "CHAT_SERVER_V1.4";  // exactly these 16 bytes, nothing more
const auto DISCOVERY_TIME = seconds(10);         // three beacon periods and a little
const auto LISTING_TIME = seconds(4);            // one beacon period and a little
const auto HEARTBEAT_INTERVAL = seconds(4);      // the relay drops clients silent for over 10 s
const auto ANSWER_TIME = seconds(10);            // a relay that answers nothing for this long is gone
const std::size_t SEND_STEP = 4096;  // sends go this much at a time, so that a stalled one shows
const std::size_t PIECE = 64 * 1024;  // a line longer than this, or input with no line end, goes in pieces

// Exit statuses.
const int EXIT_USAGE = 1;
const int EXIT_NO_SERVER = 2;
const int EXIT_CONNECTION_LOST = 3;

SOCKET server = NO_SOCKET;
std::mutex send_mtx;               // a heartbeat never lands inside a line
std::atomic<bool> finishing{false};  // standard input has ended; the relay's close is expected
std::atomic<bool> receiver_done{false};
std::atomic<long long> last_sent_ms{0};  // steady-clock time of our last send
std::atomic<long long> last_heard_ms{0};  // when the relay last sent us anything
// When the heartbeat whose answer has not come yet was sent; 0 while none is owed. Sends wait for
// the answer, so at most one is ever owed.
std::atomic<long long> answer_owed_since_ms{0};
std::mutex answer_mtx;  // with answer_came, wakes a send held for the answer
std::condition_variable answer_came;
// When the relay last took a step of the send under way; 0 while none is.
std::atomic<long long> sending_since_ms{0};

// Listens for relays' announcements for a while, or only until the first if first_only. Returns the
// address of each relay heard, once each (a relay on the default network is heard twice a period),
// in the order they were first heard; none if the port cannot be had.
std::vector<std::string> listen_for_relays(steady_clock::duration how_long, bool first_only)
{
    std::vector<std::string> found;
    SOCKET s = udp_listen_socket(UDP_PORT);
    if (s == NO_SOCKET) {
        std::fprintf(stderr, "chat_client: cannot listen on UDP port %u for the relay's announcement\n", UDP_PORT);
        return found;
    }
    auto deadline = steady_clock::now() + how_long;
    while (!(first_only && !found.empty())) {
        char buf[64];
        char from[64] = "";
        // The time left is read once, after the test: read again, it could already be past.
        auto now = steady_clock::now();
        if (now >= deadline)
            break;
        auto left = std::chrono::ceil<milliseconds>(deadline - now).count();
        int n = recv_datagram(s, buf, sizeof buf, from, sizeof from, static_cast<int>(left));
        if (n < 0)
            continue;
        if (n != 16 || std::memcmp(buf, ANNOUNCEMENT, 16) != 0)
            std::fprintf(stderr, "chat_client: ignored a %d-byte datagram from %s: not a relay's announcement\n", n, from);
        else if (std::find(found.begin(), found.end(), from) == found.end())
            found.push_back(from);
    }
    close_socket(s);
    return found;
}

// Prints every relay heard within one beacon period and a little, one address a line.
int list_relays()
{
    std::vector<std::string> relays = listen_for_relays(LISTING_TIME, false);
    for (const std::string &r : relays)
        std::printf("%s\n", r.c_str());
    std::fflush(stdout);
    if (!relays.empty())
        return 0;
    std::fprintf(stderr, "chat_client: no relay announced itself on UDP port %u within %lld s\n", UDP_PORT,
                 static_cast<long long>(LISTING_TIME.count()));
    return EXIT_NO_SERVER;
}

// The first relay heard, or "" if none was.
std::string discover()
{
    std::vector<std::string> relays = listen_for_relays(DISCOVERY_TIME, true);
    return relays.empty() ? "" : relays.front();
}

long long now_ms()
{
    return std::chrono::duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Whether the answer to our heartbeat is still to come. One the relay has not sent within
// ANSWER_TIME, while it went on sending other things, was missed (it came where the filter could
// not tell it from chat): it is owed no longer, so that it hides no chat later. A relay that has
// said nothing at all since the heartbeat is the watch's business.
bool answer_owed()
{
    long long since = answer_owed_since_ms;
    if (since == 0)
        return false;
    bool expired = now_ms() - since > std::chrono::duration_cast<milliseconds>(ANSWER_TIME).count();
    return !(expired && last_heard_ms > since);
}

void answer_taken()
{
    {
        std::lock_guard<std::mutex> lock(answer_mtx);
        answer_owed_since_ms = 0;
    }
    answer_came.notify_all();
}

// Holds a send until the relay has answered our heartbeat. The relay takes a chunk that begins with
// "[PING]" for a heartbeat and ignores the rest of it; its answer proves it has read the heartbeat
// on its own, so what we send next cannot be read together with it. Call under send_mtx.
void wait_for_answer()
{
    std::unique_lock<std::mutex> lock(answer_mtx);
    while (answer_owed())
        answer_came.wait_for(lock, milliseconds(250));  // an expiry wakes nobody: look again
    answer_owed_since_ms = 0;
}

// Sends under send_mtx, a step at a time, noting when the relay took the last step: a send it
// stops taking is a sign of its death that the watch can see (one blocked send can take minutes).
int send_locked(const char *data, std::size_t len)
{
    int rc = 0;
    for (std::size_t at = 0; at < len && rc == 0; at += SEND_STEP) {
        sending_since_ms = now_ms();
        rc = send_all(server, data + at, static_cast<int>(std::min(SEND_STEP, len - at)));
    }
    sending_since_ms = 0;
    last_sent_ms = now_ms();
    return rc;
}

void send_bytes(const std::string &bytes)
{
    std::lock_guard<std::mutex> lock(send_mtx);
    wait_for_answer();
    send_locked(bytes.data(), bytes.size());  // a failure shows as the relay closing
}

// Heartbeats only while we are otherwise silent: a line keeps our place just as well, and each
// heartbeat holds our next send until its answer has come.
void heartbeat()
{
    const long long interval = std::chrono::duration_cast<milliseconds>(HEARTBEAT_INTERVAL).count();
    for (;;) {
        std::this_thread::sleep_for(milliseconds(250));
        std::lock_guard<std::mutex> lock(send_mtx);
        if (now_ms() - last_sent_ms < interval || answer_owed())
            continue;
        answer_owed_since_ms = now_ms();  // before the send: the answer can come before it returns
        if (send_locked("[PING]", 6) != 0)
            return;
    }
}

// Whether we have waited ANSWER_TIME for the relay without a sign of life from it: for the answer
// to a heartbeat, or for it to take what we send. A relay whose host lost power or its network
// sends no reset: only its silence tells. Reads no lock, so a blocked send cannot hold it up.
bool relay_silent()
{
    long long waiting_since = LLONG_MAX;
    long long owed = answer_owed_since_ms;
    if (owed != 0)
        waiting_since = owed;
    long long sending = sending_since_ms;
    if (sending != 0)
        waiting_since = std::min(waiting_since, sending);
    if (waiting_since == LLONG_MAX)
        return false;
    // Any bytes from the relay count, since an answer may wait behind chat queued for us.
    waiting_since = std::max(waiting_since, last_heard_ms.load());
    return now_ms() - waiting_since > std::chrono::duration_cast<milliseconds>(ANSWER_TIME).count();
}

void watch_relay()
{
    for (;;) {
        std::this_thread::sleep_for(milliseconds(250));
        if (relay_silent() && !finishing) {
            std::fprintf(stderr, "chat_client: the relay stopped answering\n");
            std::_Exit(EXIT_CONNECTION_LOST);
        }
    }
}

// Takes the answer to our heartbeat out of what the relay sends. The stream has no framing and
// the relay passes a line on in as many chunks as it was read in, so the answer can come anywhere:
// between lines, inside one, or cut in two by the receives. While one is owed, the first "[PONG]"
// to come is taken for it, and a possible start of one at the end of a receive is kept back until
// the next tells. Everything else passes unchanged, before any decoding of text.
class answer_filter {
public:
    // Appends to `out` what of `in` is chat.
    void take(const char *in, std::size_t len, std::string &out)
    {
        held_.append(in, len);
        if (answer_owed()) {
            std::size_t at = held_.find(PONG);
            if (at != std::string::npos) {
                out.append(held_, 0, at);
                held_.erase(0, at + 6);
                answer_taken();
            } else {
                std::size_t keep = answer_start_at_end();
                out.append(held_, 0, held_.size() - keep);
                held_.erase(0, held_.size() - keep);
                return;
            }
        }
        out += held_;
        held_.clear();
    }
    // What was kept back when the stream ended: it was chat after all.
    const std::string &rest() const { return held_; }

private:
    // How many bytes at the end of held_ could be the start of an answer: 0 to 5.
    std::size_t answer_start_at_end() const
    {
        for (std::size_t n = std::min<std::size_t>(5, held_.size()); n > 0; --n)
            if (held_.compare(held_.size() - n, n, PONG, n) == 0)
                return n;
        return 0;
    }

    static constexpr const char *PONG = "[PONG]";
    std::string held_;
};

// The length of the GB18030 character that begins at p, with len bytes there: 1, 2 or 4; 0 if the
// bytes so far could begin one but are too few to tell; -1 if p[0] begins none.
int gb18030_length(const unsigned char *p, std::size_t len)
{
    if (p[0] < 0x80)
        return 1;
    if (p[0] == 0x80 || p[0] == 0xFF)
        return -1;
    if (len < 2)
        return 0;
    if ((p[1] >= 0x40 && p[1] <= 0x7E) || (p[1] >= 0x80 && p[1] <= 0xFE))
        return 2;
    if (p[1] < 0x30 || p[1] > 0x39)
        return -1;
    if (len < 3)
        return 0;
    if (p[2] < 0x81 || p[2] == 0xFF)
        return -1;
    if (len < 4)
        return 0;
    if (p[3] < 0x30 || p[3] > 0x39)
        return -1;
    // Four-byte codes count up in order: 39,420 of them for the rest of the BMP from 81 30 81 30,
    // then the supplementary planes from 90 30 81 30. Codes in between and past the end mean nothing.
    long index = (((p[0] - 0x81) * 10L + (p[1] - 0x30)) * 126 + (p[2] - 0x81)) * 10 + (p[3] - 0x30);
    const long planes_start = (0x90 - 0x81) * 12600L;
    return index < 39420 || (index >= planes_start && index <= planes_start + 0xFFFFF) ? 4 : -1;
}

// Cuts the chat the relay sends into whole GB18030 characters for the terminal: a character cut in
// two by a receive waits for its other half, and a byte that begins none becomes U+FFFD alone, so
// that what follows it shows as it is.
class gb18030_reader {
public:
    // Appends to `out` the whole characters of what has come so far; at the end of the stream, a
    // character still cut short is none.
    void take(const std::string &in, std::string &out, bool at_end = false)
    {
        held_ += in;
        std::size_t at = 0;
        while (at < held_.size()) {
            int n = gb18030_length(reinterpret_cast<const unsigned char *>(held_.data()) + at, held_.size() - at);
            if (n == 0 && !at_end)
                break;
            if (n <= 0) {
                out += GB18030_REPLACEMENT;
                ++at;
                continue;
            }
            out.append(held_, at, static_cast<std::size_t>(n));
            at += static_cast<std::size_t>(n);
        }
        held_.erase(0, at);
    }

private:
    std::string held_;
};

// Standard output: a terminal gets text in its own encoding, anything else the bytes as they came.
class chat_output {
public:
    explicit chat_output(bool terminal) : terminal_(terminal) {}
    void write(const std::string &chat, bool at_end = false)
    {
        if (!terminal_) {
            std::fwrite(chat.data(), 1, chat.size(), stdout);
            std::fflush(stdout);
            return;
        }
        shown_.clear();
        text_.take(chat, shown_, at_end);
        show_text(shown_.data(), shown_.size());
    }

private:
    bool terminal_;
    gb18030_reader text_;
    std::string shown_;
};

// Writes what the relay sends, less the answers to our own heartbeats.
void receive(bool to_terminal)
{
    char buf[4096];
    answer_filter answers;
    chat_output out(to_terminal);
    std::string chat;
    for (;;) {
        int n = recv_some(server, buf, sizeof buf);
        if (n == RECV_NOTHING)
            continue;
        if (n <= 0)
            break;
        last_heard_ms = now_ms();  // the relay is alive; an answer may be queued behind this
        chat.clear();
        answers.take(buf, static_cast<std::size_t>(n), chat);
        out.write(chat);
    }
    out.write(answers.rest(), true);
    receiver_done = true;
    if (!finishing) {
        std::fprintf(stderr, "chat_client: the relay closed the connection\n");
        std::_Exit(EXIT_CONNECTION_LOST);
    }
}

// Sends standard input a line at a time, each whole with its line end and after the prefix (the
// name) if there is one. A line longer than PIECE goes in pieces, the prefix before the first, and
// a last line without a line end goes at the end.
void send_input(const std::string &prefix)
{
    std::string pending;     // the part of the current line not yet sent
    bool line_open = false;  // the current line has begun: its prefix is pending or sent
    char buf[4096];
    for (int n; (n = read_input(buf, sizeof buf)) > 0;) {
        for (int i = 0; i < n; ++i) {
            if (!line_open)
                pending += prefix;
            line_open = buf[i] != '\n';
            pending += buf[i];
            if (!line_open || pending.size() >= PIECE) {
                send_bytes(pending);
                pending.clear();
            }
        }
    }
    if (!pending.empty())
        send_bytes(pending);
}

void print_usage(std::FILE *to)
{
    std::fprintf(to, "usage: chat_client [--name NAME] [HOST]\n"
                     "       chat_client --list\n"
                     "       chat_client --version\n"
                     "Without HOST, waits for a relay's announcement on the local network and connects to\n"
                     "the first relay heard. --list prints the address of every relay heard within 4 s.\n"
                     "With --name, every line sent begins with \"NAME: \". Text typed and shown on a terminal\n"
                     "travels as GB18030; pipes and files pass bytes unchanged.\n");
}

struct options {
    bool list = false;
    int name_arg = 0;  // the index of NAME in argv, if given
    std::string host;  // empty: find the relay by its announcement
};

// Reads the command line into opts: false if it makes no sense.
bool parse_options(int argc, char **argv, options &opts)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--list") == 0)
            opts.list = true;
        else if (std::strcmp(argv[i], "--name") == 0 && i + 1 < argc && argv[i + 1][0] != '\0')
            opts.name_arg = ++i;
        else if (argv[i][0] != '-' && opts.host.empty())
            opts.host = argv[i];
        else
            return false;
    }
    return !(opts.list && (!opts.host.empty() || opts.name_arg != 0));
}

}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            print_usage(stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("chat_client %s\n", PROJECT_VERSION);
            return 0;
        }
    }
    options opts;
    if (!parse_options(argc, argv, opts)) {
        print_usage(stderr);
        return EXIT_USAGE;
    }
    binary_stdio();
    terminal_sides terminal = prepare_terminal();
    std::string prefix;
    if (opts.name_arg != 0) {
        char name[1024];
        int n = argument_in_gb18030(argv, opts.name_arg, name, sizeof name);
        if (n < 0) {
            std::fprintf(stderr, "chat_client: the name is too long or not text\n");
            return EXIT_USAGE;
        }
        prefix.assign(name, static_cast<std::size_t>(n));
        prefix += ": ";
    }
    if (net_startup() != 0) {
        std::fprintf(stderr, "chat_client: the socket layer did not start\n");
        return EXIT_USAGE;
    }
    if (opts.list)
        return list_relays();
    std::string host = opts.host.empty() ? discover() : opts.host;
    if (host.empty()) {
        std::fprintf(stderr, "chat_client: no relay announced itself on UDP port %u within %lld s\n", UDP_PORT,
                     static_cast<long long>(DISCOVERY_TIME.count()));
        return EXIT_NO_SERVER;
    }
    if (opts.host.empty())
        std::fprintf(stderr, "chat_client: found server at %s\n", host.c_str());

    char why[256] = "";
    server = connect_to(host.c_str(), TCP_PORT, why, sizeof why);
    if (server == NO_SOCKET) {
        std::fprintf(stderr, "chat_client: cannot connect to %s:%u: %s\n", host.c_str(), TCP_PORT, why);
        return EXIT_USAGE;
    }
    std::fprintf(stderr, "chat_client: connected to %s:%u\n", host.c_str(), TCP_PORT);
    last_sent_ms = now_ms();
    std::thread(receive, terminal.output).detach();
    std::thread(heartbeat).detach();
    std::thread(watch_relay).detach();
    send_input(prefix);

    // Let the relay see the end of our stream after everything sent, and pass on what it still
    // has for us until it closes.
    finishing = true;
    shutdown_send(server);
    for (int i = 0; i < 300 && !receiver_done; ++i)
        std::this_thread::sleep_for(milliseconds(10));
    std::fflush(stdout);
    std::_Exit(0);
}
