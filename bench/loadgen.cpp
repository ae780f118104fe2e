// loadgen.cpp - load generator for a chat relay on 127.0.0.1:8888: many clients in one epoll loop.
//
// Modes:
//   paced  senders send fixed-size records at a fixed rate; every client reads and checks them.
//          With --drip S, every other client sends one byte each S seconds (staggered), as a
//          client that only just keeps its place does, and counts the drips of the others; with
//          --late N, N more such clients connect 2 s into the run, while the room is busy; with
//          --fall-silent S, the drippers all stop sending at the end of the window (a lab switched
//          off) while the chat goes on for up to S seconds more, and the times at which the relay
//          drops them, counted from each one's last byte, are reported (silent_*).
//          --heartbeat S sends heartbeats from the clients that send nothing else, all together
//          every S seconds, or with --heartbeat-spread 1 one client at a time, spread over S.
//   flat   senders send records as fast as the relay takes them
//   burst  clients connect all at once; time until a message reaches all, then an idle hold
//   soak   minutes to hours of mixed load and faults, checked as it goes (soak.cpp)
//
// Records are those of load_client.h, without a checksum. Relays pass a byte stream, not records:
// when a relay's receive ends inside a record, another sender's bytes may follow before the rest;
// such a record is counted as split (not as corrupted), and the reader finds the next record by its
// magic.
//
// Prints one line of key=value pairs.
#include "load_client.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <vector>

