// soak.cpp - the load generator's soak mode: hours of mixed load and faults against one relay on
// 127.0.0.1:8888, every client a connection in one epoll loop, checked as it goes.
//
// Load, on a timetable of minutes (t = seconds since start):
//   chatters  200 clients that each send a record every 200 ms (1,000 records/s in all) and read
//             everything; every record any of them sends is checked by every other (a chatter
//             silent for 4 s, as when the chat stops at the end, heartbeats like chat_client);
//   churn     50 clients a second that connect, stay 0.2 to 1 s and leave: a third by reset, a third
//             by close, a third half-closed (they stop sending and wait for the relay to close);
//             half of each send a record first;
//   minute    at t = 60k + 5: a client that reads for 2 s and then stops reading while heartbeating
//             (the relay must cut it off before the minute ends, and the chatters' p99 must stay
//             under 2 s each second meanwhile), and one that sends a heartbeat and then nothing
//             (the relay must close it 10 to 11 s after that byte);
//   burst     at t = 300k + 2: 1,000 connections at once that heartbeat for 55 s, then leave
//             together (so that they are gone by the next quiet point);
//   quiet     at t = 60k (k = 0 .. minutes): churn pauses from 3 s before until 2 s after, and then
//             only the chatters are connected: the relay's threads and descriptors must be back to
//             at most what they were at t = 0, within 10 s.
// The relay's resident memory at the last quiet point may exceed that at the quiet point of minute 5
// (of minute 1 in shorter runs) by --rss-margin-kib. A run of one minute (the CI check) is squeezed
// to hold one of everything: the burst stays 15 s, a quiet point at t = 20 s is the memory's
// reference, and the stalled and silent clients start at t = 22 s.
//
// Records: those of load_client.h, with a checksum. Each is sent in one send, and its size divides the relay's
// 4 KiB receive, so that however many wait in a sender's socket a receive ends on a record's end
// and the relay passes records on whole: every chatter must see every other chatter's
// records exactly once, in order, intact. Heartbeat answers arrive between relayed chunks; a reader
// knows how many it owes and strips them.
//
// Options scale the load (--chatters, --rate, --size, --churn, --burst: run.sh uses smaller ones under
// Wine) and name the relay's process (--server-pid) and, under Wine, its wineserver's.
//
// Writes a line a second to --samples (time, the relay's memory, threads, descriptors, CPU, and
// the chatters' latency that second), a line a minute to standard output, and at the end a line of
// key=value pairs with "result=pass" or "result=fail" and the reasons. Exit status 0 only on pass.
#include "load_client.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace soak {

using load::mono_ns;

const std::uint32_t MAGIC = 0x5A0CF00Du;
const std::size_t HEADER = load::RECORD_HEADER;
const std::uint16_t GUEST = 60000;    // sender ids from here are churn clients
const double HEARTBEAT = 4.0;         // as chat_client: a heartbeat after 4 s of its own silence
const double SILENCE_LIMIT = 10.0;    // the relay's

struct Options {
    double minutes = 60;
    int chatters = 200;
    double rate = 1000;  // records per second, all chatters together
    std::size_t size = 256;
    double churn = 50;   // connections per second
    int burst = 1000;
    double burst_hold = 55;
    double rss_margin_kib = 2048;
    int server_pid = 0;
    int wineserver_pid = 0;
    std::string samples;
};

Options opt;

void make_record(std::string &out, std::uint16_t sender, std::uint64_t seq, std::size_t size)
{
    load::make_record(out, MAGIC, sender, seq, size, true);
}

enum Kind { CHATTER, CHURN, STALLER, SILENT, CROWD };
enum Leave { RESET, CLOSE, HALF_CLOSE };

struct Conn {
    int fd = -1;
    Kind kind = CHATTER;
    int id = 0;  // chatter: its sender id
    bool connected = false, closed = false, reading = true, sent_first = false;
    std::string in, out;
    double opened = 0, last_send = 0, closed_at = -1;
    int pongs_owed = 0;
    // chatter
    std::uint64_t next_seq = 0;
    std::vector<std::uint64_t> expect;           // per chatter: next sequence number due
    std::vector<std::set<std::uint64_t>> gaps;   // per chatter: numbers skipped (filled only on faults)
    // churn
    Leave leave = CLOSE;
    bool send_first = false, half_closed = false;
    double leave_at = 0;
    // staller and silent client
    double stop_at = 0, last_byte = -1;
};

