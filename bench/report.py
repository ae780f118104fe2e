#!/usr/bin/env python3
"""report.py - turns the result lines of bench/run.sh into docs/benchmarks.md and a latency plot."""
import os
import platform
import statistics
import subprocess
import sys
from collections import defaultdict

raw_path, out_dir = sys.argv[1], sys.argv[2]
runs = defaultdict(list)  # (key, server) -> [dict]
for line in open(raw_path):
    fields = dict(f.split("=", 1) for f in line.split() if "=" in f)
    if "key" in fields and "mode" in fields:
        runs[(fields["key"], fields["server"])].append(fields)


def values(key, server, metric):
    return [float(r[metric]) for r in runs.get((key, server), []) if metric in r]


def med(key, server, metric):
    v = values(key, server, metric)
    return statistics.median(v) if v else None


def cell(key, server, metric, scale=1.0, digits=0):
    v = values(key, server, metric)
    if not v:
        return "n/a"
    m, lo, hi = statistics.median(v) * scale, min(v) * scale, max(v) * scale
    f = "{:,.%df}" % digits
    return f"{f.format(m)} ({f.format(lo)}–{f.format(hi)})"


def ratio(a, b):
    return f"{a / b:.2f}" if a is not None and b else "n/a"


def cpu_model():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor()


out = []
w = out.append
reps = max((len(v) for v in runs.values()), default=0)
w("# Benchmarks: chat_server beside `ncat --broker`\n")
w(f"Machine: {os.cpu_count()} cores ({cpu_model()}), Linux {platform.release()}. Each run starts the server "
  "and the load generator (`bench/loadgen`, one epoll thread) together in a private network namespace, "
  "on 127.0.0.1:8888, the server pinned to one core and the generator to the other. The two servers run "
  f"alternately, {reps} times each; each cell is the median, with the range in brackets. These numbers "
  "hold for this machine only. Regenerate with `sudo bench/run.sh` (about 20 minutes).\n")
w("chat_server's readers heartbeat every 4 s, as `chat_client` does when idle (senders need not: their "
  "records keep them active); ncat's clients do not, since it has no inactivity limit and would relay "
  "the heartbeats as chat.\n")

def pct(a, b):
    return f"{100.0 * a / b:.0f} %" if a is not None and b else "n/a"


w("## Targets\n")
r200, n200 = med("paced-200-64", "relay", "p99_us"), med("paced-200-64", "ncat", "p99_us")
w(f"- Paced fan-out at 200 clients, p99 under 1 ms and at most half of ncat's: p99 {r200:,.0f} µs against "
  f"ncat's {n200:,.0f} µs (ratio {ratio(r200, n200)}). Half of ncat's: met. Under 1 ms: not met. In the way: "
  "200,000 deliveries a second keep the server's core about 90 % busy, and `perf` puts 96.6 % of its time in "
  "the kernel's TCP send path and 1.4 % in the relay's own code: each 64-byte delivery costs about 4.5 µs "
  "of kernel time on this machine, so at that load queueing alone puts the tail in milliseconds. "
  "At 50 clients p99 is under 1 ms.")
flat = [(f"flat-{n}-{z}", n, z) for n in (50, 200) for z in (64, 1024)]
w("- Flat-out fan-out, records/s at least 1.3 × ncat's with no more CPU per delivery: "
  + "; ".join(f"{n} clients {z} B: {ratio(med(k, 'relay', 'records_per_s'), med(k, 'ncat', 'records_per_s'))} ×, "
              f"CPU {ratio(med(k, 'relay', 'server_cpu_s_per_m'), med(k, 'ncat', 'server_cpu_s_per_m'))} × ncat's"
              for k, n, z in flat)
  + ". CPU per delivery: met. 1.3 × the records: not met except at 200 clients with 1 KiB records. In the way: "
  "the load generator, one thread on its own core, is what limits both runs; the relay's core is about 30 to "
  "60 % busy, so it could pass on more than the generator reads.")
for mode in ("paced", "flat"):
    base, k = f"{mode}-50-1024", f"stall-{mode}-50-1024"
    w(f"- A client that never reads, {mode}: the others keep {pct(med(k, 'relay', 'records_per_s'), med(base, 'relay', 'records_per_s'))} "
      f"of their throughput (target 90 %); their p99 goes from {med(base, 'relay', 'p99_us'):,.0f} to {med(k, 'relay', 'p99_us'):,.0f} µs; "
      f"peak server RSS {med(k, 'relay', 'server_rss_peak_kib'):,.0f} KiB (bound: 4 MiB for the stalled client on top of "
      f"{med(base, 'relay', 'server_rss_peak_kib'):,.0f} KiB without it). ncat keeps {pct(med(k, 'ncat', 'records_per_s'), med(base, 'ncat', 'records_per_s'))}.")
