#!/usr/bin/env python3
"""report.py - turns the result lines of bench/run.sh into docs/benchmarks.md and a latency plot.

Every table gives each server's figures beside the reference relay's (bench/reference_relay.cpp), with
the ratio to it. The servers, as named in the raw lines: relay (chat_server), before (an older
chat_server, when run.sh had BEFORE set), reference, threads (bench/thread_relay.cpp, the least a relay
with a thread per client can do) and ncat; a server with no line in the raw file has no rows.
"""
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

NAMES = {"relay": "chat_server", "before": "before", "reference": "reference", "threads": "thread relay", "ncat": "ncat"}
present = {s for _, s in runs}
SERVERS = [s for s in NAMES if s in present]  # table order
REF = "reference"


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


def num(v, fmt=",.0f"):
    return "n/a" if v is None else format(v, fmt)


def ratio(a, b):
    """a / b; n/a where either is missing, b is 0, or either is -1 (not measured: see the burst table)."""
    return f"{a / b:.2f}" if a is not None and b and a >= 0 and b > 0 else "n/a"


def to_ref(key, server, metric):
    """The server's median over the reference relay's: empty on the reference's own row."""
    return "" if server == REF else ratio(med(key, server, metric), med(key, REF, metric))


def table(*columns):
    w("| " + " | ".join(columns) + " |")
    w("|" + "---|" * len(columns))


def ran(key):
    return any(runs.get((key, s)) for s in SERVERS)


def fan_out(mode, counts, servers):
    """(clients, record size, key, server) for each row of a fan-out table, in the table's order;
    scenarios that did not run (in a partial run) have no rows."""
    for n in counts:
        for size in (64, 1024):
            if ran(f"{mode}-{n}-{size}"):
                for s in servers:
                    yield n, size, f"{mode}-{n}-{size}", s


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
listed = ", ".join(f"`{NAMES[s]}`" if s == "ncat" else NAMES[s] for s in SERVERS)
w("# Benchmarks: chat_server beside a reference relay and `ncat --broker`\n")
w("The reference relay (`bench/reference_relay.cpp`) is a measuring stick, not a product: the least a "
  "relay can do on this machine. One thread and one epoll set; every chunk it receives from a client "
  "goes unchanged to every other client, in order, and a receiver that cannot take it at once gets it "
  "queued without bound; it answers no heartbeat, drops nobody and logs nothing. Every ratio below "
  "(`÷ ref`) is a server's median over the reference relay's in the same scenario: for latency, CPU "
  "and memory, above 1 is what the server costs on top of bare fan-out; for records per second, "
  "below 1 is what it loses.\n")
w("The thread relay (`bench/thread_relay.cpp`) is a second measuring stick: the least a relay built as "
  "chat_server is, a thread per client, can do. Each client's thread makes blocking receives and, under "
  "one mutex, sends each chunk to every other client with blocking sends; it answers `[PING]` with "
  "`[PONG]` and does nothing else (a reader that stops reading would stop its room, so it is left out "
  "of the stall scenarios). Where chat_server sits between the two, the gap to the thread relay is "
  "what chat_server's own work costs, and the gap from the thread relay to the reference is what "
  "a thread per client costs.\n")
w(f"Machine: {os.cpu_count()} cores ({cpu_model()}), Linux {platform.release()}. Each run starts the server "
  "and the load generator (`bench/loadgen`, one epoll thread) together in a private network namespace, "
  "on 127.0.0.1:8888, the server pinned to one core and the generator to the other. The servers "
  f"({listed}) run alternately, {reps} time{'' if reps == 1 else 's'} each; each cell is the median, with the range in brackets. "
  "These numbers hold for this machine only. Regenerate with `sudo bench/run.sh` (about 33 minutes; "
  "with `BEFORE=path/to/an/older/chat_server`, which then runs too as `before`, about 41).\n")
w("chat_server's and the thread relay's readers heartbeat every 4 s, as `chat_client` does when idle "
  "(senders need not: their records keep them active); the reference relay's and ncat's clients do not, "
  "since neither has an inactivity limit and both would relay the heartbeats as chat.\n")


def pct(a, b):
    return f"{100.0 * a / b:.0f} %" if a is not None and b else "n/a"


def verdict(ok):
    return "n/a" if ok is None else ("met" if ok else "not met")


