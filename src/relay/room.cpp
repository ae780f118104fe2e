// room.cpp - the room: the client registry, the hand-overs (newcomers, heartbeat answers, chunks
// and departures handed to whoever holds the registry next), the fan-out and the porter.
#include "room.h"

#include "common/wire.h"
#include "platform/net.h"
#include "platform/system.h"
#include "fair_mutex.h"
#include "log_lines.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

// How far a receiver may fall behind before it is cut off, in memory queued for it here: the bytes
// waiting plus ENTRY_COST for each piece they wait in, so that a sender of tiny chunks or a flood of
// unread heartbeat answers cannot make a queue cost many times its payload. Its own socket buffers
// already hold about 3 MB before anything is queued (measured on loopback), so a client is dropped
// only some 7 MB behind the room: minutes of chat, or a moment of a file pasted flat out. A stalled
// client costs about this much memory here, whatever the sizes of the chunks.
constexpr std::size_t BACKLOG_LIMIT_BYTES = 4u << 20;
// While a receiver that is still taking data has more than this queued, senders wait before they
// read on: a room goes only as fast as its slowest reader, as long as that reader keeps reading.
constexpr std::size_t THROTTLE_MARK_BYTES = 64u << 10;
// Nobody waits for a receiver whose socket has taken nothing for this long (it has stopped
// reading), nor for one that has stayed above THROTTLE_MARK_BYTES for HOLD_LIMIT (a trickle must not
// set the pace of a room). Such a receiver only falls further behind, up to BACKLOG_LIMIT_BYTES.
constexpr auto STALL_TIME = std::chrono::milliseconds(50);
constexpr auto HOLD_LIMIT = std::chrono::seconds(1);

// The client registry: every connected client in the order it arrived, guarded by mtx.
static std::vector<client *> clients;
static fair_mutex mtx;
// Senders held back wait on this for a receiver to fall below THROTTLE_MARK_BYTES; not under mtx,
// which they let go meanwhile.
static std::mutex drained_mtx;
static std::condition_variable drained;
static std::uint64_t drains;  // guarded by drained_mtx: how often one has

// A handler's chunks waiting to be passed on, and what became of them.
struct fan_out_request {
    client *sender;
    const received *chunks;
    fan_out_request *next;     // guarded by handover_mtx, like the rest
    bool done;                 // passed on; held_back is the answer
    bool your_turn;            // asked to pass on what waits (do_handovers_if_free)
    bool held_back;            // the room is behind (see THROTTLE_MARK_BYTES)
    std::condition_variable finished;
};

// Work handed to whoever holds mtx next, by threads that must not wait for it (a busy room keeps
// it taken): clients accepted but not yet in the registry, which the starter hands over;
// heartbeats whose answers are owed; chunks to pass on, which handlers hand over and then wait
// for; and clients whose handlers have ended, to be removed. Whoever takes mtx next does it all,
// each kind in the order it came: a newcomer is registered, an answer sent and a departure done at
// the next moment the registry is free, however busy the room stays; a crowd's heartbeats, or its
// departures, cost the room one pass under the lock instead of a wait for it each; and chunks from
// several senders that wait together go to each receiver in one gathered send, as the send calls
// are nearly all of the relay's cost. Guarded by handover_mtx, which may be taken while mtx is
// held, never the other way.
static std::vector<client *> joining;
static std::vector<client *> owed;  // a client for each heartbeat it is owed an answer for
static fan_out_request *requests_first, *requests_last;
static std::vector<client *> leaving;
static std::mutex handover_mtx;
static std::atomic<bool> handovers_waiting{false};
// The batches being done, kept for their capacity; guarded by mtx.
static std::vector<client *> joined, answered, departed;

// The porter: a thread of its own that does what was handed over when nobody else will (see
// wake_turn_taker_or_porter); nobody waits for it. Guarded by handover_mtx.
static std::condition_variable porter_wake;
static bool porter_called = false;
static bool porter_running = false;

static void deliver_answer(client &c);
static void fan_out_requests(fan_out_request *first);
static void remove_departed();

// Enters the newcomers of `joined` in the registry, logging each arrival with the count it made.
// Caller holds mtx.
static void register_joined()
{
    for (client *c : joined) {
        clients.push_back(c);
        log_event(LINE_CONNECTED, static_cast<std::uint32_t>(clients.size()));
    }
    joined.clear();
}