namespace {

using load::mono_ns;

const std::uint32_t MAGIC = 0xC4A7F00Du;
const std::uint16_t PROBE = 0xFFFF;  // the sender id of burst probes
const size_t HEADER = load::RECORD_HEADER;

struct Options {
    std::string mode = "paced";
    int clients = 10;
    int senders = 10;
    double rate = 100;  // records per second per sender (paced)
    size_t size = 64;
    double seconds = 5;
    int stalled = 0;
    double heartbeat = 0;  // seconds between heartbeats; 0: none
    double hold = 30;      // burst: idle hold
    int server_pid = 0;
    double drip = 0;  // seconds between one client's drips; 0: no drips
    int late = 0;     // clients that join 2 s into the run
    bool heartbeat_spread = false;  // heartbeats one client at a time, not all together
    double fall_silent = 0;  // seconds the chat goes on after the drippers fall silent; 0: they do not
};

// Drip bytes: sent before the measured window (not counted) and in it (counted by every receiver).
const char DRIP_WARM = 0x01;
const char DRIP = 0x02;

void make_record(std::string &out, std::uint16_t sender, std::uint64_t seq, size_t size)
{
    load::make_record(out, MAGIC, sender, seq, size, false);
}

struct Conn {
    int fd = -1;
    int index = 0;
    bool sender = false, stalled = false, connected = false, closed = false;
    std::string in, out;  // unparsed input; output not yet taken by the socket
    std::uint64_t next_seq = 0;
    std::map<std::uint16_t, std::uint64_t> expect;  // per sender: next sequence number expected
    double first_probe = -1, cut_at = -1;
    std::uint64_t ping_sent_ns = 0;
    bool dripper = false, late = false, reset = false, silent = false;
    double last_drip = -1;
    double opened = 0, first_byte = -1, next_drip = 0;
    std::uint64_t drips_out = 0, drips_in = 0;
};

struct Totals {
    std::uint64_t records = 0, bytes = 0, lost = 0, repeated = 0, corrupt = 0, split = 0, pongs = 0, pings = 0;
    // Latencies in microseconds, to the microsecond up to 10 ms, then to the millisecond up to 10 s.
    load::Histogram latency{1, false}, heartbeat_rtt{1, false};
} totals;

Options opt;
std::vector<Conn> conns;
int ep = -1;
double start = 0;  // mono_s()
bool measuring = false;

double since_start()
{
    return load::mono_s() - start;
}

bool valid_record(const char *p, size_t avail, size_t *len)
{
    load::RecordHeader h = load::read_header(p);
    if (h.magic != MAGIC || h.size < HEADER || (h.sender >= opt.senders && h.sender != PROBE))
        return false;
    *len = h.size;
    if (avail < h.size)
        return true;  // so far so good
    return load::payload_intact(p, h.size);
}

void take_record(Conn &c, const char *p)
{
    load::RecordHeader h = load::read_header(p);
    std::uint16_t sender = h.sender;
    std::uint64_t seq = h.seq;
    if (sender == PROBE) {
        if (c.first_probe < 0)
            c.first_probe = since_start();
        return;
    }
    auto it = c.expect.find(sender);
    std::uint64_t expected = it == c.expect.end() ? (c.late ? seq : 0) : it->second;  // the late missed the start
    if (seq < expected) {
        ++totals.repeated;
        return;
    }
    totals.lost += seq - expected;  // split records show here too; see `split`
    c.expect[sender] = seq + 1;
    if (!measuring)
        return;
    ++totals.records;
    totals.bytes += h.size;
    totals.latency.add((mono_ns() - h.sent_ns) / 1000);
}

// Parses what has arrived: records, heartbeat answers, relayed heartbeats (from relays that do not
// answer them), and after a split record, whatever comes until the next record.
void parse(Conn &c)
{
    size_t at = 0;
    const std::string &in = c.in;
    while (at < in.size()) {
        if (in[at] == DRIP || in[at] == DRIP_WARM) {  // a drip arrives as a chunk of its own
            c.drips_in += in[at] == DRIP;
            ++at;
            continue;
        }
        if (in.size() - at < 6)
            break;
        const char *p = in.data() + at;
        if (std::memcmp(p, "[PONG]", 6) == 0) {
            ++totals.pongs;
            if (c.ping_sent_ns != 0) {
                totals.heartbeat_rtt.add((mono_ns() - c.ping_sent_ns) / 1000);
                c.ping_sent_ns = 0;
            }
            at += 6;
            continue;
        }
        if (std::memcmp(p, "[PING]", 6) == 0) {
            at += 6;
            continue;
        }
        size_t len = 0;
        if (in.size() - at >= HEADER && valid_record(p, in.size() - at, &len)) {
            if (in.size() - at < len)
                break;  // wait for the rest
            take_record(c, p);
            at += len;
            continue;
        }
        if (in.size() - at < HEADER && std::memcmp(p, &MAGIC, 4) == 0)
            break;
        // Not a record start: a split record. Skip to the next magic.
        ++totals.split;
        size_t next = load::find_magic(in, at + 1, MAGIC);
        at = next == std::string::npos ? in.size() - 3 : next;
    }
    c.in.erase(0, at);
}

void watch(Conn &c, bool want_write)
{
    epoll_event ev{};
    ev.events = (c.stalled ? 0u : static_cast<unsigned>(EPOLLIN)) | EPOLLRDHUP | (want_write ? EPOLLOUT : 0u);
    ev.data.u32 = static_cast<std::uint32_t>(c.index);
    epoll_ctl(ep, EPOLL_CTL_MOD, c.fd, &ev);
}

void flush(Conn &c)
{
    load::send_pending(c.fd, c.out);
    watch(c, !c.out.empty() || (opt.mode == "flat" && c.sender && measuring));
}

void send_text(Conn &c, const char *text)
{
    c.out += text;
    flush(c);
}

void open_clients(int n, bool nonblocking_connect)
{
    for (int i = 0; i < n; ++i) {
        Conn c;
        c.index = static_cast<int>(conns.size());
        c.stalled = i >= n - opt.stalled && opt.mode != "burst";
        load::Dialled d = load::connect_relay(nonblocking_connect, c.stalled ? 4096 : 0);
        if (d.fd < 0) {
            std::fprintf(stderr, "loadgen: %s: %s\n", d.failed, std::strerror(d.error));
            std::exit(1);
        }
        c.fd = d.fd;
        c.connected = d.connected;
        c.sender = !c.stalled && i < opt.senders && opt.mode != "burst";
        c.dripper = opt.drip > 0 && !c.stalled && !c.sender;
        epoll_event ev{};
        ev.events = (c.stalled ? 0u : static_cast<unsigned>(EPOLLIN)) | EPOLLRDHUP | (c.connected ? 0u : EPOLLOUT);
        ev.data.u32 = static_cast<std::uint32_t>(c.index);
        epoll_ctl(ep, EPOLL_CTL_ADD, c.fd, &ev);
        conns.push_back(std::move(c));
    }
}

// Runs the event loop until `until` (seconds since start). `tick` runs about every millisecond.
template <typename Tick>
void run_until(double until, Tick tick)
{
    std::vector<epoll_event> events(1024);
    char buf[65536];
    while (since_start() < until) {
        int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 1);
        for (int i = 0; i < n; ++i) {
            Conn &c = conns[events[i].data.u32];
            if (events[i].events & EPOLLOUT) {
                c.connected = true;
                flush(c);
            }
            if (events[i].events & EPOLLIN) {
                for (;;) {
                    ssize_t r = recv(c.fd, buf, sizeof buf, 0);
                    if (r > 0) {
                        if (c.first_byte < 0)
                            c.first_byte = since_start();
                        c.in.append(buf, static_cast<size_t>(r));
                        continue;
                    }
                    if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
                        c.closed = true;
                        c.reset = r < 0;  // cut off for falling behind; a close is a time-out
                        c.cut_at = since_start();
                        epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
                    }
                    break;
                }
                parse(c);
            } else if ((events[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) && !c.closed) {
                c.closed = true;
                c.cut_at = since_start();
                epoll_ctl(ep, EPOLL_CTL_DEL, c.fd, nullptr);
            }
        }
        tick();
    }
}

