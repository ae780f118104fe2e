// connection.h - the client's link to the relay: finding it by its announcement, keeping
// its place with heartbeats, telling a dead relay by its silence, and finding it again.
#pragma once

#include "client/core/view.h"

#include <string>
#include <vector>

struct connection_options {
    std::string host;        // empty: find the relay by its announcement
    bool reconnect = false;  // when the connection is lost, find the relay again instead of exiting
    bool tell_heard = false; // while looking, say so, and which relays were heard
};

// Prints every relay heard within one beacon period and a little, one address a line; the exit status.
int list_relays();
// The relays heard within one beacon period and a little, each address once.
std::vector<std::string> relays_heard();
// Finds the relay (or takes the host given) and connects: 0, or the exit status of the failure. With
// reconnect set, it fails only on bad arguments: it keeps looking until a relay is found.
int connect_first(const connection_options &opts, room_view &view);
// Starts what keeps the connection: the receiver, the heartbeat and the watch.
void start_connection(room_view &view);
// Sends bytes (a line, or a piece of one) once no heartbeat's answer is owed, waiting for a lost
// connection to come back until deadline_ms (steady milliseconds). false if it was not sent.
bool send_bytes(const std::string &bytes, long long deadline_ms);
// The input has ended: lets the relay see the end of our stream after everything sent, and passes
// on what it still has for us until it closes (3 s at most).
void finish_connection();
// Connects to the relay at address, in the background, and then leaves this relay (or the search
// for one) for it; if it cannot be had, says why on v, and the client stays where it was.
void move_to_relay(const std::string &address, room_view &v);

long long now_ms();  // the steady clock, in milliseconds
const long long HOLD_MS = 60 * 1000;  // how long a line waits for a lost connection to come back
