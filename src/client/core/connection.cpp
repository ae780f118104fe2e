// connection.cpp - finds the relay, keeps the connection, heartbeats, watches, reconnects.
#include "client/core/connection.h"

#include "common/wire.h"
#include "platform/net.h"
#include "platform/system.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <thread>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

const auto DISCOVERY_TIME = 3 * BEACON_PERIOD + seconds(1);  // three beacon periods and a little
const auto LISTING_TIME = BEACON_PERIOD + seconds(1);        // one beacon period and a little
const auto BEACON_WAIT = BEACON_PERIOD + milliseconds(200);  // the relay's period, and a little
const long long HEARTBEAT_MS = 4000;             // the relay drops clients silent for over SILENCE_LIMIT
const long long ANSWER_MS = 10000;               // a relay that answers nothing for this long is gone
const int CONNECT_MS = 5000;  // a relay on the LAN answers at once; one that does not is not there
const long long FIRST_RETRY_MS = 1000;           // after a lost connection; doubling up to the last
const long long LAST_RETRY_MS = 15000;
const std::size_t SEND_STEP = 4096;  // sends go this much at a time, so that a stalled one shows
const auto STRANGER_QUIET = seconds(60);  // one word a minute on a sender of foreign datagrams
const std::size_t STRANGERS_MAX = 256;    // senders remembered for that; past them, none are told

connection_options options;
room_view *view = nullptr;

// The connection. server and relay_address change only under conn_mtx, and server goes back to
// NO_SOCKET before the socket is closed, under send_mtx too, so that no send is using it.
std::mutex conn_mtx;
std::condition_variable connected;  // server was set
SOCKET server = NO_SOCKET;
std::string relay_address;
// A connection /relay made, waiting to take the place of the one there is (or of the search for
// one); forgotten once taken.
SOCKET moved_to = NO_SOCKET;
std::string moved_address;
std::condition_variable move_waiting;  // moved_to was set
std::atomic<bool> move_pending{false};  // moved_to is set: a search for the relay stops to take it
std::mutex move_mtx;  // one /relay at a time
std::atomic<bool> watch_broke{false};  // the watch broke this connection: the relay went silent

std::mutex send_mtx;  // one send at a time: a heartbeat never lands inside a line
std::atomic<bool> finishing{false};  // standard input has ended; the relay's close is expected
std::atomic<bool> receiver_done{false};
std::atomic<long long> last_sent_ms{0};   // steady-clock time of our last send
std::atomic<long long> last_heard_ms{0};  // when the relay last sent us anything
// When the heartbeat whose answer has not come yet was sent; 0 while none is owed. Sends wait for
// the answer, so at most one is ever owed.
std::atomic<long long> answer_owed_since_ms{0};
std::mutex answer_mtx;  // with answer_came, wakes a send held for the answer
std::condition_variable answer_came;
// When the relay last took a step of the send under way; 0 while none is.
std::atomic<long long> sending_since_ms{0};

// Tells the view a sentence of the client's own, printf-style.
void note(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    view->note(text);
}

std::string clock_text()
{
    clock_time t = local_clock();
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    return text;
}

// Whether a foreign datagram from this sender is worth a note: the first in a minute is. The
// senders are remembered for that minute, so many at most: past them, the rest go unsaid.
bool worth_telling(const std::string &sender)
{
    static std::mutex mtx;  // the listings of /relay listen beside the search for the relay
    static std::map<std::string, steady_clock::time_point> told;
    std::lock_guard<std::mutex> lock(mtx);
    auto now = steady_clock::now();
    auto at = told.find(sender);
    if (at != told.end()) {
        if (now - at->second < STRANGER_QUIET)
            return false;
        at->second = now;
        return true;
    }
    if (told.size() >= STRANGERS_MAX)
        for (auto i = told.begin(); i != told.end();)
            i = now - i->second < STRANGER_QUIET ? std::next(i) : told.erase(i);
    if (told.size() >= STRANGERS_MAX)
        return false;
    told.emplace(sender, now);
    return true;
}

