// room.h - the room: the client registry, the work handed over to whoever holds it, and the
// fan-out, in room.cpp, whose state is its own. The handlers, the starter and start-up use it
// through these few calls.
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
#define FAN_OUT_BATCH 8

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
    bool above_mark;                                      // guarded by mtx: more than THROTTLE_MARK queued
    std::chrono::steady_clock::time_point behind_since;   // guarded by mtx: when it last went above THROTTLE_MARK
    std::atomic<bool> queued;                             // its backlog holds something
    bool departed;                                        // guarded by mtx: being removed
};

// Chunks received together from one sender, to be passed on together.
struct received {
    const char *data[FAN_OUT_BATCH];
    std::size_t len[FAN_OUT_BATCH];
    int count;
};

// The starter's: hands newcomers over for registration, and enters them if the registry is free.
void hand_over_newcomers(client *const *newcomers, std::size_t count);
// The handler's: its chunks passed on to everyone else (waits until they are; true if it should
// wait before reading on), its heartbeat answered, its backlog drained, a wait while the room
// catches up, and its departure.
bool fan_out(client &sender, const received &chunks);
void answer_heartbeat(client &c);
bool drain_backlog(client &c);
bool wait_for_room(const client &sender);
void unregister_client(client *c);
// Start-up's: starts the porter, the thread that does what was handed over when nobody else will.
void start_porter();