def rel(key, metric, server="relay"):
    """The server's median over the reference relay's, as a number (None if either is missing)."""
    a, b = med(key, server, metric), med(key, REF, metric)
    return a / b if a is not None and b else None


def within(x, bound):
    return None if x is None else x <= bound


w("## Targets\n")
w("Against the reference relay, in the same run (medians); after each, where the thread relay ran, "
  "its own figure and ratio: the least a thread per client can do.\n")


def floor(key, metric):
    """'; the thread relay: its median and ratio to the reference', if it ran the scenario."""
    v = med(key, "threads", metric)
    return "" if v is None else f"; the thread relay: {num(v, ',.2f' if v < 10 else ',.0f')}, {num(rel(key, metric, 'threads'), '.2f')} ×"


if ran("burst-5000"):
    b = rel("burst-5000", "reached_all_s")
    w(f"- 5,000 clients at once, until a message reaches every one: {num(med('burst-5000', 'relay', 'reached_all_s'), '.2f')} s "
      f"against the reference's {num(med('burst-5000', REF, 'reached_all_s'), '.2f')} s, {num(b, '.2f')} × (target at most 2 ×): "
      f"{verdict(within(b, 2.0))}{floor('burst-5000', 'reached_all_s')}.")
for n, bound in ((10, 1.1), (50, 1.1), (200, 1.5)):
    k = f"paced-{n}-64"
    if ran(k):
        x = rel(k, "p99_us")
        w(f"- Paced, {n} clients, 64 B: p99 {num(med(k, 'relay', 'p99_us'))} µs against "
          f"{num(med(k, REF, 'p99_us'))} µs, {num(x, '.2f')} × (target at most {bound} ×): {verdict(within(x, bound))}"
          f"{floor(k, 'p99_us')}.")
for k in ("flat-50-64", "flat-50-1024", "flat-200-64", "flat-200-1024"):
    if not ran(k):
        continue
    x = rel(k, "records_per_s")
    cb = med(k, "before", "server_cpu_s_per_m")
    cr = med(k, "relay", "server_cpu_s_per_m")
    cpu = "" if cb is None else f"; CPU per delivery {num(cr, '.3f')} s/M against {num(cb, '.3f')} before"
    w(f"- Flat out, {k[5:].replace('-', ' clients ', 1)} B: {num(x, '.2f')} × the reference's records/s (target at least 0.95 ×): "
      f"{verdict(None if x is None else x >= 0.95)}{cpu}{floor(k, 'records_per_s')}.")
if ran("burst-5000"):
    idle = med("burst-5000", "relay", "server_cpu_pct")
    idle_floor = med("burst-5000", "threads", "server_cpu_pct")
    w(f"- 5,000 idle clients heartbeating every 4 s: {num(idle, '.2f')} % of a core (target under 3 %): "
      f"{verdict(None if idle is None else idle < 3.0)}"
      f"{'' if idle_floor is None else '; the thread relay, answering the same heartbeats: ' + num(idle_floor, '.2f') + ' %'}"
      f"; resident memory {num(med('burst-5000', 'relay', 'rss_per_client_kib'), '.1f')} KiB per client.")
if ran("paced-200-64"):
    w("- Where the paced tail goes at 200 clients: 10 senders at 100 records/s each make about 200,000 deliveries "
      "a second, which keep the server's core busy whichever relay it is; `perf` puts about 94 % of the time in "
      "the kernel's TCP send path for both chat_server and the reference, and both make about as many send calls. "
      "What differs is who runs when the core is full: the reference reads every sender in one loop, while with "
      "a thread per client each chunk wakes its sender's thread, which waits for the scheduler. The thread relay "
      "shows what that costs when nothing is done about it; chat_server passes on together the chunks that wait "
      "together (one send per receiver for them all), which takes back most of it but not all.")
for mode in ("paced", "flat"):
    base, k = f"{mode}-50-1024", f"stall-{mode}-50-1024"
    if not ran(k):
        continue
    w(f"- A client that never reads, {mode}: the others keep {pct(med(k, 'relay', 'records_per_s'), med(base, 'relay', 'records_per_s'))} "
      f"of their throughput (target 90 %); their p99 goes from {num(med(base, 'relay', 'p99_us'))} to {num(med(k, 'relay', 'p99_us'))} µs; "
      f"peak server RSS {num(med(k, 'relay', 'server_rss_peak_kib'))} KiB (bound: 4 MiB for the stalled client on top of "
      f"{num(med(base, 'relay', 'server_rss_peak_kib'))} KiB without it).")