// Enters the waiting newcomers in the registry, answers the heartbeats, passes on the chunks handed
// over and removes the clients that have left, in that order: a client leaves only after what was
// handed over for it is done. Caller holds mtx.
static void do_handovers()
{
    if (!handovers_waiting.load())
        return;
    fan_out_request *requests;
    {
        std::lock_guard<std::mutex> lock(handover_mtx);
        joined.swap(joining);
        answered.swap(owed);
        requests = requests_first;
        requests_first = requests_last = nullptr;
        departed.swap(leaving);
        handovers_waiting = false;
    }
    register_joined();
    for (client *c : answered)
        deliver_answer(*c);
    answered.clear();
    if (requests != nullptr)
        fan_out_requests(requests);
    remove_departed();
}

// Enters the waiting newcomers only, leaving the rest to others. Caller holds mtx.
static void register_newcomers_only()
{
    {
        std::lock_guard<std::mutex> lock(handover_mtx);
        joined.swap(joining);
        handovers_waiting = !owed.empty() || requests_first != nullptr || !leaving.empty();
    }
    register_joined();
}

// Asks the turn-taker, the handler whose chunks have waited longest, to do what waits next; false
// if no chunks wait.
static bool wake_turn_taker()
{
    std::lock_guard<std::mutex> lock(handover_mtx);
    if (requests_first == nullptr)
        return false;
    requests_first->your_turn = true;
    requests_first->finished.notify_one();
    return true;
}

// Gives what waits to a thread that will do it: the turn-taker, or, with no chunks waiting, the
// porter. False if there is neither (the platform refused the porter a
// thread), and then the caller must do it.
static bool wake_turn_taker_or_porter()
{
    if (wake_turn_taker())
        return true;
    std::lock_guard<std::mutex> lock(handover_mtx);
    if (!porter_running)
        return false;
    porter_called = true;
    porter_wake.notify_one();
    return true;
}

// Does what was handed over if nobody holds mtx; if somebody does, they will on letting it go.
// Two passes at most: a handler that spent itself on others' heartbeats, newcomers and departures
// while they keep coming would neither read nor drain its own client meanwhile. What is left then
// goes to a thread that will do it (wake_turn_taker_or_porter), never to nobody.
static void do_handovers_if_free()
{
    for (int passes = 0; handovers_waiting.load(); ++passes) {
        if (passes >= 2 && wake_turn_taker_or_porter())
            return;
        if (!mtx.try_lock())
            return;
        do_handovers();
        mtx.unlock();
    }
}

// The porter: does what was handed over, for as long as anything waits, whenever asked.
static void run_porter(void *)
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(handover_mtx);
            porter_wake.wait(lock, [] { return porter_called; });
            porter_called = false;
        }
        while (handovers_waiting.load()) {
            std::lock_guard<fair_mutex> lock(mtx);
            do_handovers();
        }
    }
}

// Holds mtx. What was handed over is done on taking it, so that what follows already counts the
// newcomers and comes after the answers; and after letting it go, whatever was handed over
// meanwhile is done or handed on (do_handovers_if_free), so that nothing waits for a lock nobody
// takes (those who hand over only try it, and what they handed over while it was held is seen here).
// Every holder of mtx lets it go this way, and none lets it go while it waits.
class registry_lock {
public:
    registry_lock() : hold(mtx) { do_handovers(); }
    ~registry_lock()
    {
        hold.unlock();
        do_handovers_if_free();
    }
    registry_lock(const registry_lock &) = delete;
    registry_lock &operator=(const registry_lock &) = delete;

    std::unique_lock<fair_mutex> hold;
};

// Chunks on their way to every receiver: those of the requests passed on together, and answers.
constexpr int OUTGOING_CHUNKS = 8 * FAN_OUT_BATCH;
struct outgoing {
    const char *data[OUTGOING_CHUNKS];
    std::size_t len[OUTGOING_CHUNKS];
    chunk_copy *copy[OUTGOING_CHUNKS];  // a chunk's copy, made on first need and held until all have it
    const client *from[OUTGOING_CHUNKS];  // its sender, who is not sent it; null for an answer
    int count;
};