w("  Memory: met. Throughput: met for chat-paced traffic; flat out, a little under. Latency: not quite kept. "
  "In the way: until a reader has taken nothing for 50 ms the relay cannot tell it from a slow one, and "
  "for that long it holds senders back (which is what keeps slow but steady readers from being dropped).")
w(f"- 5,000 clients connecting at once, all registered within 1 s and a message then reaching all within 0.5 s: "
  f"reached all after {med('burst-5000', 'relay', 'reached_all_s'):.2f} s (median; best {min(values('burst-5000', 'relay', 'reached_all_s')):.2f} s), "
  f"the next message in {med('burst-5000', 'relay', 'fanout_s'):.3f} s. The message: met. Registration: met in the best run only. In the way: "
  "the kernel's accept queue is capped at net.core.somaxconn = 4096; while the relay registers about 10,000 "
  "clients a second on its one core, the last few hundred SYNs of the burst are dropped and their clients "
  "retry after 1 s.")
w(f"- 5,000 idle clients heartbeating: server CPU {med('burst-5000', 'relay', 'server_cpu_pct'):.2f} % of a core (target under 3 %), "
  f"resident memory {med('burst-5000', 'relay', 'rss_per_client_kib'):.1f} KiB per client (target under 24 KiB). Memory: met. "
  "CPU: not met by a little. In the way: each heartbeat costs the server about 28 µs here (a thread woken from "
  "poll, the receive, the answer's send, the next wait), 1,250 times a second; a thread per client is the design.\n")

w("## Paced fan-out: latency\n")
w("10 senders, 100 records/s each, spread evenly; every client reads. Latency is from the sender's "
  "`send` to the reader's `recv`, in microseconds. `lost` counts records that never arrived, arrived "
  "twice or out of order, over all runs.\n")
w("| clients | record | chat_server p50 | p99 | p99.9 | ncat p50 | p99 | p99.9 | p99 ratio | lost (relay / ncat) |")
w("|---|---|---|---|---|---|---|---|---|---|")
for n in (10, 50, 200):
    for size in (64, 1024):
        k = f"paced-{n}-{size}"
        lost_r = sum(values(k, "relay", "lost")) + sum(values(k, "relay", "repeated"))
        lost_n = sum(values(k, "ncat", "lost")) + sum(values(k, "ncat", "repeated"))
        w(f"| {n} | {size} B | {cell(k, 'relay', 'p50_us')} | {cell(k, 'relay', 'p99_us')} | {cell(k, 'relay', 'p999_us')} "
          f"| {cell(k, 'ncat', 'p50_us')} | {cell(k, 'ncat', 'p99_us')} | {cell(k, 'ncat', 'p999_us')} "
          f"| {ratio(med(k, 'relay', 'p99_us'), med(k, 'ncat', 'p99_us'))} | {lost_r:.0f} / {lost_n:.0f} |")
w("\nHeartbeat round trip under that load (one reader, not a sender, sends `[PING]` ten times a second; "
  "ncat does not answer heartbeats):\n")
w("| clients | record | p50 µs | p99 µs |")
w("|---|---|---|---|")
for n in (10, 50, 200):
    for size in (64, 1024):
        k = f"paced-{n}-{size}"
        if not sum(values(k, "relay", "hb_n")):
            w(f"| {n} | {size} B | n/a: all {n} clients are senders | |")
            continue
        w(f"| {n} | {size} B | {cell(k, 'relay', 'hb_p50_us')} | {cell(k, 'relay', 'hb_p99_us')} |")
w("\n![latency percentiles against client count](latency.svg)\n")

w("## Flat-out fan-out: throughput\n")
w("10 senders send as fast as the server takes their records; every client reads. Records per second "
  "delivered to all readers together; CPU is the server's, in seconds per million deliveries. A record "
  "that a relay's receive cut in two can arrive with another sender's bytes between its halves (the "
  "protocol is a byte stream): the reader counts it as split, and it shows as lost too.\n")
w("| clients | record | chat_server rec/s | ncat rec/s | ratio | chat_server CPU s/M | ncat CPU s/M | split (relay / ncat) |")
w("|---|---|---|---|---|---|---|---|")
for n in (50, 200):
    for size in (64, 1024):
        k = f"flat-{n}-{size}"
        w(f"| {n} | {size} B | {cell(k, 'relay', 'records_per_s')} | {cell(k, 'ncat', 'records_per_s')} "
          f"| {ratio(med(k, 'relay', 'records_per_s'), med(k, 'ncat', 'records_per_s'))} "
          f"| {cell(k, 'relay', 'server_cpu_s_per_m', digits=2)} | {cell(k, 'ncat', 'server_cpu_s_per_m', digits=2)} "
          f"| {sum(values(k, 'relay', 'split')):.0f} / {sum(values(k, 'ncat', 'split')):.0f} |")