struct Counts {
    std::uint64_t records = 0, lost = 0, repeated = 0, reordered = 0, corrupt = 0, guests = 0, stray_pongs = 0;
    void add(const Counts &o)
    {
        records += o.records, lost += o.lost, repeated += o.repeated, reordered += o.reordered;
        corrupt += o.corrupt, guests += o.guests, stray_pongs += o.stray_pongs;
    }
};

std::vector<std::unique_ptr<Conn>> conns;  // index = epoll tag
std::vector<int> free_slots, freed_now;
int ep = -1;
double t0 = 0;
Counts minute_counts, total_counts;
// Latencies in microseconds, in steps of 10 us up to 100 ms, then of 10 ms up to 100 s; a percentile
// is the upper end of its step.
load::Histogram minute_latency{10, true}, second_latency{10, true}, total_latency{10, true};
std::vector<std::pair<std::string, int>> failures;  // reason, times
std::mt19937 rng(12345);
std::uint64_t partial_sends = 0, churn_opened = 0, churn_sent_first = 0, connect_failures = 0;
std::uint16_t guest_seq = 0;

double now_s()
{
    return load::mono_s() - t0;
}

// Records a failure; the same reason again is only counted.
void fail(const std::string &why)
{
    for (auto &f : failures)
        if (f.first == why) {
            ++f.second;
            return;
        }
    std::fprintf(stderr, "soak: t=%.1f FAIL %s\n", now_s(), why.c_str());
    failures.emplace_back(why, 1);
}

void watch(Conn &c, int index, int op)
{
    epoll_event ev{};
    ev.events = (c.reading ? static_cast<unsigned>(EPOLLIN) : 0u) | EPOLLRDHUP |
                (!c.connected || !c.out.empty() ? static_cast<unsigned>(EPOLLOUT) : 0u);
    ev.data.u32 = static_cast<std::uint32_t>(index);
    epoll_ctl(ep, op, c.fd, &ev);
}

int index_of(const Conn &c)
{
    for (std::size_t i = 0; i < conns.size(); ++i)
        if (conns[i].get() == &c)
            return static_cast<int>(i);
    return -1;
}

int open_conn(Kind kind, int rcvbuf = 0)
{
    load::Dialled d = load::connect_relay(true, rcvbuf);
    if (d.fd < 0) {
        if (d.failed == std::string("socket"))
            fail(std::string("socket: ") + std::strerror(d.error));
        else
            ++connect_failures;
        return -1;
    }
    auto c = std::make_unique<Conn>();
    c->kind = kind;
    c->fd = d.fd;
    c->connected = d.connected;
    c->opened = c->last_send = now_s();
    int index;
    if (!free_slots.empty()) {
        index = free_slots.back();
        free_slots.pop_back();
        conns[static_cast<std::size_t>(index)] = std::move(c);
    } else {
        index = static_cast<int>(conns.size());
        conns.push_back(std::move(c));
    }
    watch(*conns[static_cast<std::size_t>(index)], index, EPOLL_CTL_ADD);
    return index;
}

