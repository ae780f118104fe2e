// beacon.h - the discovery beacon (beacon.cpp).
#pragma once

// The body of the beacon's thread: announces the relay every period, for the life of the process.
void udp_broadcast(void *);
