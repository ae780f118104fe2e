// networks_win32.cpp - the host's IPv4 networks and a broadcast on each, from the IP Helper.
#ifdef _WIN32

#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600  // the on-link prefix of an adapter's address
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include "platform/networks.h"

#include <cstdint>
#include <cstdlib>

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

// The IP Helper's list of adapters with their IPv4 addresses, in a buffer the caller frees; nullptr
// if it cannot be had. The list can grow between asking for its size and reading it, hence the tries.
static IP_ADAPTER_ADDRESSES *adapter_list()
{
    // The IP Helper is no Known DLL: loaded by name from System32, never from beside the program.
    typedef ULONG(WINAPI * get_adapters_addresses)(ULONG, ULONG, void *, IP_ADAPTER_ADDRESSES *, ULONG *);
    static const get_adapters_addresses get = [] {
        HMODULE helper = LoadLibraryExW(L"iphlpapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        return helper == nullptr ? nullptr
                                 : reinterpret_cast<get_adapters_addresses>(
                                       reinterpret_cast<void *>(GetProcAddress(helper, "GetAdaptersAddresses")));
    }();
    if (get == nullptr)
        return nullptr;
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER |
                        GAA_FLAG_SKIP_FRIENDLY_NAME;
    ULONG size = 16 * 1024;
    for (int tries = 0; tries < 4; ++tries) {
        auto *list = static_cast<IP_ADAPTER_ADDRESSES *>(std::malloc(size));
        if (list == nullptr)
            return nullptr;
        ULONG rc = get(AF_INET, flags, nullptr, list, &size);
        if (rc == ERROR_SUCCESS)
            return list;
        std::free(list);
        if (rc != ERROR_BUFFER_OVERFLOW)
            return nullptr;
    }
    return nullptr;
}

// Windows keeps no broadcast address per address: the subnet's is the address with every host bit
// set, from the on-link prefix. Tunnels and loopback cannot carry it.
int list_networks(ipv4_network *out, int max)
{
    IP_ADAPTER_ADDRESSES *list = adapter_list();
    if (list == nullptr)
        return -1;
    int count = 0;
    for (IP_ADAPTER_ADDRESSES *a = list; a != nullptr && count < max; a = a->Next) {
        if (a->OperStatus != IfOperStatusUp || a->IfType == IF_TYPE_SOFTWARE_LOOPBACK || a->IfType == IF_TYPE_TUNNEL ||
            (a->Flags & IP_ADAPTER_RECEIVE_ONLY) != 0)
            continue;
        for (IP_ADAPTER_UNICAST_ADDRESS *u = a->FirstUnicastAddress; u != nullptr && count < max; u = u->Next) {
            const SOCKADDR *sa = u->Address.lpSockaddr;
            // A /31 or /32 has no room for a broadcast address.
            if (sa == nullptr || sa->sa_family != AF_INET || u->OnLinkPrefixLength < 1 || u->OnLinkPrefixLength > 30 ||
                u->DadState == IpDadStateDuplicate || u->DadState == IpDadStateTentative)
                continue;
            std::uint32_t address = reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr;
            std::uint32_t host_bits = 0xffffffffu >> u->OnLinkPrefixLength;
            count = add_network(out, count, address, address | htonl(host_bits), htonl(~host_bits));
        }
    }
    std::free(list);
    return count;
}

int send_network_broadcast(const ipv4_network &net, const char *buf, int len, unsigned short port)
{
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET)
        return -1;
    int broadcast = 1;
    ::setsockopt(s, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char *>(&broadcast), sizeof broadcast);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = net.address;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = net.broadcast;
    to.sin_port = htons(port);
    int rc = -1;
    if (::bind(s, reinterpret_cast<sockaddr *>(&from), sizeof from) == 0 &&
        ::sendto(s, buf, len, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) == len)
        rc = 0;
    ::closesocket(s);
    return rc;
}

#endif  // _WIN32