bool beats(const Conn &c)
{
    return !c.stalled && !c.closed && c.connected && !c.sender && !c.dripper && !c.silent;
}

void heartbeats(double now, double &next)
{
    if (opt.heartbeat <= 0 || now < next)
        return;
    // Senders need none: their records keep them active. (A heartbeat that reaches the relay in one
    // receive with a record behind it would take that record with it, as the protocol has it.)
    if (opt.heartbeat_spread) {
        // One client at a time, each in its turn, spread evenly over the interval, as the timers of
        // clients started at different moments are.
        static size_t turn = 0;
        double step = opt.heartbeat / static_cast<double>(conns.size());
        for (; next <= now; next += step) {
            Conn &c = conns[turn++ % conns.size()];
            if (beats(c)) {
                ++totals.pings;
                send_text(c, "[PING]");
            }
        }
        return;
    }
    next = now + opt.heartbeat;
    for (Conn &c : conns)
        if (beats(c)) {
            ++totals.pings;
            send_text(c, "[PING]");
        }
}

double server_cpu()
{
    return load::process_cpu_s(opt.server_pid);
}

long server_rss_kib()
{
    return load::process_status(opt.server_pid, "VmRSS:");
}

void report_server(double cpu_before, double seconds)
{
    std::printf(" server_cpu_s=%.3f server_cpu_pct=%.2f server_rss_kib=%ld server_threads=%ld", server_cpu() - cpu_before,
                100.0 * (server_cpu() - cpu_before) / seconds, server_rss_kib(),
                load::process_status(opt.server_pid, "Threads:"));
}

