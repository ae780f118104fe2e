// room.h - the room: the client registry, the work handed over to whoever holds it, and the
// fan-out, in room.cpp, whose state is its own. The handlers, the starter and start-up use it
// through these few calls.
//
// How things travel through the room. Nobody who hands work in waits for the registry's lock (mtx),
// which a busy room keeps taken: a newcomer, a heartbeat, chunks or a departure is put on a list
// of its kind under a lock held only for a moment, and whoever holds mtx next does all that waits,
// in one pass, in this order: newcomers registered, heartbeats answered, chunks fanned out,
// departures removed. So a client leaves only after what was handed over for it is done.
//
// - An arrival. The accept loop (main.cpp) takes connections from the listen queue, a batch at a
//   time, and gives them to the starter (give_to_starter). The starter makes them client records
//   (make_clients), hands them over (hand_over_newcomers), registers them at once if mtx is free
//   and otherwise leaves them to its holder, and gives them to the spawner (starter.cpp), which
//   starts their handlers a group at a time, each group once mtx is free (wait_for_registry): no
//   handler starts while a fan-out holds the registry, unless the room keeps it taken throughout
//   (see run_spawner). Without a spawner the starter starts them itself, newcomers first.
// - A chunk. Its sender's handler receives it, with up to FAN_OUT_BATCH that came together, hands
//   them over (hand_over_chunks) and waits until they have been fanned out: by itself if mtx is
//   free, else by its holder or, asked, by itself as the turn-taker. The fan-out sends each receiver
//   what its socket takes at once, in one gathered send for all the chunks waiting, and queues the
//   rest in the receiver's backlog, which the receiver's own handler drains (drain_backlog) as its
//   socket takes more. A sender whose room is behind waits before it reads on (wait_for_room).
// - A heartbeat. Its handler hands it over (hand_over_heartbeat) and reads on; the answer is sent
//   to its client alone, behind whatever is queued for it, as a chunk would be.
// - A departure. A handler whose client fell silent, closed or broke its connection, or was cut
//   off, hands its client over (hand_over_departure) and ends; the holder of mtx removes it,
//   closes its socket and logs it. A client whose handler could not be started leaves the same way.
//
// Who does what: every thread that lets mtx go then does what was handed over meanwhile, if mtx is
// free, for two passes at most (do_handovers_if_free), and gives what is still left to a thread
// that will do it: the turn-taker, the handler whose chunks have waited longest, woken to do it;
// or, with no chunks waiting, the porter, a thread that does nothing else (run_porter). The starter
// registers its newcomers and hands the rest on: it never spends itself on the room's work. The
// spawner takes mtx as every holder does, doing what was handed over, and only between groups of
// thread starts. The beacon and the log writer never touch the room.
#pragma once

#include "platform/net.h"
#include "backlog.h"

#include <atomic>
#include <chrono>
#include <cstddef>

// When a sender's chunks arrive faster than one at a time, its handler makes up to this many
// receives in a row (each its own chunk, each tested for a heartbeat) and passes the chunks on in
// one gathered send per receiver: flat out, that takes the send calls, which are nearly all of the
// relay's cost, down by as much (measured: docs/benchmarks.md).
constexpr int FAN_OUT_BATCH = 8;

// A connected client. Its handler thread owns it; the registry lends it to fan-outs under mtx.
// cut_off and queued are written under mtx and read by the handler without it: whoever sets either
// wakes the handler too, so a handler that read them a moment early is woken to read them again.
struct client {
    SOCKET sock;
    waker *alarm;                 // cuts the handler's wait short when output is queued for it
    backlog_queue backlog;        // guarded by mtx
    std::size_t backlog_bytes;    // guarded by mtx
    std::atomic<bool> cut_off;    // too far behind, or its connection failed
    std::chrono::steady_clock::time_point last_progress;  // guarded by mtx: when its socket last took bytes
    bool above_mark;                                      // guarded by mtx: above THROTTLE_MARK_BYTES
    std::chrono::steady_clock::time_point behind_since;   // guarded by mtx: when it last went above it
    std::atomic<bool> queued;                             // its backlog holds something
    bool departed;                                        // guarded by mtx: being removed
};

// Chunks received together from one sender, to be passed on together.
struct received {
    const char *data[FAN_OUT_BATCH];
    std::size_t len[FAN_OUT_BATCH];
    int count;
};

// The starter's: hands newcomers over for registration, and registers them if mtx is free.
void hand_over_newcomers(client *const *newcomers, std::size_t count);
// The handler's. hand_over_chunks waits until its chunks have been passed on to everyone else, and
// returns whether the room is behind (then wait_for_room before reading on, until it says no more);
// drain_backlog is false once the connection has failed. After hand_over_departure, c is not the
// handler's to touch.
bool hand_over_chunks(client &sender, const received &chunks);
void hand_over_heartbeat(client &c);
bool drain_backlog(client &c);
bool wait_for_room(const client &sender);
void hand_over_departure(client *c);
// The spawner's: waits until mtx is free, takes it and lets it go, doing what was handed over as
// every holder does; so that no thread starts while a fan-out holds the registry.
void wait_for_registry();
// Start-up's: starts the porter.
void start_porter();
