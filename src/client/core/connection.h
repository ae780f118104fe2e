// connection.h - the client's link to the relay: finding it by its announcement, keeping its place
// with heartbeats, telling a dead relay by its silence, finding it again, and moving to another.
#pragma once

#include "client/core/view.h"
#include "common/wire.h"
#include "platform/net.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

struct connection_options {
    std::string host;        // empty: find the relay by its announcement
    bool reconnect = false;  // when the connection is lost, find the relay again instead of giving up
    bool tell_heard = false; // while looking, say so, and which relays were heard
    // The relay is remembered in the settings, and tried first the next time (given no host),
    // while the client listens for announcements: the first relay joined, and afterwards only one
    // the person chose (HOST, /relay). One a peer fakes, joined while the remembered relay is
    // silent, is said to be so and never remembered.
    bool remember_relay = false;
};

long long now_ms();  // the steady clock, in milliseconds
const long long HOLD_MS = 60 * 1000;  // how long a line waits for a lost connection to come back
// How long a listing of the relays listens: one beacon period and a little.
constexpr auto LISTING_TIME = BEACON_PERIOD + std::chrono::seconds(1);
// The most relays a listing or a search takes: past them, announcements (which anyone on the LAN
// can send, from any address) are not listed.
const std::size_t RELAYS_HEARD_MAX = 16;

// One connection to the relay, and the one after it when it is lost: everything it reports goes to
// the view, from the threads start() makes. It lives as long as the process: those threads are
// never joined.
class connection {
public:
    connection(const connection_options &opts, room_view &view);
    connection(const connection &) = delete;
    connection &operator=(const connection &) = delete;

    // The relays heard within LISTING_TIME, each address once.
    std::vector<std::string> relays_heard();
    // Finds the relay (or takes the host given) and connects: 0, or the exit status of the failure.
    // With reconnect set, it fails only on bad arguments: it keeps looking until a relay is found.
    int connect_first();
    // Starts what keeps the connection: the receiver, the heartbeat and the watch.
    void start();
    // Sends bytes (a line, or a piece of one) once no heartbeat's answer is owed, waiting for a lost
    // connection to come back until deadline_ms (steady milliseconds). false if it was not sent.
    bool send_bytes(const std::string &bytes, long long deadline_ms);
    // The input has ended: lets the relay see the end of our stream after everything sent, and
    // passes on what it still has for us until it closes (3 s at most).
    void finish();
    // Connects to the relay at address, in the background, and then leaves this relay (or the
    // search for one) for it; if it cannot be had, says why, and the client stays where it was.
    void move_to(const std::string &address);
    // The local address of the connection to the relay, as dotted text ("" while there is none).
    std::string local_address();

private:
    void note(const char *format, ...);
    void give_up(const char *why);
    bool worth_telling(const std::string &sender);
    std::vector<std::string> listen_for_relays(std::chrono::steady_clock::duration how_long, bool first_only);
    std::string discover(std::chrono::steady_clock::duration how_long);
    void tell_heard(const std::vector<std::string> &heard);
    std::string last_relay();
    void remember(const std::string &address, bool chosen);
    std::string remembered_relay();
    void joined_another(const std::string &was, const std::string &joined);
    void listen_at_start(const std::string &remembered);
    void decide_start(bool joined_remembered);
    bool take_start_heard(std::string &host);
    bool answer_owed();
    void answer_settled();
    void wait_for_answer();
    int send_locked(SOCKET s, const char *data, std::size_t len);
    SOCKET current_server();
    void heartbeat();
    bool relay_silent();
    void watch_relay();
    void receive(SOCKET s);
    bool take_move(SOCKET &s, std::string &address);
    void wait_or_move(long long ms);
    void begin_session(SOCKET &s, std::string &address, bool chosen);
    void end_session(SOCKET s);
    SOCKET try_connect(const std::string &address, bool quiet);
    long long jittered(long long ms);
    SOCKET find_again(std::string &address);
    void keep_connection();
    class answer_filter;  // takes the answers to our heartbeats out of what the relay sends

    const connection_options options_;
    room_view &view_;

    // The connection. server_ and relay_address_ change only under conn_mtx_, and server_ goes back
    // to NO_SOCKET before the socket is closed, under send_mtx_ too, so that no send is using it.
    std::mutex conn_mtx_;
    std::condition_variable connected_;  // server_ was set
    SOCKET server_ = NO_SOCKET;
    std::string relay_address_;
    std::string remembered_;  // the relay in the settings, as last read or written
    // The listening while the remembered relay is tried at the start: what it heard, whether it is
    // done, and whether the client joined that relay (-1 until it is known).
    std::vector<std::string> start_heard_;
    bool start_listened_ = false;
    int start_joined_ = -1;
    std::condition_variable start_decided_;
    // A connection move_to made, waiting to take the place of the one there is (or of the search
    // for one); forgotten once taken.
    SOCKET moved_to_ = NO_SOCKET;
    std::string moved_address_;
    std::condition_variable move_waiting_;  // moved_to_ was set
    std::atomic<bool> move_pending_{false};  // moved_to_ is set: a search for the relay stops to take it
    std::mutex move_mtx_;  // one move at a time
    std::atomic<bool> watch_broke_{false};  // the watch broke this connection: the relay went silent
    std::atomic<bool> gave_up_{false};      // the loss was reported: nothing more is done

    std::mutex send_mtx_;  // one send at a time: a heartbeat never lands inside a line
    std::atomic<bool> finishing_{false};  // the input has ended; the relay's close is expected
    std::atomic<bool> receiver_done_{false};
    std::atomic<long long> last_sent_ms_{0};   // steady-clock time of our last send
    std::atomic<long long> last_heard_ms_{0};  // when the relay last sent us anything
    // When the heartbeat whose answer has not come yet was sent; 0 while none is owed. Sends wait
    // for the answer, so at most one is ever owed.
    std::atomic<long long> answer_owed_since_ms_{0};
    std::mutex answer_mtx_;  // with answer_came_, wakes a send held for the answer
    std::condition_variable answer_came_;
    // When the relay last took a step of the send under way; 0 while none is.
    std::atomic<long long> sending_since_ms_{0};

    // The senders of foreign datagrams told of lately (listings listen beside the search).
    std::mutex strangers_mtx_;
    std::map<std::string, std::chrono::steady_clock::time_point> strangers_told_;
    std::mt19937 random_{std::random_device{}()};  // for the waits between tries: the receiver's
};