w("")

w("## Paced fan-out: latency\n")
w("10 senders, 100 records/s each, spread evenly; every client reads. Latency is from the sender's "
  "`send` to the reader's `recv`, in microseconds. `lost` counts records that never arrived, arrived "
  "twice or out of order, over all runs.\n")
table("clients", "record", "server", "p50", "p99", "p99.9", "p50 ÷ ref", "p99 ÷ ref", "lost")
for n, size, k, s in fan_out("paced", (10, 50, 200), SERVERS):
    lost = sum(values(k, s, "lost")) + sum(values(k, s, "repeated"))
    w(f"| {n} | {size} B | {NAMES[s]} | {cell(k, s, 'p50_us')} | {cell(k, s, 'p99_us')} | {cell(k, s, 'p999_us')} "
      f"| {to_ref(k, s, 'p50_us')} | {to_ref(k, s, 'p99_us')} | {lost:.0f} |")
hb_servers = [s for s in ("relay", "before", "threads") if s in SERVERS]
w("\nHeartbeat round trip under that load (one reader, not a sender, sends `[PING]` ten times a second; "
  "the reference relay and ncat answer no heartbeat, so there is nothing of theirs to set beside it):\n")
table("clients", "record", "server", "p50 µs", "p99 µs")
for n, size, k, s in fan_out("paced", (10, 50, 200), hb_servers):
    if not sum(values(k, s, "hb_n")):
        w(f"| {n} | {size} B | {NAMES[s]} | n/a: all {n} clients are senders | |")
        continue
    w(f"| {n} | {size} B | {NAMES[s]} | {cell(k, s, 'hb_p50_us')} | {cell(k, s, 'hb_p99_us')} |")
w("\n![latency percentiles against client count](latency.svg)\n")

w("## Flat-out fan-out: throughput\n")
w("10 senders send as fast as the server takes their records; every client reads. Records per second "
  "delivered to all readers together; CPU is the server's, in seconds per million deliveries. A record "
  "that a relay's receive cut in two can arrive with another sender's bytes between its halves (the "
  "protocol is a byte stream): the reader counts it as split, and it shows as lost too. The reference "
  "relay takes in all that senders send, however far its readers are behind (it queues without bound), "
  "so its senders are never held back.\n")
table("clients", "record", "server", "rec/s", "rec/s ÷ ref", "CPU s/M", "CPU ÷ ref", "split")
for n, size, k, s in fan_out("flat", (50, 200), SERVERS):
    w(f"| {n} | {size} B | {NAMES[s]} | {cell(k, s, 'records_per_s')} | {to_ref(k, s, 'records_per_s')} "
      f"| {cell(k, s, 'server_cpu_s_per_m', digits=2)} | {to_ref(k, s, 'server_cpu_s_per_m')} "
      f"| {sum(values(k, s, 'split')):.0f} |")

w("\n## A receiver that never reads\n")
w("50 clients as above (1 KiB records) plus one that connects and never reads (receive buffer 4 KiB). "
  "Compared with the same load without it; the ratios are of the runs with it. The reference relay "
  "keeps all that the stalled client does not take, so its memory grows with what is sent.\n")
table("load", "server", "rec/s without", "rec/s with", "rec/s ÷ ref", "p99 µs without", "p99 µs with", "p99 ÷ ref",
      "readers kept", "server RSS peak KiB", "RSS ÷ ref", "stalled client cut at s")
for mode in ("paced", "flat"):
    base, k = f"{mode}-50-1024", f"stall-{mode}-50-1024"
    for s in SERVERS if ran(k) else []:
        w(f"| {mode} | {NAMES[s]} | {cell(base, s, 'records_per_s')} | {cell(k, s, 'records_per_s')} "
          f"| {to_ref(k, s, 'records_per_s')} | {cell(base, s, 'p99_us')} | {cell(k, s, 'p99_us')} "
          f"| {to_ref(k, s, 'p99_us')} | {cell(k, s, 'readers_alive')} | {cell(k, s, 'server_rss_peak_kib')} "
          f"| {to_ref(k, s, 'server_rss_peak_kib')} | {cell(k, s, 'stalled_cut_at_s', digits=2)} |")