// Sends c's backlog, then the chunks of `extra` that are not c's own, in one gathered send, as far
// as the socket takes them now. Returns how many bytes of those chunks went, or -1 if the
// connection has failed. Caller holds mtx: every send to a client happens under it, so two threads
// never write to one socket at once, and none of them waits, since the sockets never block.
static long send_pending(client &c, const outgoing *extra)
{
    byte_span spans[MAX_SPANS];
    int count = 0;
    for (std::size_t i = 0; i < c.backlog.size() && count < MAX_SPANS; ++i) {
        const pending &p = c.backlog[i];
        spans[count++] = byte_span{p.chunk->data() + p.offset, p.chunk->size - p.offset};
    }
    if (extra && static_cast<std::size_t>(count) == c.backlog.size())
        for (int i = 0; i < extra->count && count < MAX_SPANS; ++i)
            if (extra->from[i] != &c)
                spans[count++] = byte_span{extra->data[i], extra->len[i]};
    if (count == 0)
        return 0;
    long sent = send_gathered(c.sock, spans, count);
    if (sent <= 0)
        return sent;
    c.last_progress = std::chrono::steady_clock::now();
    bool was_throttling = c.backlog_bytes > THROTTLE_MARK_BYTES;
    auto left = static_cast<std::size_t>(sent);
    while (left > 0 && !c.backlog.empty()) {
        pending &head = c.backlog.front();
        std::size_t rest = head.chunk->size - head.offset;
        if (left < rest) {
            head.offset += left;
            c.backlog_bytes -= left;
            left = 0;
            break;
        }
        left -= rest;
        c.backlog_bytes -= rest;
        c.backlog.pop_front();
    }
    if (c.backlog_bytes <= THROTTLE_MARK_BYTES) {
        c.above_mark = false;
        if (was_throttling) {
            {
                std::lock_guard<std::mutex> lock(drained_mtx);
                ++drains;
            }
            drained.notify_all();
        }
    }
    c.queued.store(!c.backlog.empty(), std::memory_order_relaxed);
    return static_cast<long>(left);
}

// Hands chunks to a receiver without ever waiting for it. Caller holds mtx.
//
// Why this way: a receiver that keeps up has an empty backlog, and then the bytes go straight into
// its socket buffer from the sender's own buffer, with no copy, no thread switch and no wake-up.
// Only what the socket cannot take at once is queued, as one shared copy of each chunk for all the
// receivers that need it; the receiver's handler and every later delivery send from the queue as
// the socket drains. A sender waits until its chunks have been passed on (by whichever thread held
// the lock at the time), so a room can never be fed faster than the server can pass its bytes on;
// a receiver that reads slowly holds the senders back (THROTTLE_MARK_BYTES), and one that stops
// reading is cut off past BACKLOG_LIMIT_BYTES.
static void deliver(client &to, outgoing &chunks)
{
    if (to.cut_off)
        return;
    bool was_idle = to.backlog.empty();
    long sent = send_pending(to, &chunks);
    if (sent < 0) {
        to.cut_off = true;  // the connection is dead; its handler ends it
        wake(to.alarm);
        return;
    }
    auto skip = static_cast<std::size_t>(sent);
    for (int i = 0; i < chunks.count; ++i) {
        if (chunks.from[i] == &to)
            continue;
        if (skip >= chunks.len[i]) {
            skip -= chunks.len[i];
            continue;
        }
        if (chunks.copy[i] == nullptr)
            chunks.copy[i] = copy_chunk(chunks.data[i], chunks.len[i]);
        if (chunks.copy[i] == nullptr || !to.backlog.push_back(pending{chunks.copy[i], skip})) {
            to.cut_off = true;  // out of memory: it cannot be served what it is missing
            break;
        }
        to.backlog_bytes += chunks.len[i] - skip;
        skip = 0;
    }
    if (to.backlog_bytes > THROTTLE_MARK_BYTES && !to.above_mark) {
        to.above_mark = true;
        to.behind_since = std::chrono::steady_clock::now();
    }
    if (to.backlog_bytes + to.backlog.size() * ENTRY_COST > BACKLOG_LIMIT_BYTES)
        to.cut_off = true;
    to.queued.store(!to.backlog.empty(), std::memory_order_relaxed);
    if ((was_idle && !to.backlog.empty()) || to.cut_off)
        wake(to.alarm);  // it must watch for its socket to drain, or leave
}