// The drippers fall silent together and stay connected, reading, while the chat goes on (tick),
// until the relay has dropped all of them or `until`. Reports when they were dropped, counted from
// each one's last byte: the relay should drop each just over 10 s after it.
template <typename Tick>
void fall_silent(double until, Tick tick)
{
    std::vector<Conn *> silent;
    for (Conn &c : conns)
        if (c.dripper && !c.closed) {
            c.dripper = false;
            c.silent = true;
            silent.push_back(&c);
        }
    double cpu_before = server_cpu(), from = since_start();
    auto all_dropped = [&] {
        for (const Conn *c : silent)
            if (!c->closed)
                return false;
        return true;
    };
    while (since_start() < until && !all_dropped())
        run_until(std::min(until, since_start() + 0.1), tick);
    double took = since_start() - from;
    std::vector<double> after;  // seconds from a dropped client's last byte to its drop
    for (const Conn *c : silent)
        if (c->closed)
            after.push_back(c->cut_at - std::max(c->last_drip, c->opened));
    std::sort(after.begin(), after.end());
    auto within = [&](double s) { return std::count_if(after.begin(), after.end(), [s](double a) { return a <= s; }); };
    auto at = [&](double q) { return after.empty() ? -1.0 : after[static_cast<size_t>(q * static_cast<double>(after.size() - 1))]; };
    std::printf("silent=%zu silent_dropped=%zu silent_within_11s=%ld silent_within_15s=%ld silent_first_s=%.2f "
                "silent_median_s=%.2f silent_last_s=%.2f silent_server_cpu_pct=%.1f ",
                silent.size(), after.size(), static_cast<long>(within(11.0)), static_cast<long>(within(15.0)), at(0),
                at(0.5), at(1), took > 0 ? 100.0 * (server_cpu() - cpu_before) / took : 0.0);
}