w("\n(`-1` for the cut means the stalled client was never disconnected.)\n")

w("## Connection bursts and idle crowds\n")
w("All clients connect at once. `reached all` is the time from the first connect until a message "
  "from the first client (repeated every 50 ms) has reached every other: registration and fan-out "
  "together. `fan-out` is one more message, once all are registered. Then the crowd idles for 30 s "
  "(chat_server's and the thread relay's clients heartbeating every 4 s; the reference relay's and ncat's silent): the "
  "server's CPU over that time, its resident memory per client, and its threads. `overflows`: the "
  "connections that found the server's listen queue full, as the kernel counted them in the run's "
  "namespace (`TcpExtListenOverflows`); each such client waits a second or more for its retransmission "
  "(see [A crowd arriving at once](#a-crowd-arriving-at-once)).\n")
table("clients", "server", "all connected s", "reached all s", "÷ ref", "overflows", "fan-out s", "÷ ref",
      "CPU % of a core", "RSS KiB per client", "÷ ref", "threads", "alive after hold")
for n in (1000, 5000):
    k = f"burst-{n}"
    for s in SERVERS if ran(k) else []:
        if not runs.get((k, s)):
            if s == "ncat" and n == 5000:
                w(f"| {n} | {NAMES[s]} | not run: ncat's select() holds at most about 1,000 clients | | | | | | | | | | |")
            else:
                w(f"| {n} | {NAMES[s]} | not run | | | | | | | | | | |")
            continue
        w(f"| {n} | {NAMES[s]} | {cell(k, s, 'connected_s', digits=3)} | {cell(k, s, 'reached_all_s', digits=3)} "
          f"| {to_ref(k, s, 'reached_all_s')} | {cell(k, s, 'listen_overflows')} "
          f"| {cell(k, s, 'fanout_s', digits=3)} | {to_ref(k, s, 'fanout_s')} "
          f"| {cell(k, s, 'server_cpu_pct', digits=2)} | {cell(k, s, 'rss_per_client_kib', digits=1)} "
          f"| {to_ref(k, s, 'rss_per_client_kib')} | {cell(k, s, 'server_threads')} | {cell(k, s, 'alive_after_hold')} |")
w("\n(`-1`: not within the 60 s the generator waits; ncat kept all 1,000 connections open but never "
  "passed a message to all of them, and bench/run.sh runs its burst of 1,000 again only while it does. "
  "The reference relay's idle CPU is none, since its clients are silent: there is no ratio to it. "
  "`n/a` under overflows: a run made before bench/run.sh counted them.)\n")
# The crowd, overload and soak sections are written by hand from `bench/run.sh --crowd`, `--overload`
# and `--soak` runs: they stay as they are.
page = os.path.join(out_dir, "benchmarks.md")
soak = ""
if os.path.exists(page):
    old = open(page).read()
    kept = [old.index(h) for h in ("\n## A crowd arriving at once\n", "\n## Overload\n", "\n## Soak\n") if h in old]
    if kept:
        soak = old[min(kept):]
open(page, "w").write("\n".join(out) + "\n" + soak)

# The plot: paced latency percentiles against client count, every server that ran them, 64 B records.
# One colour a server; p50 solid, p99 dashed. No such runs (a partial run), no plot.
plotted = [s for s in SERVERS if any(values(f"paced-{n}-64", s, "p50_us") for n in (10, 50, 200))]
colours = {"relay": "#1f77b4", "before": "#9467bd", "reference": "#2ca02c", "threads": "#ff7f0e", "ncat": "#d62728"}
data = os.path.join(out_dir, "latency.dat")
with open(data, "w") as f:
    for n in (10, 50, 200):
        k = f"paced-{n}-64"
        row = [med(k, s, m) for s in plotted for m in ("p50_us", "p99_us")]
        f.write(f"{n} " + " ".join("nan" if v is None else str(v) for v in row) + "\n")
lines = []
for i, s in enumerate(plotted):
    for j, (m, dash) in enumerate((("p50", 1), ("p99", 2))):
        lines.append(f"'{data}' using 1:{2 + 2 * i + j} with linespoints dt {dash} lw 2 "
                     f"lc rgb '{colours[s]}' title '{NAMES[s]} {m}'")
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
plot {", ".join(lines)}
"""
if lines:
    subprocess.run(["gnuplot"], input=script.encode(), check=True)
os.remove(data)
