// starter.h - the starter (starter.cpp), which takes the accept loop's connections on.
#pragma once

#include "platform/net.h"

// The accept loop takes at most this many connections from the listen queue at a time.
#define ACCEPT_BATCH 64

// Set before the accept loop starts, if the starter's thread runs; else the accept loop does it all.
extern bool starter_running;

// The body of the starter's thread.
void start_handlers(void *);
// Hands the accept loop's newcomers to the starter, or, without one, takes them in itself.
void hand_over_arrivals(const SOCKET *socks, waker *const *wakers, int count);
