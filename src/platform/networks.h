// networks.h - the IPv4 networks this host is on, and a broadcast on each: how the relay's beacon
// reaches every network, not only the one the default route leaves by.
//
// networks_win32.cpp (the IP Helper) and networks_posix.cpp (getifaddrs) define these functions in
// the same order.
#pragma once

#include <cstdint>

// An IPv4 network this host is on: its own address there and the network's broadcast address, both
// in network byte order.
struct ipv4_network {
    std::uint32_t address;
    std::uint32_t broadcast;
    std::uint32_t mask = 0;  // the subnet's mask
};
// Lists the IPv4 networks on interfaces that are up and can broadcast, loopback excepted, each
// network once: at most max of them, into out. Addresses without a subnet broadcast (/31, /32) are
// left out. Returns how many were listed, or -1 if the system would not say.
int list_networks(ipv4_network *out, int max);
// Sends one datagram to the network's broadcast address on the given port, from a socket of its own
// bound to this host's address there, so that receivers see that address as the source: 0, or -1
// if it could not be sent (say, the address went away since it was listed).
int send_network_broadcast(const ipv4_network &net, const char *buf, int len, unsigned short port);