// Listens for relays' announcements for a while, or only until the first if first_only. Returns the
// address of each relay heard, once each (a relay on the default network is heard twice a period),
// in the order they were first heard; none if the port cannot be had.
std::vector<std::string> listen_for_relays(steady_clock::duration how_long, bool first_only)
{
    std::vector<std::string> found;
    SOCKET s = udp_listen_socket(UDP_PORT);
    if (s == NO_SOCKET) {
        note("cannot listen on UDP port %u for the relay's announcement", UDP_PORT);
        return found;
    }
    auto deadline = steady_clock::now() + how_long;
    while (!(first_only && !found.empty()) && !move_pending) {
        char buf[64];
        char from[64] = "";
        // The time left is read once, after the test: read again, it could already be past.
        auto now = steady_clock::now();
        if (now >= deadline)
            break;
        // In slices, so that a connection /relay made is taken soon.
        auto left = std::min<long long>(std::chrono::ceil<milliseconds>(deadline - now).count(), 250);
        int n = recv_datagram(s, buf, sizeof buf, from, sizeof from, static_cast<int>(left));
        if (n < 0)
            continue;
        if (n != ANNOUNCEMENT_BYTES || std::memcmp(buf, ANNOUNCEMENT, ANNOUNCEMENT_BYTES) != 0) {
            if (worth_telling(from))
                note("ignored a %d-byte datagram from %s: not a relay's announcement (more from there "
                     "within a minute go unsaid)", n, from);
        } else if (std::find(found.begin(), found.end(), from) == found.end())
            found.push_back(from);
    }
    close_socket(s);
    return found;
}

// Whether the answer to our heartbeat is still to come. One the relay has not sent within
// ANSWER_MS, while it went on sending other things, was missed (it came where the filter could not
// tell it from chat): it is owed no longer, so that it hides no chat later. A relay that has said
// nothing at all since the heartbeat is the watch's business.
bool answer_owed()
{
    long long since = answer_owed_since_ms;
    if (since == 0)
        return false;
    return !(now_ms() - since > ANSWER_MS && last_heard_ms > since);
}

// The answer came, or the connection it was owed on is gone.
void answer_settled()
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
int send_locked(SOCKET s, const char *data, std::size_t len)
{
    int rc = 0;
    for (std::size_t at = 0; at < len && rc == 0; at += SEND_STEP) {
        sending_since_ms = now_ms();
        rc = send_all(s, data + at, static_cast<int>(std::min(SEND_STEP, len - at)));
    }
    sending_since_ms = 0;
    last_sent_ms = now_ms();
    return rc;
}

SOCKET current_server()
{
    std::lock_guard<std::mutex> lock(conn_mtx);
    return server;
}

// Heartbeats only while we are otherwise silent: a line keeps our place just as well, and each
// heartbeat holds our next send until its answer has come.
void heartbeat()
{
    for (;;) {
        std::this_thread::sleep_for(milliseconds(250));
        std::lock_guard<std::mutex> lock(send_mtx);
        SOCKET s = current_server();
        if (s == NO_SOCKET || now_ms() - last_sent_ms < HEARTBEAT_MS || answer_owed())
            continue;
        answer_owed_since_ms = now_ms();  // before the send: the answer can come before it returns
        send_locked(s, PING, HEARTBEAT_BYTES);  // a failure shows as the relay closing
    }
}

// Whether we have waited ANSWER_MS for the relay without a sign of life from it: for the answer to
// a heartbeat, or for it to take what we send. A relay whose host lost power or its network sends
// no reset: only its silence tells. Reads no lock, so a blocked send cannot hold it up.
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
    return now_ms() - waiting_since > ANSWER_MS;
}

