// starter.cpp - the starter: takes the accept loop's connections, makes them clients and has them
// registered; and the spawner, which starts their handlers.
#include "starter.h"

#include "platform/system.h"
#include "handler.h"
#include "log_lines.h"
#include "room.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

// Connections taken from the listen queue, in the order they came, with their wakers where the
// platform made them with the connection. In a crowd's arrival the kernel completes handshakes as
// fast as the clients send them, and those that find the listen queue full (4,096 on a Linux host
// by default) wait a second or more for their retransmission; so the accept loop does nothing but
// take connections and hand them over here, a batch at a time, with one lock and at most one
// wake-up, and a thread of its own, the starter, does the rest: their records, their registration
// and their handlers' threads. Guarded by arrivals_mtx, which nothing else takes.
struct arrival {
    SOCKET sock;
    waker *alarm;
};
static std::vector<arrival> arrivals;
static std::mutex arrivals_mtx;
static std::condition_variable arrivals_wake;  // with arrivals_mtx: newcomers wait
static bool starter_running = false;  // set before the accept loop starts; else the accept loop does it all
// The spawner starts at most this many handlers before it waits for the registry again (and the
// starter, without a spawner, before it looks for newcomers again): a thread start took 80 to
// 150 us in a crowd's arrival (measured: docs/benchmarks.md), a registration a fraction of that,
// and the room reaches a newcomer once it is registered, whether its handler runs or not.
constexpr int STARTS_BETWEEN_LOOKS = 16;

// Starts c's handler. If no thread can be had, the client leaves as any other does, so the
// registry never keeps a client nobody serves.
static void start_handler(client *c)
{
    if (!start_thread(handle_client, c)) {
        hand_over_departure(c);
        events.write_unattended();
    }
}

// Makes each new connection its client record and hands them all over for registration
// (hand_over_newcomers) in one go, then appends them to `unstarted`, whose handlers are still to be
// started. A handler may start receiving before the registry has taken its client in, and then takes
// it in itself on its first use of the registry if nobody has yet.
static void make_clients(const std::vector<arrival> &batch, std::vector<client *> &unstarted)
{
    std::size_t first = unstarted.size();
    auto now = std::chrono::steady_clock::now();
    for (const arrival &a : batch) {
        waker *alarm = a.alarm != nullptr ? a.alarm : make_waker();
        if (alarm == nullptr) {
            close_socket(a.sock);
            continue;
        }
        unstarted.push_back(new client{a.sock, alarm, {}, 0, false, now, false, now, false, false});
    }
    if (unstarted.size() == first)
        return;
    hand_over_newcomers(unstarted.data() + first, unstarted.size() - first);
}

// Registered clients whose handlers are still to be started, in the order they came, for the
// spawner; guarded by spawn_mtx, which nothing else takes.
static std::vector<client *> to_spawn;
static std::mutex spawn_mtx;
static std::condition_variable spawn_wake;  // with spawn_mtx: handlers wait to be started
static bool spawner_running = false;  // set before the starter starts; else the starter starts them

// A wait for the registry longer than this is not one fan-out to a crowd (tens of milliseconds)
// but a room busy throughout, which lets it go only now and then: group by group, 5,000 handlers
// then took half a minute to start (measured), their clients unread and their heartbeats
// unanswered meanwhile. So after such a wait the rest of the batch starts at once.
constexpr auto LONGEST_WAIT = std::chrono::milliseconds(100);

// The spawner: starts the handlers of the starter's clients, STARTS_BETWEEN_LOOKS at a time, each
// group once the registry is free. A fan-out holds the registry for its whole round, and one to a
// crowd takes tens of milliseconds; its receivers are reached whether their handlers run yet or
// not, and on a relay short of CPU the thread starts would take half the core from it meanwhile
// (measured: docs/benchmarks.md). Only the starts wait: the starter registers newcomers without
// waiting for the registry.
static void run_spawner(void *)
{
    std::vector<client *> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(spawn_mtx);
            spawn_wake.wait(lock, [] { return !to_spawn.empty(); });
            batch.swap(to_spawn);
        }
        bool waiting = true;
        for (std::size_t i = 0; i < batch.size(); ++i) {
            if (waiting && i % STARTS_BETWEEN_LOOKS == 0) {
                auto asked = std::chrono::steady_clock::now();
                wait_for_registry();
                waiting = std::chrono::steady_clock::now() - asked < LONGEST_WAIT;
            }
            start_handler(batch[i]);
        }
        batch.clear();
        events.write_unattended();
    }
}

// Gives the spawner clients whose handlers are to be started.
static void give_to_spawner(client *const *newcomers, std::size_t count)
{
    bool idle;
    {
        std::lock_guard<std::mutex> lock(spawn_mtx);
        idle = to_spawn.empty();
        to_spawn.insert(to_spawn.end(), newcomers, newcomers + count);
    }
    if (idle)
        spawn_wake.notify_one();  // else it has been woken already, and finds these with the rest
}

// The starter: takes in whoever the accept loop handed over, and has their handlers started by the
// spawner; without one, starts them itself, newcomers first, so that a crowd's later half is
// registered while the earlier half's threads start.
static void run_starter(void *)
{
    std::vector<arrival> batch;
    std::vector<client *> unstarted;
    std::size_t started = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(arrivals_mtx);
            if (started == unstarted.size())
                arrivals_wake.wait(lock, [] { return !arrivals.empty(); });
            batch.swap(arrivals);
        }
        if (started == unstarted.size()) {
            unstarted.clear();
            started = 0;
        }
        make_clients(batch, unstarted);
        batch.clear();
        if (spawner_running) {
            if (started < unstarted.size())
                give_to_spawner(unstarted.data() + started, unstarted.size() - started);
            started = unstarted.size();
        }
        for (int i = 0; i < STARTS_BETWEEN_LOOKS && started < unstarted.size(); ++i)
            start_handler(unstarted[started++]);
        events.write_unattended();
    }
}

// Hands the accept loop's newcomers to the starter, or, without one, takes them in itself.
void give_to_starter(const SOCKET *socks, waker *const *wakers, int count)
{
    if (!starter_running) {
        static std::vector<arrival> batch;
        static std::vector<client *> unstarted;
        for (int i = 0; i < count; ++i)
            batch.push_back(arrival{socks[i], wakers[i]});
        make_clients(batch, unstarted);
        batch.clear();
        for (client *c : unstarted)
            start_handler(c);
        unstarted.clear();
        events.write_unattended();
        return;
    }
    bool idle;
    {
        std::lock_guard<std::mutex> lock(arrivals_mtx);
        idle = arrivals.empty();
        for (int i = 0; i < count; ++i)
            arrivals.push_back(arrival{socks[i], wakers[i]});
    }
    if (idle)
        arrivals_wake.notify_one();  // else it has been woken already, and finds these with the rest
}

// Starts the spawner, then the starter; without the spawner, the starter starts the handlers
// itself, and without the starter, the accept loop takes newcomers in itself (give_to_starter).
void start_starter()
{
    spawner_running = start_thread(run_spawner, nullptr);
    starter_running = start_thread(run_starter, nullptr);
}
