// handler.cpp - the client handler: a thread for each client, which receives, has heartbeats
// answered and chunks relayed, drains what waits for its client, and leaves when it falls silent.
#include "handler.h"

#include "common/wire.h"
#include "platform/net.h"
#include "log_lines.h"
#include "room.h"
#include "run_flag.h"

#include <chrono>
#include <cstring>

constexpr int BUFFER_SIZE = 4096;  // the most one receive takes, in bytes

// A heartbeat is a chunk that begins with "[PING]". Shorter chunks are data.
static bool is_heartbeat(const char *chunk, int len)
{
    return len >= HEARTBEAT_BYTES && std::memcmp(chunk, PING, HEARTBEAT_BYTES) == 0;
}

// Receives, answers heartbeats and relays for one client until it has been silent for more than
// 10 seconds, closes its connection, fails, or falls too far behind; then removes it and logs the
// departure. All of these leave the same way.
void handle_client(void *arg)
{
    auto *c = static_cast<client *>(arg);
    using std::chrono::steady_clock;
    const auto limit = SILENCE_LIMIT;
    char buffer[FAN_OUT_BATCH][BUFFER_SIZE];
    // A monotonic clock: setting the wall clock must not drop everyone or keep the dead.
    steady_clock::time_point last_active = steady_clock::now();
    bool held_back = false;  // the room is behind: read nothing from this client for now
    while (server_running) {
        // Read without the registry's lock (see client): a wake-up of this handler costs the room
        // nothing unless it has something to pass on or answer.
        if (c->cut_off)
            break;
        bool want_write = c->queued.load(std::memory_order_relaxed);
        if (held_back)
            held_back = wait_for_room(*c);
        // While held back, its bytes wait in its socket; they count as activity only once they are
        // read, so the silence test waits for a round that reads.
        bool reading = !held_back;
        // Sleep until there is something to do or the silence would pass the limit; an idle
        // client costs no wake-ups in between.
        auto until_limit = std::chrono::duration_cast<std::chrono::milliseconds>(last_active + limit - steady_clock::now());
        int timeout_ms = until_limit.count() < 0 ? 0 : static_cast<int>(until_limit.count()) + 1;
        if (held_back)
            timeout_ms = 0;
        int ready = wait_socket(c->sock, !held_back, want_write, c->alarm, timeout_ms);
        if (ready & WAIT_WOKEN)
            clear_waker(c->alarm);
        bool gone = false;
        if (ready & WAIT_READABLE) {
            received chunks{};
            // Bounded by receives, heartbeats included, so that a stream of them cannot keep the
            // handler from its backlog or from noticing that it has been cut off.
            for (int receives = 0; receives < FAN_OUT_BATCH; ++receives) {
                char *into = buffer[chunks.count];
                int bytes_received = recv_some(c->sock, into, BUFFER_SIZE);
                if (bytes_received <= 0) {
                    gone = bytes_received == RECV_CLOSED || bytes_received == RECV_BROKEN;
                    break;
                }
                last_active = steady_clock::now();  // every chunk counts as activity, heartbeat or not
                if (is_heartbeat(into, bytes_received)) {
                    hand_over_heartbeat(*c);  // its buffer is free for the next chunk
                    if (c->cut_off)
                        break;
                } else {
                    chunks.data[chunks.count] = into;
                    chunks.len[chunks.count++] = static_cast<std::size_t>(bytes_received);
                }
                if (bytes_received < BUFFER_SIZE)
                    break;  // most likely all there was
            }
            if (chunks.count > 0)
                held_back = hand_over_chunks(*c, chunks);
        }
        if (gone)
            break;
        if ((ready & WAIT_WRITABLE) && !drain_backlog(*c))
            break;
        // Silent means nothing came from it, not that the relay has not got round to reading it (a
        // busy room can keep this handler waiting for the registry for long): bytes waiting in its
        // socket are activity, and are read next.
        if (reading && steady_clock::now() - last_active > limit) {
            if (!input_waiting(c->sock))
                break;
            last_active = steady_clock::now();
        }
    }
    hand_over_departure(c);
    events.write_unattended();
}