void watch_relay()
{
    for (;;) {
        std::this_thread::sleep_for(milliseconds(250));
        if (!relay_silent() || finishing || watch_broke)
            continue;
        if (!options.reconnect) {
            note("the relay stopped answering");
            exit_client(EXIT_CONNECTION_LOST);
        }
        std::lock_guard<std::mutex> lock(conn_mtx);
        if (server != NO_SOCKET) {
            watch_broke = true;
            break_connection(server);  // the receiver sees the end, and finds the relay again
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
                held_.erase(0, at + HEARTBEAT_BYTES);
                answer_settled();
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
        for (std::size_t n = std::min<std::size_t>(HEARTBEAT_BYTES - 1, held_.size()); n > 0; --n)
            if (held_.compare(held_.size() - n, n, PONG, n) == 0)
                return n;
        return 0;
    }

    std::string held_;
};

// Passes on what the relay sends on this connection, less the answers to our own heartbeats,
// until it ends.
void receive(SOCKET s)
{
    char buf[4096];
    answer_filter answers;
    std::string chat;
    for (;;) {
        int n = recv_some(s, buf, sizeof buf);
        if (n == RECV_NOTHING)
            continue;
        if (n <= 0)
            break;
        last_heard_ms = now_ms();  // the relay is alive; an answer may be queued behind this
        chat.clear();
        answers.take(buf, static_cast<std::size_t>(n), chat);
        view->chat(chat, false);
    }
    view->chat(answers.rest(), true);
}

// Takes the connection /relay made, if one waits: true, with s and address set to it.
bool take_move(SOCKET &s, std::string &address)
{
    std::lock_guard<std::mutex> lock(conn_mtx);
    if (moved_to == NO_SOCKET)
        return false;
    s = moved_to;
    address = moved_address;
    moved_to = NO_SOCKET;
    move_pending = false;
    return true;
}

// Waits about ms, or less if /relay has made a connection meanwhile.
void wait_or_move(long long ms)
{
    std::unique_lock<std::mutex> lock(conn_mtx);
    move_waiting.wait_for(lock, milliseconds(ms), [] { return moved_to != NO_SOCKET; });
}

// Makes s the connection: heartbeats start afresh with it, and held sends may go. Should /relay
// have made a connection while s was being found, that one is taken instead, and s closed: s and
// address are then set to it.
void begin_session(SOCKET &s, std::string &address)
{
    last_sent_ms = now_ms();
    last_heard_ms = now_ms();
    answer_owed_since_ms = 0;
    watch_broke = false;
    {
        std::lock_guard<std::mutex> lock(conn_mtx);
        if (moved_to != NO_SOCKET && moved_to != s) {
            close_socket(s);
            s = moved_to;
            address = moved_address;
        }
        moved_to = NO_SOCKET;
        move_pending = false;
        server = s;
        relay_address = address;
    }
    connected.notify_all();
    view->relay_state(address, true);
}

// Ends the connection: a send held for an answer or blocked on it gives up, and the socket is
// closed once no send uses it.
void end_session(SOCKET s)
{
    break_connection(s);
    answer_settled();
    {
        std::lock_guard<std::mutex> lock(conn_mtx);
        server = NO_SOCKET;
    }
    std::lock_guard<std::mutex> lock(send_mtx);
    close_socket(s);
}

SOCKET try_connect(const std::string &address, bool quiet)
{
    char why[256] = "";
    SOCKET s = connect_to(address.c_str(), TCP_PORT, CONNECT_MS, why, sizeof why);
    if (s == NO_SOCKET && !quiet)
        note("cannot connect to %s:%u: %s", address.c_str(), TCP_PORT, why);
    return s;
}

// A wait of about ms: between three quarters of it and all of it, so that a room whose relay came
// back does not return to it in lockstep.
long long jittered(long long ms)
{
    static std::mt19937 random{std::random_device{}()};
    return ms - std::uniform_int_distribution<long long>(0, ms / 4)(random);
}

// Finds the relay again after a lost connection: the address it had, then any relay announcing
// itself, waiting longer after each failure, until one answers or /relay has made a connection.
// Returns the connection and sets address to where it leads.
SOCKET find_again(std::string &address)
{
    for (long long delay = FIRST_RETRY_MS;; delay = std::min(delay * 2, LAST_RETRY_MS)) {
        SOCKET s = NO_SOCKET;
        if (take_move(s, address))
            return s;
        s = try_connect(address, true);
        if (s != NO_SOCKET)
            return s;
        long long wait = jittered(delay);
        if (!options.host.empty()) {
            wait_or_move(wait);
            continue;
        }
        // The wait is spent listening: a relay that moved, or came back elsewhere, says where.
        std::vector<std::string> heard = listen_for_relays(milliseconds(wait), true);
        if (!heard.empty() && heard.front() != address) {
            s = try_connect(heard.front(), true);
            if (s != NO_SOCKET) {
                address = heard.front();
                return s;
            }
        }
    }
}

// The receiver's thread: one connection after another, for as long as the client runs.
void keep_connection()
{
    for (;;) {
        SOCKET s = current_server();
        std::string address;
        {
            std::lock_guard<std::mutex> lock(conn_mtx);
            address = relay_address;
        }
        receive(s);
        if (finishing) {
            receiver_done = true;
            return;
        }
        SOCKET moved = NO_SOCKET;
        if (take_move(moved, address)) {  // /relay left this relay for that one
            std::string left;
            {
                std::lock_guard<std::mutex> lock(conn_mtx);
                left = relay_address;
            }
            end_session(s);
            begin_session(moved, address);
            note("connected to %s:%u; left the relay at %s", address.c_str(), TCP_PORT, left.c_str());
            continue;
        }
        if (!options.reconnect) {
            note("the relay closed the connection");
            exit_client(EXIT_CONNECTION_LOST);
        }
        if (watch_broke)
            note("the relay stopped answering");
        end_session(s);
        view->relay_state(address, false);
        note("connection lost %s", clock_text().c_str());
        s = find_again(address);
        begin_session(s, address);
        note("reconnected to %s; lines sent in between were not received", address.c_str());
    }
}

// Says what was heard while looking, if more than one relay: which were heard, and which is taken.
void tell_heard(const std::vector<std::string> &heard)
{
    if (heard.size() < 2)
        return;
    std::string all;
    for (const std::string &a : heard)
        all += (all.empty() ? "" : ", ") + a;
    note("relays heard: %s; taking %s", all.c_str(), heard.front().c_str());
}

// The first relay heard, or "" if none was within the time. Telling, it listens one beacon period
// on after the first, to say which others there are.
std::string discover(steady_clock::duration how_long)
{
    if (!options.tell_heard) {
        std::vector<std::string> relays = listen_for_relays(how_long, true);
        return relays.empty() ? "" : relays.front();
    }
    auto started = steady_clock::now();
    std::vector<std::string> heard = listen_for_relays(how_long, true);
    if (heard.empty())
        return "";
    auto rest = BEACON_WAIT - (steady_clock::now() - started);
    if (rest > milliseconds(0))
        for (const std::string &a : listen_for_relays(rest, false))
            if (std::find(heard.begin(), heard.end(), a) == heard.end())
                heard.push_back(a);
    tell_heard(heard);
    return heard.front();
}

}  // namespace