// Closes our end; the slot is reused only after the current batch of events.
void drop(int index, bool reset)
{
    Conn &c = *conns[static_cast<std::size_t>(index)];
    if (c.fd < 0)
        return;
    if (reset) {
        linger l{1, 0};
        setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
    close(c.fd);
    c.fd = -1;
    freed_now.push_back(index);
}

void flush(Conn &c, int index)
{
    bool had = !c.out.empty();
    load::send_pending(c.fd, c.out);
    if (had || !c.out.empty())
        watch(c, index, EPOLL_CTL_MOD);
}

void send_chunk(Conn &c, int index, const std::string &chunk)
{
    if (!c.out.empty())
        ++partial_sends;  // it would leave with what waits, or in pieces: the relay may not see it whole
    c.out += chunk;
    c.last_send = now_s();
    if (c.connected)
        flush(c, index);
}

void heartbeat(Conn &c, int index)
{
    ++c.pongs_owed;
    send_chunk(c, index, "[PING]");
}

// A chatter's reading: records from other chatters in order, intact and once; records of churn
// clients intact; heartbeat answers only where owed.
void take_record(Conn &c, const char *p, std::size_t len)
{
    load::RecordHeader h = load::read_header(p);
    std::uint16_t sender = h.sender;
    std::uint64_t seq = h.seq;
    if (!load::checksum_intact(p, len)) {
        ++minute_counts.corrupt;
        return;
    }
    if (sender >= GUEST) {
        ++minute_counts.guests;
        return;
    }
    if (sender >= opt.chatters || sender == c.id) {
        ++minute_counts.corrupt;
        return;
    }
    std::uint64_t &expected = c.expect[sender];
    if (seq < expected) {
        auto &g = c.gaps[sender];
        if (g.erase(seq)) {
            ++minute_counts.reordered;
            --minute_counts.lost;
        } else {
            ++minute_counts.repeated;
        }
        return;
    }
    for (std::uint64_t s = expected; s < seq && c.gaps[sender].size() < 100000; ++s)
        c.gaps[sender].insert(s);
    minute_counts.lost += seq - expected;
    expected = seq + 1;
    ++minute_counts.records;
    auto us = (mono_ns() - h.sent_ns) / 1000;
    minute_latency.add(us);
    second_latency.add(us);
    total_latency.add(us);
}

void parse_chatter(Conn &c)
{
    std::size_t at = 0;
    const std::string &in = c.in;
    while (in.size() > at) {
        const char *p = in.data() + at;
        std::size_t avail = in.size() - at;
        if (p[0] == '[') {
            if (avail < 6)
                break;
            if (std::memcmp(p, "[PONG]", 6) == 0) {
                if (c.pongs_owed > 0)
                    --c.pongs_owed;
                else
                    ++minute_counts.stray_pongs;
                at += 6;
                continue;
            }
        }
        if (avail < 8)
            break;
        std::uint32_t magic;
        std::uint16_t size;
        std::memcpy(&magic, p, 4);
        std::memcpy(&size, p + 6, 2);
        if (magic == MAGIC && size >= HEADER + 4) {
            if (avail < size)
                break;
            take_record(c, p, size);
            at += size;
            continue;
        }
        // Not a record where one must begin: count it, and go on from the next record's start.
        ++minute_counts.corrupt;
        std::size_t next = load::find_magic(in, at + 1, MAGIC);
        at = next == std::string::npos ? in.size() : next;
    }
    c.in.erase(0, at);
}

void on_closed(Conn &c, int index)
{
    double now = now_s();
    c.closed = true;
    c.closed_at = now;
    switch (c.kind) {
    case CHATTER:
        fail("a chatter was disconnected");
        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);  // its counts are read at the end
        break;
    case CHURN:
        drop(index, false);  // the relay closed it, or it went away by itself
        break;
    case CROWD:
        fail("a burst client was disconnected while heartbeating");
        drop(index, false);
        break;
    case STALLER:
    case SILENT:
        // Kept until the minute's check reads closed_at.
        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
        break;
    }
}

char buf[1 << 16];

void on_event(int index, unsigned events)
{
    Conn &c = *conns[static_cast<std::size_t>(index)];
    if (c.fd < 0 || c.closed)
        return;
    if (!c.connected && (events & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            ++connect_failures;
            if (c.kind != CHURN)
                fail(std::string("connect: ") + std::strerror(err));
            c.closed = true;
            if (c.kind == STALLER || c.kind == SILENT)
                epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
            else
                drop(index, false);
            return;
        }
        c.connected = true;
        if (c.kind == CHURN && c.send_first) {
            std::string rec;
            make_record(rec, GUEST, guest_seq++, 64);
            send_chunk(c, index, rec);
            ++churn_sent_first;
        }
        if (c.kind == SILENT) {
            heartbeat(c, index);  // its last byte
            c.last_byte = now_s();
        }
        watch(c, index, EPOLL_CTL_MOD);
    }
    if (events & EPOLLOUT)
        flush(c, index);
    bool gone = false;
    if (c.reading && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
        for (int rounds = 0; rounds < 16; ++rounds) {
            ssize_t r = recv(c.fd, buf, sizeof buf, 0);
            if (r > 0) {
                if (c.kind == CHATTER)
                    c.in.append(buf, static_cast<std::size_t>(r));
                if (static_cast<std::size_t>(r) < sizeof buf)
                    break;
                continue;
            }
            gone = r == 0 || (errno != EAGAIN && errno != EINTR);
            break;
        }
        if (c.kind == CHATTER)
            parse_chatter(c);
    } else if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        gone = true;  // a client that reads nothing learns of the end from the reset
    }
    if (gone)
        on_closed(c, index);
}