w("\n## A receiver that never reads\n")
w("50 clients as above (1 KiB records) plus one that connects and never reads (receive buffer 4 KiB). "
  "Compared with the same load without it.\n")
w("| load | server | rec/s without | rec/s with | p99 µs without | p99 µs with | readers kept | server RSS peak KiB | stalled client cut at s |")
w("|---|---|---|---|---|---|---|---|---|")
for mode in ("paced", "flat"):
    base, k = f"{mode}-50-1024", f"stall-{mode}-50-1024"
    for s, name in (("relay", "chat_server"), ("ncat", "ncat")):
        w(f"| {mode} | {name} | {cell(base, s, 'records_per_s')} | {cell(k, s, 'records_per_s')} | {cell(base, s, 'p99_us')} "
          f"| {cell(k, s, 'p99_us')} | {cell(k, s, 'readers_alive')} | {cell(k, s, 'server_rss_peak_kib')} "
          f"| {cell(k, s, 'stalled_cut_at_s', digits=2)} |")
w("\n(`-1` for the cut means the stalled client was never disconnected.)\n")

w("## Connection bursts and idle crowds\n")
w("All clients connect at once. `reached all` is the time from the first connect until a message "
  "from the first client (repeated every 50 ms) has reached every other: registration and fan-out "
  "together. `fan-out` is one more message, once all are registered. Then the crowd idles for 30 s "
  "(chat_server's clients heartbeating every 4 s): the server's CPU over that time, its resident "
  "memory per client, and its threads.\n")
w("| clients | server | all connected s | reached all s | fan-out s | CPU % of a core | RSS KiB per client | threads | alive after hold |")
w("|---|---|---|---|---|---|---|---|---|")
for n in (1000, 5000):
    k = f"burst-{n}"
    for s, name in (("relay", "chat_server"), ("ncat", "ncat")):
        if not runs.get((k, s)):
            w(f"| {n} | {name} | not run: ncat's select() holds at most about 1,000 clients | | | | | | |")
            continue
        w(f"| {n} | {name} | {cell(k, s, 'connected_s', digits=3)} | {cell(k, s, 'reached_all_s', digits=3)} "
          f"| {cell(k, s, 'fanout_s', digits=3)} | {cell(k, s, 'server_cpu_pct', digits=2)} "
          f"| {cell(k, s, 'rss_per_client_kib', digits=1)} | {cell(k, s, 'server_threads')} | {cell(k, s, 'alive_after_hold')} |")
w("\n(`-1`: not within the 60 s the generator waits; ncat kept all 1,000 connections open but never "
  "passed a message to all of them.)\n")
# The overload and soak sections are written by hand from `bench/run.sh --overload` and `--soak`
# runs: they stay as they are.
page = os.path.join(out_dir, "benchmarks.md")
soak = ""
if os.path.exists(page):
    old = open(page).read()
    kept = [old.index(h) for h in ("\n## Overload\n", "\n## Soak\n") if h in old]
    if kept:
        soak = old[min(kept):]
open(page, "w").write("\n".join(out) + "\n" + soak)

# The plot: paced latency percentiles against client count, both servers, 64 B records.
data = os.path.join(out_dir, "latency.dat")
with open(data, "w") as f:
    for n in (10, 50, 200):
        k = f"paced-{n}-64"
        row = [med(k, s, m) for s in ("relay", "ncat") for m in ("p50_us", "p99_us", "p999_us")]
        f.write(f"{n} " + " ".join("nan" if v is None else str(v) for v in row) + "\n")
script = f"""
set terminal svg size 720,420 font 'sans,11' noenhanced
set output '{os.path.join(out_dir, 'latency.svg')}'
set title 'Paced fan-out, 64 B records, 10 senders x 100/s'
set xlabel 'clients'
set ylabel 'latency (us)'
set logscale y
set key bottom right
set logscale x
set xrange [8:250]
set xtics ("10" 10, "50" 50, "200" 200)
plot '{data}' using 1:2 with linespoints lw 2 title 'chat_server p50', \\
     '' using 1:3 with linespoints lw 2 title 'chat_server p99', \\
     '' using 1:4 with linespoints lw 2 title 'chat_server p99.9', \\
     '' using 1:5 with linespoints dt 2 lw 2 title 'ncat p50', \\
     '' using 1:6 with linespoints dt 2 lw 2 title 'ncat p99', \\
     '' using 1:7 with linespoints dt 2 lw 2 title 'ncat p99.9'
"""
subprocess.run(["gnuplot"], input=script.encode(), check=True)
os.remove(data)