// True if c is far behind but still taking data. Caller holds mtx.
static bool is_behind(const client &c, std::chrono::steady_clock::time_point now)
{
    return !c.cut_off && c.backlog_bytes > THROTTLE_MARK_BYTES && now - c.last_progress < STALL_TIME &&
           now - c.behind_since < HOLD_LIMIT;
}

// True if some receiver other than `sender` is far behind but still taking data. Caller holds mtx.
static bool room_is_behind(const client &sender)
{
    auto now = std::chrono::steady_clock::now();
    for (const client *c : clients)
        if (c != &sender && is_behind(*c, now))
            return true;
    return false;
}

// The chunks of the requests being passed on; guarded by mtx.
static outgoing passing;

// Passes the chunks of a list of requests to every registered client but their senders, in
// registration order, the requests in the order they came, as many together as `passing` holds. Each
// round is one critical section, so chunks from different senders never interleave at a receiver.
// Tells each requester it is done, and whether the room is behind. Caller holds mtx.
static void fan_out_requests(fan_out_request *first)
{
    while (first != nullptr) {
        passing.count = 0;
        fan_out_request *r = first;
        for (; r != nullptr && passing.count + r->chunks->count <= OUTGOING_CHUNKS; r = r->next) {
            for (int i = 0; i < r->chunks->count; ++i) {
                passing.data[passing.count] = r->chunks->data[i];
                passing.len[passing.count] = r->chunks->len[i];
                passing.copy[passing.count] = nullptr;
                passing.from[passing.count++] = r->sender;
            }
        }
        for (client *receiver : clients)
            deliver(*receiver, passing);
        for (int i = 0; i < passing.count; ++i)
            if (passing.copy[i] != nullptr)
                release_copy(passing.copy[i]);
        // Who is behind, found once for the round: a sender waits if anyone else is.
        const client *behind = nullptr;
        int behind_count = 0;
        auto now = std::chrono::steady_clock::now();
        for (const client *c : clients)
            if (is_behind(*c, now)) {
                behind = c;
                if (++behind_count > 1)
                    break;
            }
        std::lock_guard<std::mutex> lock(handover_mtx);
        while (first != r) {
            fan_out_request *done = first;
            first = first->next;  // read before it is marked done: its requester may then leave
            done->held_back = behind_count > 1 || (behind_count == 1 && behind != done->sender);
            done->done = true;
            done->finished.notify_one();
        }
    }
}

// Has chunks passed on to every other client and waits until they have been (the chunks are the
// caller's). Whoever holds mtx next passes them on, with any others waiting; that is this thread if
// mtx is free. Returns whether the sender should wait before reading on (see THROTTLE_MARK_BYTES).
bool hand_over_chunks(client &sender, const received &chunks)
{
    fan_out_request me{&sender, &chunks, nullptr, false, false, false, {}};
    std::unique_lock<std::mutex> lock(handover_mtx);
    (requests_last != nullptr ? requests_last->next : requests_first) = &me;
    requests_last = &me;
    handovers_waiting = true;
    for (;;) {
        lock.unlock();
        do_handovers_if_free();
        lock.lock();
        me.finished.wait(lock, [&me] { return me.done || me.your_turn; });
        if (me.done)
            return me.held_back;
        me.your_turn = false;
    }
}

// Holds a sender back while the room catches up, for a moment at a time, so that its handler still
// serves its own backlog and notices its own departure meanwhile. Returns whether it still must wait.
// It waits holding no lock of the registry's.
bool wait_for_room(const client &sender)
{
    {
        std::unique_lock<std::mutex> lock(drained_mtx);
        std::uint64_t seen = drains;
        drained.wait_for(lock, std::chrono::milliseconds(5), [seen] { return drains != seen; });
    }
    registry_lock lock;
    return room_is_behind(sender);
}