// The timetable.
struct Minute {
    int staller = -1, silent = -1;
};

struct Sampler {
    double cpu_last = 0, ws_cpu_last = 0, at_last = 0;
    long rss = 0, threads = 0, fds = 0, ws_fds = 0;
    double cpu_pct = 0, ws_cpu_pct = 0;
};

void sample(Sampler &s)
{
    double now = now_s();
    s.rss = load::process_status(opt.server_pid, "VmRSS:");
    s.threads = load::process_status(opt.server_pid, "Threads:");
    s.fds = load::process_fds(opt.server_pid);
    s.ws_fds = load::process_fds(opt.wineserver_pid);
    double cpu = load::process_cpu_s(opt.server_pid);
    double ws_cpu = opt.wineserver_pid ? load::process_cpu_s(opt.wineserver_pid) : 0;
    double dt = now - s.at_last;
    if (s.at_last > 0 && dt > 0) {
        s.cpu_pct = 100 * (cpu - s.cpu_last) / dt;
        s.ws_cpu_pct = 100 * (ws_cpu - s.ws_cpu_last) / dt;
    }
    s.cpu_last = cpu, s.ws_cpu_last = ws_cpu, s.at_last = now;
}

int count_kind(Kind k)
{
    int n = 0;
    for (auto &c : conns)
        n += c && c->fd >= 0 && !c->closed && c->kind == k;
    return n;
}

struct Run {
    Sampler s;
    FILE *samples = nullptr;
    double next_sample = 1, next_send = 0, next_churn = 0, churn_paused_until = 0;
    int turn = 0;
    bool chatting = true;
    std::vector<int> chatters, crowd;
    double crowd_leave = -1;
    Minute minute;
    long base_threads = 0, base_fds = 0, base_ws_fds = 0, base_rss = -1;
    double base_rss_at = -1;
    long end_rss = 0;
    double worst_stall_p99 = 0, worst_stall_cut = 0, worst_silent = 0, best_silent = 1e9;
    std::vector<std::pair<double, double>> p99_by_second;  // (t, p99 us)
    int quiet_points = 0;
    std::uint64_t sent = 0;
};

Run run;

void tick_chat(double now)
{
    if (!run.chatting)
        return;
    double interval = 1.0 / opt.rate;
    while (run.next_send <= now) {
        int index = run.chatters[static_cast<std::size_t>(run.turn)];
        Conn &c = *conns[static_cast<std::size_t>(index)];
        if (c.fd >= 0 && !c.closed) {
            std::string rec;
            make_record(rec, static_cast<std::uint16_t>(c.id), c.next_seq++, opt.size);
            send_chunk(c, index, rec);
            ++run.sent;
        }
        run.turn = (run.turn + 1) % opt.chatters;
        run.next_send += interval;
    }
}

void tick_churn(double now)
{
    if (now < run.churn_paused_until || opt.churn <= 0) {
        run.next_churn = std::max(run.next_churn, now);
    } else {
        while (run.next_churn <= now) {
            int index = open_conn(CHURN);
            run.next_churn += 1.0 / opt.churn;
            if (index < 0)
                continue;
            Conn &c = *conns[static_cast<std::size_t>(index)];
            auto n = churn_opened++;
            c.leave = static_cast<Leave>(n % 3);
            c.send_first = (n / 3) % 2 == 0;
            c.leave_at = now + std::uniform_real_distribution<double>(0.2, 1.0)(rng);
        }
    }
    for (std::size_t i = 0; i < conns.size(); ++i) {
        Conn *c = conns[i].get();
        if (!c || c->fd < 0 || c->kind != CHURN || c->closed)
            continue;
        int index = static_cast<int>(i);
        if (!c->half_closed && now >= c->leave_at) {
            if (c->leave == HALF_CLOSE && c->connected) {
                shutdown(c->fd, SHUT_WR);
                c->half_closed = true;
            } else {
                drop(index, c->leave == RESET);
            }
        } else if (c->half_closed && now - c->leave_at > 5) {
            fail("a half-closed client was not closed by the relay within 5 s");
            drop(index, false);
        }
    }
}

