// name_lookup.h - finding the relay's address for connect_to within the connection's time. The
// waiting is the same on every platform (name_lookup.cpp); the three calls on the system's resolver
// are each platform's, defined in net_posix.cpp and net_win32.cpp.
#pragma once

#include <cstddef>

struct addrinfo;  // the resolver's list of addresses (netdb.h, ws2tcpip.h)

// ---- the platform's, in net_posix.cpp and net_win32.cpp ----

// Asks the resolver for host's IPv4 stream addresses on service (a port number as text); if
// numeric_only, host must be a dotted address and no name is looked up. 0 with the list in *found,
// or the resolver's error code.
int find_ipv4(const char *host, const char *service, bool numeric_only, addrinfo **found);
// Frees a list find_ipv4 made.
void free_found(addrinfo *found);
// Writes what one of the resolver's error codes means.
void say_lookup_error(int rc, char *why, std::size_t why_len);

// ---- the same everywhere, in name_lookup.cpp ----

// The IPv4 addresses of host: a dotted address at once, a name looked up on a thread of its own
// within *timeout_ms, which is left holding what remains of it for the connection (1 ms at least).
// On failure nullptr, with why written. The caller frees the list with free_found.
addrinfo *resolve_ipv4(const char *host, unsigned short port, int *timeout_ms, char *why, std::size_t why_len);
