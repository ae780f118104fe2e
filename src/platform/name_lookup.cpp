// name_lookup.cpp - the bounded name lookup, the same on every platform: the resolver's call runs on
// a thread of its own, which the caller waits for until the connection's deadline.
#include "platform/name_lookup.h"
#include "platform/system.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

// A name lookup that its caller may give up waiting for: the system's resolver can take far
// longer than a connection is allowed. The thread doing it holds it too, so that whichever of the
// two is done with it last frees it, and the result with it.
struct name_lookup {
    std::mutex mtx;
    std::condition_variable finished;
    bool done = false;
    int rc = 0;
    addrinfo *found = nullptr;
    std::string host, service;
    ~name_lookup()
    {
        if (found != nullptr)
            free_found(found);
    }
};

static std::atomic<int> lookups_under_way{0};
const int LOOKUPS_MAX = 4;  // abandoned ones still running; past that, a name waits for them

static void look_up(void *p)
{
    std::shared_ptr<name_lookup> l = *static_cast<std::shared_ptr<name_lookup> *>(p);
    delete static_cast<std::shared_ptr<name_lookup> *>(p);
    addrinfo *found = nullptr;
    int rc = find_ipv4(l->host.c_str(), l->service.c_str(), false, &found);
    {
        std::lock_guard<std::mutex> lock(l->mtx);
        l->rc = rc;
        l->found = rc == 0 ? found : nullptr;
        l->done = true;
    }
    l->finished.notify_all();
    --lookups_under_way;
}

// The name's addresses, waited for until the deadline; nullptr with why written.
static addrinfo *look_up_in_time(const char *host, const char *service, std::chrono::steady_clock::time_point deadline,
                                 char *why, std::size_t why_len)
{
    // Checked and counted in one step: two callers at once cannot both take the last place.
    int under_way = lookups_under_way.load();
    do {
        if (under_way >= LOOKUPS_MAX) {
            std::snprintf(why, why_len, "earlier name lookups are still under way");
            return nullptr;
        }
    } while (!lookups_under_way.compare_exchange_weak(under_way, under_way + 1));
    auto l = std::make_shared<name_lookup>();
    l->host = host;
    l->service = service;
    auto *held = new std::shared_ptr<name_lookup>(l);
    if (!start_thread(look_up, held)) {
        delete held;
        --lookups_under_way;
        std::snprintf(why, why_len, "no thread for the name lookup");
        return nullptr;
    }
    std::unique_lock<std::mutex> lock(l->mtx);
    if (!l->finished.wait_until(lock, deadline, [&] { return l->done; })) {
        std::snprintf(why, why_len, "the name was not resolved in time");
        return nullptr;  // the lookup goes on alone, and frees what it finds
    }
    if (l->rc != 0) {
        say_lookup_error(l->rc, why, why_len);
        return nullptr;
    }
    addrinfo *found = l->found;
    l->found = nullptr;
    return found;
}

addrinfo *resolve_ipv4(const char *host, unsigned short port, int *timeout_ms, char *why, std::size_t why_len)
{
    // The name's lookup and the connection share the time.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(*timeout_ms);
    char service[8];
    std::snprintf(service, sizeof service, "%u", port);
    addrinfo *found = nullptr;
    if (find_ipv4(host, service, true, &found) != 0)
        found = look_up_in_time(host, service, deadline, why, why_len);
    if (found == nullptr)
        return nullptr;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    *timeout_ms = static_cast<int>(std::max<long long>(left.count(), 1));
    return found;
}