int run_stream()
{
    conns.reserve(static_cast<size_t>(opt.clients + opt.stalled + opt.late));  // `prober` points into it
    open_clients(opt.clients + opt.stalled, false);
    start = load::mono_s();
    double next_beat = 0;
    // Drippers start at once, spread over one period; they keep their places while the rest join.
    for (Conn &c : conns)
        c.next_drip = opt.drip * c.index / static_cast<double>(conns.size());
    double next_drip_scan = 0, drip_late = 0;  // how late the load generator itself was with a drip
    auto drips = [&](double now) {
        if (opt.drip <= 0 || now < next_drip_scan)
            return;
        next_drip_scan = now + 0.005;
        for (Conn &c : conns)
            if (c.dripper && !c.closed && c.connected && now >= c.next_drip) {
                bool counted = measuring && !c.late;
                c.out += counted ? DRIP : DRIP_WARM;
                c.drips_out += counted;
                drip_late = std::max(drip_late, now - c.next_drip);
                c.last_drip = now;
                c.next_drip += opt.drip;
                flush(c);
            }
    };
    // Every client registered (with drips: every client has heard something, so the relay has
    // taken in all of them); the relay drops nobody in a second.
    auto all_joined = [] {
        for (const Conn &c : conns)
            if (!c.stalled && c.first_byte < 0)
                return false;
        return true;
    };
    double joined_all = -1;
    run_until(1.0, [&] { drips(since_start()); });
    while (opt.drip > 0 && !all_joined() && since_start() < 60)
        run_until(since_start() + 0.05, [&] { drips(since_start()); });
    if (opt.drip > 0 && all_joined()) {
        joined_all = 0;
        for (const Conn &c : conns)
            joined_all = std::max(joined_all, c.first_byte);
    }
    double begin = since_start(), end = begin + opt.seconds;
    double chat_until = end + opt.fall_silent;
    bool late_opened = opt.late == 0;
    double cpu_before = server_cpu();
    long rss_peak = 0;
    measuring = true;
    double interval = 1.0 / opt.rate, next_send = begin, next_rss = begin;
    int turn = 0;
    std::uint64_t sent = 0;
    Conn *prober = nullptr;
    for (Conn &c : conns)
        if (!c.sender && !c.stalled)
            prober = &c;
    // The prober does not drip: a drip that reached the relay in one receive behind its heartbeat
    // would go with the heartbeat, as the protocol has it, and count as missing.
    if (prober && opt.heartbeat > 0)
        prober->dripper = false;
    double next_probe = begin;
    auto tick = [&] {
        double now = since_start();
        if (!late_opened && now >= begin + 2) {
            late_opened = true;
            size_t first = conns.size();
            open_clients(opt.late, false);
            for (size_t i = first; i < conns.size(); ++i) {
                conns[i].late = true;
                conns[i].dripper = true;
                conns[i].sender = false;
                conns[i].stalled = false;
                conns[i].opened = since_start();
                conns[i].next_drip = conns[i].opened + opt.drip * static_cast<double>(i - first) / opt.late;
            }
        }
        if (now < end)
            drips(now);
        if (now < chat_until) {
            measuring = now < end;
            if (opt.mode == "paced") {
                // Senders take turns, evenly spread over each interval, as independent people would.
                while (next_send <= now) {
                    Conn &c = conns[static_cast<size_t>(turn)];
                    if (!c.closed) {
                        make_record(c.out, static_cast<std::uint16_t>(c.index), c.next_seq++, opt.size);
                        ++sent;
                        flush(c);
                    }
                    turn = (turn + 1) % opt.senders;
                    next_send += interval / opt.senders;
                }
            } else {
                for (Conn &c : conns)
                    if (c.sender && !c.closed && c.out.size() < 16384) {
                        while (c.out.size() < 32768) {
                            make_record(c.out, static_cast<std::uint16_t>(c.index), c.next_seq++, opt.size);
                            ++sent;
                        }
                        flush(c);
                    }
            }
            // A heartbeat round trip under load, ten times a second, from one reader.
            if (prober && opt.heartbeat > 0 && now >= next_probe && prober->ping_sent_ns == 0) {
                prober->ping_sent_ns = mono_ns();
                send_text(*prober, "[PING]");
                next_probe = now + 0.1;
            }
        } else {
            measuring = false;
        }
        if (now >= next_rss) {
            rss_peak = std::max(rss_peak, opt.server_pid ? server_rss_kib() : 0L);
            next_rss = now + 0.1;
        }
        heartbeats(now, next_beat);
    };
    run_until(end, tick);
    double cpu = server_cpu() - cpu_before;
    if (opt.fall_silent > 0)
        fall_silent(chat_until, tick);
    std::uint64_t window_records = totals.records, window_bytes = totals.bytes;
    // What was sent in the window is still checked as it arrives, but no longer counted.
    // With drips the room may be far behind under overload: what was sent is then waited for (up
    // to a minute), since the point is that it all arrives, however late.
    std::uint64_t drips_total = 0;
    for (const Conn &c : conns)
        drips_total += c.drips_out;
    auto all_arrived = [&] {
        for (const Conn &c : conns) {
            if (c.stalled || c.closed || c.late)
                continue;
            if (c.drips_in + c.drips_out < drips_total)
                return false;
            for (const Conn &s : conns)
                if (s.sender && &s != &c) {
                    auto it = c.expect.find(static_cast<std::uint16_t>(s.index));
                    if ((it == c.expect.end() ? 0 : it->second) < s.next_seq)
                        return false;
                }
        }
        return true;
    };
    double drain_until = end + (opt.drip > 0 ? 60.0 : 3.0);
    // Senders fall silent now: with drips they drip on, so that the relay keeps them meanwhile.
    for (Conn &c : conns)
        if (c.sender && opt.drip > 0) {
            c.dripper = true;
            c.next_drip = end + opt.drip * c.index / static_cast<double>(opt.senders);
        }
    while (since_start() < drain_until && !(opt.drip > 0 && all_arrived()))
        run_until(std::min(drain_until, since_start() + 0.1), [&] {
            heartbeats(since_start(), next_beat);
            drips(since_start());
        });
    double drain = since_start() - end;

    // Whatever a reader never got of what was sent is lost, unless it saw it split.
    std::uint64_t missing = 0;
    int readers = 0, cut = 0, dropped = 0, dropped_reset = 0, late_unjoined = 0;
    std::uint64_t drips_sent = 0;
    long long drips_missing = 0;
    double late_joined = 0;
    for (Conn &c : conns)
        drips_sent += c.drips_out;
    double cut_at = -1;
    for (Conn &c : conns) {
        if (c.stalled) {
            if (c.closed) {
                ++cut;
                cut_at = std::max(cut_at, c.cut_at - begin);
            }
            continue;
        }
        if (c.closed) {
            ++dropped;
            dropped_reset += c.reset;
            if (opt.drip > 0 && dropped <= 5)
                std::fprintf(stderr, "loadgen: client %d %s at %.2f s, %s, last drip %.2f s before\n", c.index,
                             c.reset ? "reset" : "closed", c.cut_at, c.sender ? "sender" : c.late ? "late" : "dripper",
                             c.cut_at - c.last_drip);
            continue;
        }
        ++readers;
        for (Conn &s : conns)
            if (s.sender && &s != &c) {
                auto it = c.expect.find(static_cast<std::uint16_t>(s.index));
                if (it != c.expect.end() || !c.late)
                    missing += s.next_seq - (it == c.expect.end() ? 0 : it->second);
            }
        if (c.late) {
            if (c.first_byte < 0)
                ++late_unjoined;
            else
                late_joined = std::max(late_joined, c.first_byte - c.opened);
        } else if (opt.drip > 0) {
            drips_missing += static_cast<long long>(drips_sent - c.drips_out) - static_cast<long long>(c.drips_in);
        }
    }
    double deliveries = static_cast<double>(window_records);
    std::printf("mode=%s clients=%d senders=%d size=%zu seconds=%.1f stalled=%d sent=%llu delivered=%llu "
                "records_per_s=%.0f mbytes_per_s=%.2f lost=%llu repeated=%llu split=%llu readers_alive=%d "
                "p50_us=%.0f p99_us=%.0f p999_us=%.0f max_us=%llu hb_p50_us=%.0f hb_p99_us=%.0f hb_n=%llu "
                "server_cpu_s_per_m=%.3f server_rss_peak_kib=%ld stalled_cut=%d stalled_cut_at_s=%.2f",
                opt.mode.c_str(), opt.clients, opt.senders, opt.size, opt.seconds, opt.stalled,
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(window_records),
                deliveries / opt.seconds, static_cast<double>(window_bytes) / opt.seconds / 1e6,
                static_cast<unsigned long long>(totals.lost + missing), static_cast<unsigned long long>(totals.repeated),
                static_cast<unsigned long long>(totals.split), readers, totals.latency.percentile(50),
                totals.latency.percentile(99), totals.latency.percentile(99.9),
                static_cast<unsigned long long>(totals.latency.max_us), totals.heartbeat_rtt.percentile(50),
                totals.heartbeat_rtt.percentile(99), static_cast<unsigned long long>(totals.heartbeat_rtt.count),
                deliveries > 0 ? cpu / deliveries * 1e6 : 0.0, rss_peak, cut, cut_at);
    if (opt.drip > 0) {
        rusage self{};
        getrusage(RUSAGE_SELF, &self);
        double own_cpu = static_cast<double>(self.ru_utime.tv_sec + self.ru_stime.tv_sec) +
                         static_cast<double>(self.ru_utime.tv_usec + self.ru_stime.tv_usec) / 1e6;
        std::printf(" drip_s=%.1f drips_sent=%llu drips_missing=%lld dropped=%d dropped_reset=%d joined_all_s=%.2f late=%d "
                    "late_joined_max_s=%.2f late_unjoined=%d gaps=%llu drain_s=%.1f drip_late_max_s=%.2f loadgen_cpu_s=%.1f",
                    opt.drip, static_cast<unsigned long long>(drips_sent), drips_missing, dropped, dropped_reset, joined_all, opt.late,
                    late_joined, late_unjoined, static_cast<unsigned long long>(totals.lost), drain, drip_late, own_cpu);
    }
    report_server(cpu_before, opt.seconds);
    std::printf("\n");
    return 0;
}

