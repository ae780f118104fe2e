// connection.cpp - finds the relay, keeps the connection, heartbeats, watches, reconnects, moves.
#include "client/core/connection.h"


#include "common/wire.h"
#include "platform/net.h"
#include "platform/settings.h"
#include "platform/system.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
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
const auto BEACON_WAIT = BEACON_PERIOD + milliseconds(200);  // the relay's period, and a little
const long long HEARTBEAT_MS = 4000;             // the relay drops clients silent for over SILENCE_LIMIT
const long long ANSWER_MS = 10000;               // a relay that answers nothing for this long is gone
const int CONNECT_MS = 5000;  // a relay on the LAN answers at once; one that does not is not there
const long long FIRST_RETRY_MS = 1000;           // after a lost connection; doubling up to the last
const long long LAST_RETRY_MS = 15000;
const std::size_t SEND_STEP = 4096;  // sends go this much at a time, so that a stalled one shows
const auto STRANGER_QUIET = seconds(60);  // one word a minute on a sender of foreign datagrams
const std::size_t STRANGERS_MAX = 256;    // senders remembered for that; past them, none are told
const int LAST_RELAY_MS = 2000;  // the relay of last time, tried first: one on the LAN answers at once
const char RELAY_FILE[] = "relay";  // the settings file that remembers it

std::string clock_text()
{
    clock_time t = local_clock();
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.hour, t.minute, t.second);
    return text;
}

}  // namespace