void tick_heartbeats(double now)
{
    for (std::size_t i = 0; i < conns.size(); ++i) {
        Conn *c = conns[i].get();
        if (!c || c->fd < 0 || c->closed || !c->connected)
            continue;
        if ((c->kind == CROWD || c->kind == STALLER || c->kind == CHATTER) && now - c->last_send >= HEARTBEAT)
            heartbeat(*c, static_cast<int>(i));
        if (c->kind == STALLER && c->reading && now >= c->stop_at) {
            c->reading = false;  // stops reading, heartbeating on
            watch(*c, static_cast<int>(i), EPOLL_CTL_MOD);
        }
    }
}

// Runs the loop until `until`, calling tick about every millisecond.
template <typename Tick>
void loop_until(double until, Tick tick)
{
    std::vector<epoll_event> events(4096);
    while (now_s() < until) {
        int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 1);
        for (int i = 0; i < n; ++i)
            on_event(static_cast<int>(events[static_cast<std::size_t>(i)].data.u32), events[static_cast<std::size_t>(i)].events);
        for (int index : freed_now) {
            conns[static_cast<std::size_t>(index)].reset();
            free_slots.push_back(index);
        }
        freed_now.clear();
        tick(now_s());
    }
}

void write_sample(double now)
{
    sample(run.s);
    if (!load::process_alive(opt.server_pid))
        fail("the relay died");
    double p50 = second_latency.percentile(50), p99 = second_latency.percentile(99);
    run.p99_by_second.emplace_back(now, p99);
    if (run.samples) {
        std::fprintf(run.samples, "%.0f %ld %ld %ld %ld %.1f %.1f %.0f %.0f %llu %d %d %d\n", now, run.s.rss,
                     run.s.threads, run.s.fds, run.s.ws_fds, run.s.cpu_pct, run.s.ws_cpu_pct, p50, p99,
                     static_cast<unsigned long long>(second_latency.count), count_kind(CHATTER), count_kind(CHURN),
                     count_kind(CROWD));
        std::fflush(run.samples);
    }
    second_latency.clear();
}

void main_tick(double now)
{
    tick_chat(now);
    tick_churn(now);
    tick_heartbeats(now);
    if (run.crowd_leave > 0 && now >= run.crowd_leave) {
        for (int index : run.crowd)
            if (conns[static_cast<std::size_t>(index)] && conns[static_cast<std::size_t>(index)]->fd >= 0)
                drop(index, false);
        run.crowd.clear();
        run.crowd_leave = -1;
        std::fprintf(stderr, "soak: t=%.1f burst left\n", now);
    }
    if (now >= run.next_sample) {
        write_sample(now);
        run.next_sample += 1;
    }
}

// Only chatters connected: the relay's threads and descriptors must come back to the first quiet
// point's within 10 s (under Wine, a crowd's departure keeps its wineserver busy for seconds).
void quiet_point(double at, bool memory_base)
{
    run.churn_paused_until = 1e18;
    double from = now_s();
    bool settled = false;
    while (now_s() - from < 10) {
        loop_until(now_s() + 0.25, main_tick);
        sample(run.s);
        bool others = count_kind(CHURN) + count_kind(CROWD) > 0;
        if (run.quiet_points == 0) {
            settled = !others && run.s.threads > opt.chatters && run.s.fds >= 2 * opt.chatters &&
                      run.s.threads == run.base_threads && run.s.fds == run.base_fds && run.s.ws_fds == run.base_ws_fds;
            run.base_threads = run.s.threads, run.base_fds = run.s.fds, run.base_ws_fds = run.s.ws_fds;
        } else {
            // At most as many as at first: under Wine, the wineserver closes a few descriptors of its
            // start-up for good later on.
            settled = !others && run.s.threads <= run.base_threads && run.s.fds <= run.base_fds &&
                      run.s.ws_fds <= run.base_ws_fds;
        }
        if (settled)
            break;
    }
    ++run.quiet_points;
    std::printf("quiet at_min=%.2f t=%.1f rss_kib=%ld threads=%ld fds=%ld wineserver_fds=%ld settled=%d\n", at,
                now_s(), run.s.rss, run.s.threads, run.s.fds, run.s.ws_fds, settled ? 1 : 0);
    std::fflush(stdout);
    if (!settled)
        fail("quiet point at minute " + std::to_string(at) + ": threads " + std::to_string(run.s.threads) + "/" +
             std::to_string(run.base_threads) + ", descriptors " + std::to_string(run.s.fds) + "/" +
             std::to_string(run.base_fds) + ", wineserver descriptors " + std::to_string(run.s.ws_fds) + "/" +
             std::to_string(run.base_ws_fds) + " (now/first)");
    if (memory_base)
        run.base_rss = run.s.rss, run.base_rss_at = at;
    run.end_rss = run.s.rss;
}