int run_burst()
{
    long rss_before = opt.server_pid ? server_rss_kib() : 0;
    start = load::mono_s();
    open_clients(opt.clients, true);
    double all_connected = -1, all_reached = -1;
    double next_probe = 0;
    std::uint64_t probe_seq = 0;
    auto everyone = [&](auto pred) {
        for (size_t i = 1; i < conns.size(); ++i)
            if (!pred(conns[i]))
                return false;
        return true;
    };
    run_until(60, [&] {
        double now = since_start();
        if (all_connected < 0 && everyone([](const Conn &c) { return c.connected; }) && conns[0].connected)
            all_connected = now;
        if (conns[0].connected && now >= next_probe) {
            make_record(conns[0].out, PROBE, probe_seq++, 64);
            flush(conns[0]);
            next_probe = now + 0.05;
        }
        if (everyone([](const Conn &c) { return c.first_probe >= 0; })) {
            all_reached = now;
            start -= 3600;  // ends the loop
        }
    });
    start += 3600;
    // Now that all are served: how long one message takes to reach them all.
    for (Conn &c : conns)
        c.first_probe = -1;
    double sent_at = since_start();
    make_record(conns[0].out, PROBE, probe_seq++, 64);
    flush(conns[0]);
    double fanout = -1;
    run_until(sent_at + 10, [&] {
        if (fanout < 0 && everyone([](const Conn &c) { return c.first_probe >= 0; })) {
            fanout = since_start() - sent_at;
            start -= 3600;
        }
    });
    start += 3600;

    // Idle, heartbeating: what the crowd costs the server.
    double next_beat = 0;
    double cpu_before = server_cpu();
    double hold_from = since_start();
    run_until(hold_from + opt.hold, [&] { heartbeats(since_start(), next_beat); });
    int alive = 0;
    for (Conn &c : conns)
        alive += !c.closed;
    long rss = opt.server_pid ? server_rss_kib() : 0;
    std::printf("mode=burst clients=%d connected_s=%.3f reached_all_s=%.3f fanout_s=%.3f alive_after_hold=%d hold_s=%.0f "
                "rss_per_client_kib=%.1f",
                opt.clients, all_connected, all_reached, fanout, alive, opt.hold,
                static_cast<double>(rss - rss_before) / opt.clients);
    report_server(cpu_before, opt.hold);
    std::printf("\n");
    return 0;
}

}  // namespace