long long now_ms()
{
    return std::chrono::duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int list_relays()
{
    std::vector<std::string> relays = relays_heard();
    for (const std::string &r : relays)
        std::printf("%s\n", r.c_str());
    std::fflush(stdout);
    if (!relays.empty())
        return 0;
    std::fprintf(stderr, "chat_client: no relay announced itself on UDP port %u within %lld s\n", UDP_PORT,
                 static_cast<long long>(LISTING_TIME.count()));
    return EXIT_NO_SERVER;
}

std::vector<std::string> relays_heard()
{
    return listen_for_relays(LISTING_TIME, false);
}

int connect_first(const connection_options &opts, room_view &v)
{
    options = opts;
    view = &v;
    std::string host = opts.host;
    bool failed_before = false;  // a failure to connect is said once, not at every try
    for (long long delay = FIRST_RETRY_MS;; delay = std::min(delay * 2, LAST_RETRY_MS)) {
        SOCKET s = NO_SOCKET;
        if (take_move(s, host)) {
            // /relay made a connection while the client looked.
        } else if (opts.host.empty()) {
            if (opts.tell_heard)
                note("looking for the relay: listening for its announcement on UDP port %u", UDP_PORT);
            auto started = steady_clock::now();
            host = discover(DISCOVERY_TIME);
            if (host.empty()) {
                if (move_pending)
                    continue;
                note("no relay announced itself on UDP port %u within %lld s", UDP_PORT,
                     static_cast<long long>(DISCOVERY_TIME.count()));
                if (!opts.reconnect)
                    return EXIT_NO_SERVER;
                // The listening was the wait, unless it could not be done.
                auto listened = steady_clock::now() - started;
                if (listened < DISCOVERY_TIME)
                    wait_or_move(std::chrono::duration_cast<milliseconds>(DISCOVERY_TIME - listened).count());
                continue;
            }
            note("found server at %s", host.c_str());
        }
        if (s == NO_SOCKET)
            s = try_connect(host, failed_before);
        failed_before = true;
        if (s != NO_SOCKET) {
            begin_session(s, host);
            note("connected to %s:%u", host.c_str(), TCP_PORT);
            return 0;
        }
        if (!opts.reconnect)
            return EXIT_USAGE;
        wait_or_move(jittered(delay));
    }
}

void start_connection(room_view &v)
{
    view = &v;
    std::thread(keep_connection).detach();
    std::thread(heartbeat).detach();
    std::thread(watch_relay).detach();
}

bool send_bytes(const std::string &bytes, long long deadline_ms)
{
    for (;;) {
        // The wait for a connection holds no send: a connection being closed waits for those.
        SOCKET s;
        {
            std::unique_lock<std::mutex> lock(conn_mtx);
            while (server == NO_SOCKET && now_ms() < deadline_ms)
                connected.wait_for(lock, milliseconds(250));
            s = server;
        }
        if (s == NO_SOCKET)
            return false;
        {
            std::lock_guard<std::mutex> sending(send_mtx);
            wait_for_answer();
            if (current_server() != s)
                continue;  // the connection was lost meanwhile
            if (send_locked(s, bytes.data(), bytes.size()) == 0)
                return true;
        }
        // A failure shows as the relay closing. Resent on the next connection, a line may arrive
        // twice, or in part and then whole; without that, it would be lost.
        if (!options.reconnect)
            return false;
        while (current_server() == s)
            std::this_thread::sleep_for(milliseconds(50));
    }
}

void finish_connection()
{
    finishing = true;
    SOCKET s = current_server();
    if (s != NO_SOCKET)
        shutdown_send(s);
    for (int i = 0; i < 300 && !receiver_done && s != NO_SOCKET; ++i)
        std::this_thread::sleep_for(milliseconds(10));
}

void move_to_relay(const std::string &address, room_view &v)
{
    // The new relay is had first: one that cannot be had leaves the client where it is.
    std::thread([address, &v] {
        std::lock_guard<std::mutex> one_at_a_time(move_mtx);
        char why[256] = "";
        SOCKET s = connect_to(address.c_str(), TCP_PORT, CONNECT_MS, why, sizeof why);
        std::unique_lock<std::mutex> lock(conn_mtx);
        if (s == NO_SOCKET) {
            std::string where = server != NO_SOCKET ? "still with " + relay_address : "still looking";
            lock.unlock();
            v.note("cannot reach " + address + ": " + why + "; " + where);
            return;
        }
        if (moved_to != NO_SOCKET)
            close_socket(moved_to);  // made by a /relay before, and not taken yet
        moved_to = s;
        moved_address = address;
        move_pending = true;
        move_waiting.notify_all();
        if (server != NO_SOCKET)
            break_connection(server);  // the receiver sees the end, and takes the new connection
    }).detach();
}