// The stalled and the silent client of the minute that ends now: both must be gone, in time.
void check_minute(int m)
{
    Minute &mm = run.minute;
    double stall_cut = -1, silent_after = -1, stall_p99 = 0;
    if (mm.staller >= 0) {
        Conn &c = *conns[static_cast<std::size_t>(mm.staller)];
        stall_cut = c.closed ? c.closed_at - c.stop_at : -1;
        // The readers' worst second from the stop until 2 s after the cut-off.
        double until = c.closed ? c.closed_at + 2 : now_s();
        for (auto &s : run.p99_by_second)
            if (s.first > c.stop_at && s.first <= until + 1)
                stall_p99 = std::max(stall_p99, s.second);
        if (!c.closed)
            fail("minute " + std::to_string(m) + ": the client that stopped reading was not cut off by the minute's end");
        else
            run.worst_stall_cut = std::max(run.worst_stall_cut, stall_cut);
        drop(mm.staller, false);
    }
    if (mm.silent >= 0) {
        Conn &c = *conns[static_cast<std::size_t>(mm.silent)];
        silent_after = c.closed && c.last_byte >= 0 ? c.closed_at - c.last_byte : -1;
        if (silent_after < SILENCE_LIMIT || silent_after > SILENCE_LIMIT + 1)
            fail("minute " + std::to_string(m) + ": the silent client was closed " + std::to_string(silent_after) +
                 " s after its last byte (-1: never), not 10 to 11 s");
        else
            run.worst_silent = std::max(run.worst_silent, silent_after), run.best_silent = std::min(run.best_silent, silent_after);
        drop(mm.silent, false);
    }
    if (stall_p99 > 2e6)
        fail("minute " + std::to_string(m) + ": readers' p99 reached " + std::to_string(stall_p99 / 1e6) +
             " s around the stalled client");
    run.worst_stall_p99 = std::max(run.worst_stall_p99, stall_p99);
    Counts &k = minute_counts;
    std::printf("minute=%d records=%llu p50_us=%.0f p99_us=%.0f max_us=%llu lost=%llu repeated=%llu reordered=%llu "
                "corrupt=%llu stray_pongs=%llu guest_records=%llu stall_cut_s=%.2f stall_p99_us=%.0f silent_closed_s=%.3f "
                "rss_kib=%ld threads=%ld fds=%ld wineserver_fds=%ld\n",
                m, static_cast<unsigned long long>(k.records), minute_latency.percentile(50), minute_latency.percentile(99),
                static_cast<unsigned long long>(minute_latency.max_us), static_cast<unsigned long long>(k.lost),
                static_cast<unsigned long long>(k.repeated), static_cast<unsigned long long>(k.reordered),
                static_cast<unsigned long long>(k.corrupt), static_cast<unsigned long long>(k.stray_pongs),
                static_cast<unsigned long long>(k.guests), stall_cut, stall_p99, silent_after, run.s.rss,
                run.s.threads, run.s.fds, run.s.ws_fds);
    std::fflush(stdout);
    if (k.lost + k.repeated + k.reordered + k.corrupt + k.stray_pongs > 0)
        fail("minute " + std::to_string(m) + ": records lost, repeated, reordered or corrupted (see its line)");
    total_counts.add(k);
    k = Counts();
    minute_latency.clear();
    mm = Minute();
}

void start_minute_faults(double now)
{
    run.minute.staller = open_conn(STALLER);
    run.minute.silent = open_conn(SILENT);
    if (run.minute.staller >= 0)
        conns[static_cast<std::size_t>(run.minute.staller)]->stop_at = now + 2;
}

