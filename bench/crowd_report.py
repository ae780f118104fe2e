#!/usr/bin/env python3
"""crowd_report.py - the table of `bench/run.sh --crowd` runs, as markdown on standard output.

Each server's time until a message reached all 5,000 (reached_all_s) is set beside the reference
relay's of the same round (run.sh runs them in turn, so that the machine's other work falls on both
alike), and each run's listen-queue overflows are counted: a connection that found the queue full
waits a second or more for its retransmission.
"""
import statistics
import sys
from collections import defaultdict

NAMES = {"relay": "chat_server", "before": "before", "reference": "reference (floor)"}
runs = defaultdict(list)  # (key, server) -> [dict], in the order they ran
for line in open(sys.argv[1]):
    fields = dict(f.split("=", 1) for f in line.split() if "=" in f)
    if fields.get("key", "").startswith("crowd-"):
        runs[(fields["key"], fields["server"])].append(fields)


def num(r, metric):
    try:
        return float(r[metric])
    except (KeyError, ValueError):
        return None


def spread(v, fmt):
    return f"{fmt.format(statistics.median(v))} ({fmt.format(min(v))}–{fmt.format(max(v))})" if v else "n/a"


print("| server on | server | runs | reached all s | ÷ floor, same round | within 2 × floor | "
      "runs with overflows | overflows (drops) in all | all connected s |")
print("|---|---|---|---|---|---|---|---|---|")
for key, where in (("crowd-5000-pinned", "one core"), ("crowd-5000-free", "both cores")):
    floor = runs.get((key, "reference"), [])
    for server in NAMES:
        rs = runs.get((key, server), [])
        if not rs:
            continue
        reached = [num(r, "reached_all_s") for r in rs]
        ratios = []
        if server != "reference":
            for r, f in zip(reached, (num(f, "reached_all_s") for f in floor)):
                # A run that never reached all (-1) or a round without a floor counts as not within.
                ratios.append(r / f if r is not None and f and r > 0 and f > 0 else float("inf"))
        overflowed = [num(r, "listen_overflows") or 0 for r in rs]
        dropped = [num(r, "listen_drops") or 0 for r in rs]
        missing = sum(1 for r in rs if "listen_overflows" not in r)
        within = "" if server == "reference" else f"{sum(1 for x in ratios if x <= 2)} of {len(ratios)}"
        worst = max(ratios) if ratios else 0
        ratio = "" if server == "reference" else (
            f"{statistics.median(ratios):.2f} (worst {'never reached all' if worst == float('inf') else f'{worst:.2f}'})"
            if ratios else "n/a")
        counted = [x for x in reached if x is not None and x >= 0]
        never = len(reached) - len(counted)
        print(f"| {where} | {NAMES[server]} | {len(rs)} | {spread(counted, '{:.3f}')}"
              f"{f'; {never} never reached all' if never else ''} | {ratio} | {within} "
              f"| {sum(1 for x in overflowed if x > 0)} of {len(rs)}{' (' + str(missing) + ' not counted)' if missing else ''} "
              f"| {int(sum(overflowed)):,} ({int(sum(dropped)):,}) "
              f"| {spread([x for x in (num(r, 'connected_s') for r in rs) if x is not None and x >= 0], '{:.3f}')} |")
