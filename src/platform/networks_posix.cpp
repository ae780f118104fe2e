// networks_posix.cpp - the host's IPv4 networks and a broadcast on each, from getifaddrs (Linux).
#ifndef _WIN32

#include "platform/networks.h"

#include <arpa/inet.h>
#include <cstdint>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // no such flag here: SIGPIPE is ignored in net_startup instead
#endif

// Adds the network to the list unless its broadcast address is there already (a second address on
// one subnet): each network hears one announcement. Returns the new count.
static int add_network(ipv4_network *out, int count, std::uint32_t address, std::uint32_t broadcast,
                       std::uint32_t mask)
{
    for (int i = 0; i < count; ++i)
        if (out[i].broadcast == broadcast)
            return count;
    out[count] = ipv4_network{address, broadcast, mask};
    return count + 1;
}

// For a subnet of /30 or wider the kernel routes both the address with every host bit set and any
// broadcast address configured on top (`ip addr add ... brd ...`, or by DHCP) as broadcasts; the
// configured one is what the other hosts were given, so it is preferred.
int list_networks(ipv4_network *out, int max)
{
    ifaddrs *all = nullptr;
    if (::getifaddrs(&all) != 0)
        return -1;
    const unsigned wanted = IFF_UP | IFF_RUNNING | IFF_BROADCAST;
    int count = 0;
    for (ifaddrs *i = all; i != nullptr && count < max; i = i->ifa_next) {
        if ((i->ifa_flags & (wanted | IFF_LOOPBACK | IFF_POINTOPOINT)) != wanted || i->ifa_addr == nullptr ||
            i->ifa_addr->sa_family != AF_INET || i->ifa_netmask == nullptr)
            continue;
        std::uint32_t address = reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr;
        std::uint32_t mask = reinterpret_cast<sockaddr_in *>(i->ifa_netmask)->sin_addr.s_addr;
        if (ntohl(~mask) < 3)
            continue;  // a /31 or /32 has no room for a broadcast address
        std::uint32_t broadcast = address | ~mask;
        const sockaddr *configured = i->ifa_broadaddr;
        if (configured != nullptr && configured->sa_family == AF_INET) {
            std::uint32_t b = reinterpret_cast<const sockaddr_in *>(configured)->sin_addr.s_addr;
            if (b != 0 && b != address)
                broadcast = b;
        }
        count = add_network(out, count, address, broadcast, mask);
    }
    ::freeifaddrs(all);
    return count;
}

int send_network_broadcast(const ipv4_network &net, const char *buf, int len, unsigned short port)
{
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    int broadcast = 1;
    ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, &broadcast, sizeof broadcast);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = net.address;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = net.broadcast;
    to.sin_port = htons(port);
    int rc = -1;
    if (::bind(s, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
        ::sendto(s, buf, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&to),
                 sizeof to) == len)
        rc = 0;
    ::close(s);
    return rc;
}

#endif  // !_WIN32