void start_burst(double now)
{
    for (int i = 0; i < opt.burst; ++i) {
        int index = open_conn(CROWD);
        if (index >= 0)
            run.crowd.push_back(index);
    }
    run.crowd_leave = now + opt.burst_hold;
    std::fprintf(stderr, "soak: t=%.1f burst of %d\n", now, opt.burst);
}

int run_soak()
{
    load::raise_descriptor_limit();
    ep = epoll_create1(EPOLL_CLOEXEC);
    if (!opt.samples.empty()) {
        run.samples = std::fopen(opt.samples.c_str(), "w");
        if (run.samples)
            std::fprintf(run.samples, "# t_s rss_kib threads fds wineserver_fds cpu_pct wineserver_cpu_pct p50_us p99_us "
                                      "records chatters churn crowd\n");
    }
    t0 = load::mono_s();
    for (int i = 0; i < opt.chatters; ++i) {
        int index = open_conn(CHATTER);
        if (index < 0)
            return 1;
        Conn &c = *conns[static_cast<std::size_t>(index)];
        c.id = i;
        c.expect.assign(static_cast<std::size_t>(opt.chatters), 0);
        c.gaps.resize(static_cast<std::size_t>(opt.chatters));
        run.chatters.push_back(index);
    }
    // Until every chatter is registered, a record might reach only some: nobody sends yet.
    run.chatting = false;
    loop_until(2, [](double) {});
    quiet_point(0, false);
    // The clock starts now: minute k runs from t0 + 60k.
    t0 = load::mono_s();
    run.next_sample = 1;
    run.next_send = 0;
    run.chatting = true;
    int minutes = static_cast<int>(std::lround(opt.minutes));
    // Memory is compared with a quiet point after the first burst has come and gone: minute 5, or
    // minute 1 in shorter runs. A run of one minute has a shorter burst and a quiet point of its
    // own after it (20 s in), and its stalled and silent clients come after that.
    int memory_base_minute = minutes > 5 ? 5 : 1;
    bool one_minute = minutes == 1;
    if (one_minute)
        opt.burst_hold = 15;
    for (int m = 0; m < minutes; ++m) {
        double base = 60.0 * m;
        if (m > 0) {
            loop_until(base, main_tick);
            quiet_point(m, m == memory_base_minute);
        }
        run.churn_paused_until = 0;
        if (m % 5 == 0) {
            loop_until(base + 2, main_tick);
            start_burst(now_s());
        }
        double faults_at = base + 5;
        if (one_minute) {
            loop_until(base + 17, main_tick);
            run.churn_paused_until = 1e18;
            loop_until(base + 20, main_tick);
            quiet_point(base / 60 + 1.0 / 3, true);
            run.churn_paused_until = 0;
            faults_at = base + 22;
        }
        loop_until(faults_at, main_tick);
        start_minute_faults(now_s());
        loop_until(base + 57, main_tick);
        run.churn_paused_until = 1e18;  // until the next quiet point is over
        loop_until(base + 59.5, main_tick);
        check_minute(m);
        if (!load::process_alive(opt.server_pid))
            break;
    }
    // The end: chat stops, what was sent arrives, and then only the chatters remain.
    double end = 60.0 * minutes;
    loop_until(end, main_tick);
    run.chatting = false;
    loop_until(end + 3, main_tick);
    quiet_point(minutes, false);
    std::uint64_t missing = 0;
    for (int a : run.chatters) {
        Conn &r = *conns[static_cast<std::size_t>(a)];
        if (r.closed)
            continue;
        for (int b : run.chatters) {
            Conn &s = *conns[static_cast<std::size_t>(b)];
            if (&s != &r)
                missing += s.next_seq - r.expect[static_cast<std::size_t>(s.id)];
        }
    }
    total_counts.add(minute_counts);
    total_counts.lost += missing;
    if (missing > 0)
        fail("records never delivered at the end: " + std::to_string(missing));
    if (run.base_rss >= 0 && run.end_rss > run.base_rss + static_cast<long>(opt.rss_margin_kib))
        fail("resident memory at the end, " + std::to_string(run.end_rss) + " KiB, exceeds minute " +
             std::to_string(run.base_rss_at) + "'s " + std::to_string(run.base_rss) + " KiB by more than " +
             std::to_string(static_cast<long>(opt.rss_margin_kib)) + " KiB");
    if (partial_sends > 0)
        std::fprintf(stderr, "soak: %llu records could not be sent whole at once\n",
                     static_cast<unsigned long long>(partial_sends));
    std::printf("result=%s minutes=%d chatters=%d rate=%.0f size=%zu sent=%llu delivered=%llu lost=%llu repeated=%llu "
                "reordered=%llu corrupt=%llu stray_pongs=%llu guest_records=%llu p50_us=%.0f p99_us=%.0f p999_us=%.0f "
                "max_us=%llu churn_clients=%llu churn_sent_first=%llu connect_failures=%llu partial_sends=%llu "
                "worst_stall_cut_s=%.2f worst_stall_p99_us=%.0f silent_closed_s=%.3f..%.3f base_threads=%ld base_fds=%ld "
                "base_wineserver_fds=%ld rss_base_kib=%ld rss_base_at_min=%.2f rss_end_kib=%ld rss_margin_kib=%.0f "
                "quiet_points=%d failures=%zu\n",
                failures.empty() ? "pass" : "fail", minutes, opt.chatters, opt.rate, opt.size,
                static_cast<unsigned long long>(run.sent), static_cast<unsigned long long>(total_counts.records),
                static_cast<unsigned long long>(total_counts.lost), static_cast<unsigned long long>(total_counts.repeated),
                static_cast<unsigned long long>(total_counts.reordered), static_cast<unsigned long long>(total_counts.corrupt),
                static_cast<unsigned long long>(total_counts.stray_pongs), static_cast<unsigned long long>(total_counts.guests),
                total_latency.percentile(50), total_latency.percentile(99), total_latency.percentile(99.9),
                static_cast<unsigned long long>(total_latency.max_us), static_cast<unsigned long long>(churn_opened),
                static_cast<unsigned long long>(churn_sent_first), static_cast<unsigned long long>(connect_failures),
                static_cast<unsigned long long>(partial_sends), run.worst_stall_cut, run.worst_stall_p99,
                run.best_silent > 1e8 ? -1.0 : run.best_silent, run.worst_silent, run.base_threads, run.base_fds,
                run.base_ws_fds, run.base_rss, run.base_rss_at, run.end_rss, opt.rss_margin_kib, run.quiet_points,
                failures.size());
    for (const auto &f : failures)
        std::printf("failure: %s (%d times)\n", f.first.c_str(), f.second);
    std::fflush(stdout);
    if (run.samples)
        std::fclose(run.samples);
    return failures.empty() ? 0 : 1;
}

}  // namespace soak