long long now_ms()
{
    return std::chrono::duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

connection::connection(const connection_options &opts, room_view &view) : options_(opts), view_(view) {}

// Tells the view a sentence of the client's own, printf-style.
void connection::note(const char *format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    view_.note(text);
}

// Whether a foreign datagram from this sender is worth a note: the first in a minute is. The
// senders are remembered for that minute, so many at most: past them, the rest go unsaid.
bool connection::worth_telling(const std::string &sender)
{
    std::map<std::string, steady_clock::time_point> &told = strangers_told_;
    std::lock_guard<std::mutex> lock(strangers_mtx_);
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
std::vector<std::string> connection::listen_for_relays(steady_clock::duration how_long, bool first_only)
{
    std::vector<std::string> found;
    SOCKET s = udp_listen_socket(UDP_PORT);
    if (s == NO_SOCKET) {
        note("cannot listen on UDP port %u for the relay's announcement", UDP_PORT);
        return found;
    }
    auto deadline = steady_clock::now() + how_long;
    bool capped = false;
    while (!(first_only && !found.empty()) && !move_pending_) {
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
        } else if (std::find(found.begin(), found.end(), from) == found.end()) {
            if (found.size() < RELAYS_HEARD_MAX)
                found.push_back(from);
            else if (!capped)
                note("more than %u relays announced themselves: the rest are not listed", static_cast<unsigned>(RELAYS_HEARD_MAX));
            capped = true;
        }
    }
    close_socket(s);
    return found;
}

// Whether the answer to our heartbeat is still to come. One the relay has not sent within
// ANSWER_MS, while it went on sending other things, was missed (it came where the filter could not
// tell it from chat): it is owed no longer, so that it hides no chat later. A relay that has said
// nothing at all since the heartbeat is the watch's business.
bool connection::answer_owed()
{
    long long since = answer_owed_since_ms_;
    if (since == 0)
        return false;
    return !(now_ms() - since > ANSWER_MS && last_heard_ms_ > since);
}

// The answer came, or the connection it was owed on is gone.
void connection::answer_settled()
{
    {
        std::lock_guard<std::mutex> lock(answer_mtx_);
        answer_owed_since_ms_ = 0;
    }
    answer_came_.notify_all();
}

// Holds a send until the relay has answered our heartbeat. The relay takes a chunk that begins with
// "[PING]" for a heartbeat and ignores the rest of it; its answer proves it has read the heartbeat
// on its own, so what we send next cannot be read together with it. Call under send_mtx_.
void connection::wait_for_answer()
{
    std::unique_lock<std::mutex> lock(answer_mtx_);
    while (answer_owed())
        answer_came_.wait_for(lock, milliseconds(250));  // an expiry wakes nobody: look again
    answer_owed_since_ms_ = 0;
}

// Sends under send_mtx_, a step at a time, noting when the relay took the last step: a send it
// stops taking is a sign of its death that the watch can see (one blocked send can take minutes).
int connection::send_locked(SOCKET s, const char *data, std::size_t len)
{
    int rc = 0;
    for (std::size_t at = 0; at < len && rc == 0; at += SEND_STEP) {
        sending_since_ms_ = now_ms();
        rc = send_all(s, data + at, static_cast<int>(std::min(SEND_STEP, len - at)));
    }
    sending_since_ms_ = 0;
    last_sent_ms_ = now_ms();
    return rc;
}

SOCKET connection::current_server()
{
    std::lock_guard<std::mutex> lock(conn_mtx_);
    return server_;
}

// Heartbeats only while we are otherwise silent: a line keeps our place just as well, and each
// heartbeat holds our next send until its answer has come.
void connection::heartbeat()
{
    while (!gave_up_) {
        std::this_thread::sleep_for(milliseconds(250));
        std::lock_guard<std::mutex> lock(send_mtx_);
        SOCKET s = current_server();
        if (s == NO_SOCKET || now_ms() - last_sent_ms_ < HEARTBEAT_MS || answer_owed())
            continue;
        answer_owed_since_ms_ = now_ms();  // before the send: the answer can come before it returns
        send_locked(s, PING, HEARTBEAT_BYTES);  // a failure shows as the relay closing
    }
}

// Whether we have waited ANSWER_MS for the relay without a sign of life from it: for the answer to
// a heartbeat, or for it to take what we send. A relay whose host lost power or its network sends
// no reset: only its silence tells. Reads no lock, so a blocked send cannot hold it up.
bool connection::relay_silent()
{
    long long waiting_since = LLONG_MAX;
    long long owed = answer_owed_since_ms_;
    if (owed != 0)
        waiting_since = owed;
    long long sending = sending_since_ms_;
    if (sending != 0)
        waiting_since = std::min(waiting_since, sending);
    if (waiting_since == LLONG_MAX)
        return false;
    // Any bytes from the relay count, since an answer may wait behind chat queued for us.
    waiting_since = std::max(waiting_since, last_heard_ms_.load());
    return now_ms() - waiting_since > ANSWER_MS;
}

void connection::watch_relay()
{
    for (;;) {
        std::this_thread::sleep_for(milliseconds(250));
        if (!relay_silent() || finishing_ || watch_broke_)
            continue;
        if (!options_.reconnect) {
            give_up("the relay stopped answering");
            return;
        }
        std::lock_guard<std::mutex> lock(conn_mtx_);
        if (server_ != NO_SOCKET) {
            watch_broke_ = true;
            break_connection(server_);  // the receiver sees the end, and finds the relay again
        }
    }
}

// Takes the answer to our heartbeat out of what the relay sends. The stream has no framing and
// the relay passes a line on in as many chunks as it was read in, so the answer can come anywhere:
// between lines, inside one, or cut in two by the receives. While one is owed, the first "[PONG]"
// to come is taken for it, and a possible start of one at the end of a receive is kept back until
// the next tells. Everything else passes unchanged, before any decoding of text. A peer can send
// the same six bytes, at any place in the stream: nothing tells them from the relay's, by place or
// by count (a peer's would count as well), so a peer's "[PONG]" that comes first is taken for the
// answer, and the relay's shows as chat.
class connection::answer_filter {
public:
    explicit answer_filter(connection &c) : c_(c) {}
    // Appends to `out` what of `in` is chat.
    void take(const char *in, std::size_t len, std::string &out)
    {
        held_.append(in, len);
        if (c_.answer_owed()) {
            std::size_t at = held_.find(PONG);
            if (at != std::string::npos) {
                out.append(held_, 0, at);
                held_.erase(0, at + HEARTBEAT_BYTES);
                c_.answer_settled();
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

    connection &c_;
    std::string held_;
};

// Passes on what the relay sends on this connection, less the answers to our own heartbeats,
// until it ends.
void connection::receive(SOCKET s)
{
    char buf[4096];
    answer_filter answers(*this);
    std::string chat;
    for (;;) {
        int n = recv_some(s, buf, sizeof buf);
        if (n == RECV_NOTHING)
            continue;
        if (n <= 0)
            break;
        last_heard_ms_ = now_ms();  // the relay is alive; an answer may be queued behind this
        chat.clear();
        answers.take(buf, static_cast<std::size_t>(n), chat);
        view_.chat(chat, false);
    }
    view_.chat(answers.rest(), true);
}

// Takes the connection /relay made, if one waits: true, with s and address set to it.
bool connection::take_move(SOCKET &s, std::string &address)
{
    std::lock_guard<std::mutex> lock(conn_mtx_);
    if (moved_to_ == NO_SOCKET)
        return false;
    s = moved_to_;
    address = moved_address_;
    moved_to_ = NO_SOCKET;
    move_pending_ = false;
    return true;
}

// Waits about ms, or less if /relay has made a connection meanwhile.
void connection::wait_or_move(long long ms)
{
    std::unique_lock<std::mutex> lock(conn_mtx_);
    move_waiting_.wait_for(lock, milliseconds(ms), [this] { return moved_to_ != NO_SOCKET; });
}

// Makes s the connection: heartbeats start afresh with it, and held sends may go. Should /relay
// have made a connection while s was being found, that one is taken instead, and s closed: s and
// address are then set to it.
void connection::begin_session(SOCKET &s, std::string &address)
{
    last_sent_ms_ = now_ms();
    last_heard_ms_ = now_ms();
    answer_owed_since_ms_ = 0;
    watch_broke_ = false;
    {
        std::lock_guard<std::mutex> lock(conn_mtx_);
        if (moved_to_ != NO_SOCKET && moved_to_ != s) {
            close_socket(s);
            s = moved_to_;
            address = moved_address_;
        }
        moved_to_ = NO_SOCKET;
        move_pending_ = false;
        server_ = s;
        relay_address_ = address;
    }
    connected_.notify_all();
    view_.relay_state(address, true);
    remember(address);
}

// The relay remembered from last time, "" if none (or the file holds no address).
std::string connection::last_relay()
{
    char text[64];
    char why[512];
    long n = read_settings_file(RELAY_FILE, text, sizeof text, why, sizeof why);
    std::string address(text, static_cast<std::size_t>(n > 0 ? n : 0));
    while (!address.empty() && (address.back() == '\n' || address.back() == '\r'))
        address.pop_back();
    for (char c : address)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != ':')
            return "";
    remembered_ = address;
    return address;
}

// Remembers the relay connected to, for a client told to (and given no host); said only if the
// settings cannot be written.
void connection::remember(const std::string &address)
{
    if (!options_.remember_relay || !options_.host.empty() || address == remembered_)
        return;
    remembered_ = address;
    std::string text = address + "\n";
    char why[512];
    if (write_settings_file(RELAY_FILE, text.data(), text.size(), why, sizeof why) != 0)
        note("the relay is not remembered: %s", why);
}

// Ends the connection: a send held for an answer or blocked on it gives up, and the socket is
// closed once no send uses it.
void connection::end_session(SOCKET s)
{
    break_connection(s);
    answer_settled();
    {
        std::lock_guard<std::mutex> lock(conn_mtx_);
        server_ = NO_SOCKET;
    }
    std::lock_guard<std::mutex> lock(send_mtx_);
    close_socket(s);
}

SOCKET connection::try_connect(const std::string &address, bool quiet)
{
    char why[256] = "";
    SOCKET s = connect_to(address.c_str(), TCP_PORT, CONNECT_MS, why, sizeof why);
    if (s == NO_SOCKET && !quiet)
        note("cannot connect to %s:%u: %s", address.c_str(), TCP_PORT, why);
    return s;
}

// A wait of about ms: between three quarters of it and all of it, so that a room whose relay came
// back does not return to it in lockstep.
long long connection::jittered(long long ms)
{
    return ms - std::uniform_int_distribution<long long>(0, ms / 4)(random_);
}

// Finds the relay again after a lost connection: the address it had, then any relay announcing
// itself, waiting longer after each failure, until one answers or /relay has made a connection.
// Returns the connection and sets address to where it leads.
SOCKET connection::find_again(std::string &address)
{
    for (long long delay = FIRST_RETRY_MS;; delay = std::min(delay * 2, LAST_RETRY_MS)) {
        SOCKET s = NO_SOCKET;
        if (take_move(s, address))
            return s;
        s = try_connect(address, true);
        if (s != NO_SOCKET)
            return s;
        long long wait = jittered(delay);
        if (!options_.host.empty()) {
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
void connection::keep_connection()
{
    for (;;) {
        SOCKET s = current_server();
        std::string address;
        {
            std::lock_guard<std::mutex> lock(conn_mtx_);
            address = relay_address_;
        }
        receive(s);
        if (finishing_) {
            receiver_done_ = true;
            return;
        }
        SOCKET moved = NO_SOCKET;
        if (take_move(moved, address)) {  // /relay left this relay for that one
            std::string left;
            {
                std::lock_guard<std::mutex> lock(conn_mtx_);
                left = relay_address_;
            }
            end_session(s);
            begin_session(moved, address);
            note("connected to %s:%u; left the relay at %s", address.c_str(), TCP_PORT, left.c_str());
            continue;
        }
        if (!options_.reconnect) {
            give_up("the relay closed the connection");
            return;
        }
        if (watch_broke_)
            note("the relay stopped answering");
        end_session(s);
        view_.relay_state(address, false);
        note("connection lost %s", clock_text().c_str());
        s = find_again(address);
        begin_session(s, address);
        note("reconnected to %s; lines sent in between were not received", address.c_str());
    }
}

// Says what was heard while looking, if more than one relay: which were heard, and which is taken.
void connection::tell_heard(const std::vector<std::string> &heard)
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
std::string connection::discover(steady_clock::duration how_long)
{
    if (!options_.tell_heard) {
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

// The connection is lost for good: said once, whichever thread sees it first, and reported.
void connection::give_up(const char *why)
{
    if (gave_up_.exchange(true))
        return;
    note("%s", why);
    view_.lost(EXIT_CONNECTION_LOST);
}

std::vector<std::string> connection::relays_heard()
{
    return listen_for_relays(LISTING_TIME, false);
}

int connection::connect_first()
{
    const connection_options &opts = options_;
    std::string host = opts.host;
    bool failed_before = false;  // a failure to connect is said once, not at every try
    std::string last = opts.host.empty() && opts.remember_relay ? last_relay() : "";
    for (long long delay = FIRST_RETRY_MS;; delay = std::min(delay * 2, LAST_RETRY_MS)) {
        SOCKET s = NO_SOCKET;
        char why[256] = "";
        if (take_move(s, host)) {
            // /relay made a connection while the client looked.
        } else if (!last.empty() && (s = connect_to(last.c_str(), TCP_PORT, LAST_RELAY_MS, why, sizeof why)) != NO_SOCKET) {
            host = last;  // the relay of last time is still here
        } else if (opts.host.empty()) {
            if (opts.tell_heard)
                note("looking for the relay: listening for its announcement on UDP port %u", UDP_PORT);
            auto started = steady_clock::now();
            host = discover(DISCOVERY_TIME);
            if (host.empty()) {
                if (move_pending_)
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
            if (!last.empty() && host != last)
                note("the relay here is now %s, not %s as last time", host.c_str(), last.c_str());
            last.clear();  // tried once; the relay found is the one to try again
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

void connection::start()
{
    std::thread(&connection::keep_connection, this).detach();
    std::thread(&connection::heartbeat, this).detach();
    std::thread(&connection::watch_relay, this).detach();
}

bool connection::send_bytes(const std::string &bytes, long long deadline_ms)
{
    for (;;) {
        // The wait for a connection holds no send: a connection being closed waits for those.
        SOCKET s;
        {
            std::unique_lock<std::mutex> lock(conn_mtx_);
            while (server_ == NO_SOCKET && now_ms() < deadline_ms)
                connected_.wait_for(lock, milliseconds(250));
            s = server_;
        }
        if (s == NO_SOCKET)
            return false;
        {
            std::lock_guard<std::mutex> sending(send_mtx_);
            wait_for_answer();
            if (current_server() != s)
                continue;  // the connection was lost meanwhile
            if (send_locked(s, bytes.data(), bytes.size()) == 0)
                return true;
        }
        // A failure shows as the relay closing. Resent on the next connection, a line may arrive
        // twice, or in part and then whole; without that, it would be lost.
        if (!options_.reconnect)
            return false;
        while (current_server() == s)
            std::this_thread::sleep_for(milliseconds(50));
    }
}

void connection::finish()
{
    finishing_ = true;
    SOCKET s = current_server();
    if (s != NO_SOCKET)
        shutdown_send(s);
    for (int i = 0; i < 300 && !receiver_done_ && s != NO_SOCKET; ++i)
        std::this_thread::sleep_for(milliseconds(10));
}

void connection::move_to(const std::string &address)
{
    // The new relay is had first: one that cannot be had leaves the client where it is.
    std::thread([this, address] {
        std::lock_guard<std::mutex> one_at_a_time(move_mtx_);
        char why[256] = "";
        SOCKET s = connect_to(address.c_str(), TCP_PORT, CONNECT_MS, why, sizeof why);
        std::unique_lock<std::mutex> lock(conn_mtx_);
        if (s == NO_SOCKET) {
            std::string where = server_ != NO_SOCKET ? "still with " + relay_address_ : "still looking";
            lock.unlock();
            std::string said = "cannot reach " + address + ": " + why + "; " + where;
            view_.note(said);
            return;
        }
        if (moved_to_ != NO_SOCKET)
            close_socket(moved_to_);  // made by a /relay before, and not taken yet
        moved_to_ = s;
        moved_address_ = address;
        move_pending_ = true;
        move_waiting_.notify_all();
        if (server_ != NO_SOCKET)
            break_connection(server_);  // the receiver sees the end, and takes the new connection
    }).detach();
}