// Answers a heartbeat. It goes through the backlog like relayed bytes, so that it never lands in
// the middle of a chunk that is only partly sent (unread answers count against the backlog like
// anything else). Caller holds mtx.
static void deliver_answer(client &c)
{
    struct fixed_copy {
        chunk_copy copy;
        char text[HEARTBEAT_BYTES];  // right after the header, where a copy's bytes are
    };
    static_assert(offsetof(fixed_copy, text) == sizeof(chunk_copy), "a copy's bytes follow its header");
    static fixed_copy pong = [] {
        fixed_copy p{{nullptr, HEARTBEAT_BYTES, 1}, {}};
        std::memcpy(p.text, PONG, HEARTBEAT_BYTES);
        return p;
    }();
    static outgoing answer;  // guarded by mtx
    answer.data[0] = pong.text;
    answer.len[0] = sizeof pong.text;
    answer.copy[0] = &pong.copy;
    answer.from[0] = nullptr;
    answer.count = 1;
    deliver(c, answer);
}

// Has a heartbeat answered without waiting for the registry: at once if it is free, otherwise by
// whoever holds it, as they let it go. A client leaves only under the lock, after what was handed
// over for it has been done, so it is never answered once gone.
void hand_over_heartbeat(client &c)
{
    {
        std::lock_guard<std::mutex> lock(handover_mtx);
        owed.push_back(&c);
        handovers_waiting = true;
    }
    do_handovers_if_free();
}

// Sends what c's socket takes now of its backlog. Returns false if the connection has failed.
// Nothing waits on it, so it does not first do what was handed over (a client that reads slowly
// drains often): only, as always, on letting the lock go.
bool drain_backlog(client &c)
{
    bool alive;
    {
        std::lock_guard<fair_mutex> lock(mtx);
        alive = send_pending(c, nullptr) >= 0;
    }
    do_handovers_if_free();
    return alive;
}

// Removes the clients of `departed` from the registry in one pass, logs each departure and closes
// each socket, all under the lock: no fan-out can send to a socket once it is closed (or to a new
// connection that reuses its handle), and every count in the log is the arrivals less the
// departures logged before it. A client cut off for falling behind is reset: the megabytes its
// socket still holds for it would never be read. Then frees them. Caller holds mtx.
static void remove_departed()
{
    if (departed.empty())
        return;
    for (client *c : departed)
        c->departed = true;
    clients.erase(std::remove_if(clients.begin(), clients.end(), [](const client *c) { return c->departed; }),
                  clients.end());
    for (client *c : departed) {
        if (c->cut_off)
            reset_socket(c->sock);
        else
            close_socket(c->sock);
        c->backlog.clear();
        free_waker(c->alarm);
        delete c;
        log_event(LINE_TIMED_OUT);  // once its descriptors are free for a newcomer
    }
    departed.clear();
}

// Hands c over for removal (remove_departed), without waiting for the registry: a crowd that leaves
// together, in a busy room, is removed in a pass or two, not one round of the room's chat each. Its
// handler must not touch c afterwards.
void hand_over_departure(client *c)
{
    {
        std::lock_guard<std::mutex> lock(handover_mtx);
        leaving.push_back(c);
        handovers_waiting = true;
    }
    do_handovers_if_free();
}

// The starter's use of the registry: it enters its newcomers when the registry is free, and never
// spends itself on the room's fan-outs, answers and departures, which it hands on: newcomers are
// taken in however busy the room is.
static void register_newcomers_if_free()
{
    if (!mtx.try_lock())
        return;  // its holder enters them on letting it go
    register_newcomers_only();
    mtx.unlock();
    if (handovers_waiting.load() && !wake_turn_taker_or_porter())
        do_handovers_if_free();  // nobody else to do it
}

// Hands newcomers over for registration (do_handovers) in one go, and enters them at once if the
// registry is free.
void hand_over_newcomers(client *const *newcomers, std::size_t count)
{
    {
        std::lock_guard<std::mutex> lock(handover_mtx);
        joining.insert(joining.end(), newcomers, newcomers + count);
        handovers_waiting = true;
    }
    register_newcomers_if_free();
}

// Waits for the registry to be free, as a holder: what was handed over meanwhile is done.
void wait_for_registry()
{
    registry_lock lock;
}

// Starts the porter; without one, those who hand over do it all themselves.
void start_porter()
{
    if (start_thread(run_porter, nullptr)) {
        std::lock_guard<std::mutex> lock(handover_mtx);
        porter_running = true;  // else those who hand over do it all themselves
    }
}