// Options come as "--name value" pairs after "--mode soak".
int soak_main(int argc, char **argv)
{
    using soak::opt;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--mode")
            continue;
        if (k == "--minutes")
            opt.minutes = std::atof(v.c_str());
        else if (k == "--chatters")
            opt.chatters = std::atoi(v.c_str());
        else if (k == "--rate")
            opt.rate = std::atof(v.c_str());
        else if (k == "--size")
            opt.size = static_cast<std::size_t>(std::atoi(v.c_str()));
        else if (k == "--churn")
            opt.churn = std::atof(v.c_str());
        else if (k == "--burst")
            opt.burst = std::atoi(v.c_str());
        else if (k == "--rss-margin-kib")
            opt.rss_margin_kib = std::atof(v.c_str());
        else if (k == "--server-pid")
            opt.server_pid = std::atoi(v.c_str());
        else if (k == "--wineserver-pid")
            opt.wineserver_pid = std::atoi(v.c_str());
        else if (k == "--samples")
            opt.samples = v;
        else {
            std::fprintf(stderr, "loadgen: unknown soak option %s\n", k.c_str());
            return 2;
        }
    }
    if (opt.size < 32 || opt.size > 2048 || (opt.size & (opt.size - 1)) != 0 || opt.chatters < 2 || opt.chatters >= soak::GUEST ||
        opt.minutes < 1 || opt.server_pid == 0) {
        std::fprintf(stderr, "loadgen: soak needs --server-pid, --minutes >= 1, --size a power of two from 32 to 2048, --chatters >= 2\n");
        return 2;
    }
    return soak::run_soak();
}