int soak_main(int argc, char **argv);

int main(int argc, char **argv)
{
    if (argc > 2 && std::string(argv[1]) == "--mode" && std::string(argv[2]) == "soak")
        return soak_main(argc, argv);
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i], v = argv[i + 1];
        if (k == "--mode")
            opt.mode = v;
        else if (k == "--clients")
            opt.clients = std::atoi(v.c_str());
        else if (k == "--senders")
            opt.senders = std::atoi(v.c_str());
        else if (k == "--rate")
            opt.rate = std::atof(v.c_str());
        else if (k == "--size")
            opt.size = static_cast<size_t>(std::atoi(v.c_str()));
        else if (k == "--seconds")
            opt.seconds = std::atof(v.c_str());
        else if (k == "--stalled")
            opt.stalled = std::atoi(v.c_str());
        else if (k == "--heartbeat")
            opt.heartbeat = std::atof(v.c_str());
        else if (k == "--hold")
            opt.hold = std::atof(v.c_str());
        else if (k == "--drip")
            opt.drip = std::atof(v.c_str());
        else if (k == "--late")
            opt.late = std::atoi(v.c_str());
        else if (k == "--heartbeat-spread")
            opt.heartbeat_spread = std::atoi(v.c_str()) != 0;
        else if (k == "--fall-silent")
            opt.fall_silent = std::atof(v.c_str());
        else if (k == "--server-pid")
            opt.server_pid = std::atoi(v.c_str());
        else {
            std::fprintf(stderr, "loadgen: unknown option %s\n", k.c_str());
            return 2;
        }
    }
    if (opt.size < HEADER || opt.size > 65535 || opt.senders > opt.clients) {
        std::fprintf(stderr, "loadgen: record size must be 24..65535 and senders at most clients\n");
        return 2;
    }
    load::raise_descriptor_limit();
    ep = epoll_create1(EPOLL_CLOEXEC);
    return opt.mode == "burst" ? run_burst() : run_stream();
}
