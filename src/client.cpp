// client.cpp - chat_client, the relay's companion: finds the relay by its beacon (or is told where
// it is), keeps its place with heartbeats, sends each line of standard input, and writes whatever
// the relay passes on to standard output, byte for byte.
#include "platform.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// Exit statuses.
const int EXIT_USAGE = 1;
const int EXIT_NO_SERVER = 2;
const int EXIT_CONNECTION_LOST = 3;

SOCKET server = NO_SOCKET;
std::mutex send_mtx;               // a heartbeat never lands inside a line
std::atomic<int> pongs_due{0};     // heartbeats sent whose answers have not been seen
std::atomic<bool> finishing{false};  // standard input has ended; the relay's close is expected
std::atomic<bool> receiver_done{false};
std::atomic<long long> last_sent_ms{0};  // steady-clock time of our last send
// While answers are owed: when we last had a sign of life from the relay (a heartbeat sent with
// none owed, an answer, or any bytes at all, since an answer may wait behind chat queued for us).
std::atomic<long long> waiting_since_ms{0};

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
    while (!(first_only && !found.empty()) && steady_clock::now() < deadline) {
        char buf[64];
        char from[64] = "";
        auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        int n = recv_datagram(s, buf, sizeof buf, from, sizeof from, static_cast<int>(left) + 1);
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

void send_bytes(const char *data, std::size_t len)
{
    std::lock_guard<std::mutex> lock(send_mtx);
    send_all(server, data, static_cast<int>(len));  // a failure shows as the relay closing
    last_sent_ms = now_ms();
}

// Heartbeats only while we are otherwise silent: a line keeps our place just as well, and the relay
// ignores whatever reaches it in one piece behind a heartbeat, so the fewer the better. A relay
// whose host lost power or its network sends no reset: only its silence tells.
void heartbeat()
{
    const long long interval = std::chrono::duration_cast<milliseconds>(HEARTBEAT_INTERVAL).count();
    const long long answer_time = std::chrono::duration_cast<milliseconds>(ANSWER_TIME).count();
    for (;;) {
        std::this_thread::sleep_for(milliseconds(250));
        if (pongs_due > 0 && now_ms() - waiting_since_ms > answer_time && !finishing) {
            std::fprintf(stderr, "chat_client: the relay stopped answering\n");
            std::_Exit(EXIT_CONNECTION_LOST);
        }
        std::lock_guard<std::mutex> lock(send_mtx);
        if (now_ms() - last_sent_ms < interval)
            continue;
        if (pongs_due++ == 0)
            waiting_since_ms = now_ms();
        if (send_all(server, "[PING]", 6) != 0)
            return;
        last_sent_ms = now_ms();
    }
}

// Takes the answers to our heartbeats out of what the relay sends. The stream has no framing, but
// chat from line-based clients comes in whole lines, so an answer shows up where a line begins:
// one is hidden there, in whatever receive it falls (or straddles), and only while one is owed.
// Everything else passes unchanged.
class answer_filter {
public:
    // Appends to `out` what of `in` is chat; keeps back a possible start of an answer.
    void take(const char *in, std::size_t len, std::string &out)
    {
        held_.append(in, len);
        std::size_t at = 0;
        while (at < held_.size()) {
            if (line_start_ && pongs_due > 0 && held_[at] == '[') {
                std::size_t n = std::min<std::size_t>(6, held_.size() - at);
                if (held_.compare(at, n, PONG, n) == 0) {
                    if (n < 6)
                        break;  // too little yet to tell
                    --pongs_due;
                    waiting_since_ms = now_ms();
                    at += 6;
                    continue;  // what follows an answer begins a line too
                }
            }
            std::size_t end = held_.find('\n', at);
            end = end == std::string::npos ? held_.size() : end + 1;
            out.append(held_, at, end - at);
            line_start_ = held_[end - 1] == '\n';
            at = end;
        }
        held_.erase(0, at);
    }
    // What was kept back when the stream ended: it was chat after all.
    const std::string &rest() const { return held_; }

private:
    static constexpr const char *PONG = "[PONG]";
    std::string held_;
    bool line_start_ = true;
};

// Writes what the relay sends, less the answers to our own heartbeats.
void receive()
{
    char buf[4096];
    answer_filter answers;
    std::string chat;
    for (;;) {
        int n = recv_some(server, buf, sizeof buf);
        if (n == RECV_NOTHING)
            continue;
        if (n <= 0)
            break;
        if (pongs_due > 0)
            waiting_since_ms = now_ms();  // the relay is alive; its answer may be queued behind this
        chat.clear();
        answers.take(buf, static_cast<std::size_t>(n), chat);
        std::fwrite(chat.data(), 1, chat.size(), stdout);
        std::fflush(stdout);
    }
    std::fwrite(answers.rest().data(), 1, answers.rest().size(), stdout);
    std::fflush(stdout);
    receiver_done = true;
    if (!finishing) {
        std::fprintf(stderr, "chat_client: the relay closed the connection\n");
        std::_Exit(EXIT_CONNECTION_LOST);
    }
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return std::printf("chat_client %s\n", PROJECT_VERSION) < 0 ? EXIT_USAGE : 0;
    if (argc > 2 || (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0))) {
        std::fprintf(stderr, "usage: chat_client [HOST]\n"
                             "       chat_client --list\n"
                             "Without HOST, waits for a relay's announcement on the local network and connects to\n"
                             "the first relay heard. --list prints the address of every relay heard within 4 s.\n");
        return EXIT_USAGE;
    }
    binary_stdio();
    if (net_startup() != 0) {
        std::fprintf(stderr, "chat_client: the socket layer did not start\n");
        return EXIT_USAGE;
    }
    if (argc == 2 && std::strcmp(argv[1], "--list") == 0)
        return list_relays();
    std::string host = argc == 2 ? argv[1] : discover();
    if (host.empty()) {
        std::fprintf(stderr, "chat_client: no relay announced itself on UDP port %u within %lld s\n", UDP_PORT,
                     static_cast<long long>(DISCOVERY_TIME.count()));
        return EXIT_NO_SERVER;
    }
    if (argc == 1)
        std::fprintf(stderr, "chat_client: found server at %s\n", host.c_str());

    char why[256] = "";
    server = connect_to(host.c_str(), TCP_PORT, why, sizeof why);
    if (server == NO_SOCKET) {
        std::fprintf(stderr, "chat_client: cannot connect to %s:%u: %s\n", host.c_str(), TCP_PORT, why);
        return EXIT_USAGE;
    }
    std::fprintf(stderr, "chat_client: connected to %s:%u\n", host.c_str(), TCP_PORT);
    last_sent_ms = now_ms();
    std::thread(receive).detach();
    std::thread(heartbeat).detach();

    // Each line goes out whole, line end included; a last line without one goes out at the end.
    std::string line;
    for (int c; (c = std::getchar()) != EOF;) {
        line += static_cast<char>(c);
        if (c == '\n') {
            send_bytes(line.data(), line.size());
            line.clear();
        }
    }
    if (!line.empty())
        send_bytes(line.data(), line.size());

    // Let the relay see the end of our stream after everything sent, and pass on what it still
    // has for us until it closes.
    finishing = true;
    shutdown_send(server);
    for (int i = 0; i < 300 && !receiver_done; ++i)
        std::this_thread::sleep_for(milliseconds(10));
    std::fflush(stdout);
    std::_Exit(0);
}
