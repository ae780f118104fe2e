// wire.h - what the relay and its clients agree on: the ports, the announcement, the heartbeat, and
// the times the relay keeps that its clients count on.
#pragma once

#include <chrono>

// The relay takes its clients' connections on this TCP port, on every local IPv4 address.
constexpr unsigned short TCP_PORT = 8888;
// The relay announces itself by broadcast to this UDP port.
constexpr unsigned short UDP_PORT = 8889;

// The announcement: exactly these 16 bytes, with no NUL and no line end. It names neither the
// relay's address nor its port: the datagram's source address is where the relay is.
constexpr char ANNOUNCEMENT[] = "CHAT_SERVER_V1.4";
constexpr int ANNOUNCEMENT_BYTES = 16;
static_assert(sizeof ANNOUNCEMENT == ANNOUNCEMENT_BYTES + 1, "the announcement is its text alone");
// The relay announces itself this often, counted from one round of sends to the next.
constexpr auto BEACON_PERIOD = std::chrono::seconds(3);

// A chunk that begins with PING is a heartbeat: the relay answers it with PONG, to its sender alone,
// and passes it on to nobody.
constexpr char PING[] = "[PING]";
constexpr char PONG[] = "[PONG]";
constexpr int HEARTBEAT_BYTES = 6;  // of either, with no NUL
static_assert(sizeof PING == HEARTBEAT_BYTES + 1 && sizeof PONG == HEARTBEAT_BYTES + 1, "six bytes each");
// The relay drops a client that has sent nothing, heartbeat or chat, for longer than this.
constexpr auto SILENCE_LIMIT = std::chrono::seconds(10);
