// starter.h - the starter (starter.cpp), which takes the accept loop's connections on.
#pragma once

#include "platform/net.h"

// The accept loop takes at most this many connections from the listen queue at a time.
constexpr int ACCEPT_BATCH = 64;

// Starts the starter's thread; call before the accept loop starts.
void start_starter();
// Hands the accept loop's newcomers to the starter, or, without one, takes them in itself.
void give_to_starter(const SOCKET *socks, waker *const *wakers, int count);
