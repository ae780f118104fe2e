#!/usr/bin/env python3
"""What a server's threads waited for, from bench/sched_trace.sh's record (OUT/script.txt).

    sched_report.py thread OUT TID     one thread (the accept loop: TID = the server's pid): from its
                                       first switch away to its last return, the time it spent off
                                       its core by where it left (state R: preempted, waiting for the
                                       core; S or D: asleep, by the kernel's stack), and the time from
                                       each wake-up to its return
    sched_report.py handlers OUT PID   every wake-up of a thread of process PID from a sleep in poll or
                                       epoll, until it sleeps there again (a chunk's turn through the
                                       server): wake-up to on its core, asleep on a futex meanwhile
                                       (the registry taken, or a fan-out by another), and wake-up to
                                       asleep again, as percentiles; and who had each core
"""
import collections
import re
import sys

HEAD = re.compile(r'\s*(\S.*?)\s+(\d+)/(\d+)\s+\[(\d+)\]\s+(\d+\.\d+):\s+(\S+):(.*)')
SWITCH = re.compile(r'prev_comm=(.+?) prev_pid=(\d+) .*prev_state=(\S+) ==> next_comm=(.+?) next_pid=(\d+)')
WAKEUP = re.compile(r'comm=(.+?) pid=(\d+)')


def events(path):
    """(time, cpu, event, fields, kernel stack frames, process id) for each record of perf script's text."""
    with open(path) as f:
        for block in f.read().split('\n\n'):
            lines = block.strip().split('\n')
            m = HEAD.match(lines[0]) if lines and lines[0] else None
            if m:
                frames = [line.split()[-1] for line in lines[1:] if line.strip()]
                yield float(m.group(5)), int(m.group(4)), m.group(6), m.group(7), frames, m.group(2)


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(len(values) * p / 100))] if values else 0


def thread(path, tid):
    away = {}
    total, count = collections.Counter(), collections.Counter()
    first = last = on_since = None
    on_core = woken_wait = 0.0
    left = woken = None
    for t, _, event, fields, frames, _ in events(path):
        if event == 'sched:sched_switch':
            m = SWITCH.search(fields)
            if m.group(2) == tid:
                reason = m.group(3) + ' ' + ' < '.join(frames[2:7])
                left, woken = (t, reason), None
                if on_since is not None:
                    on_core += t - on_since
                    on_since = None
                first = t if first is None else first
            if m.group(5) == tid:
                on_since = t
                if left:
                    total[left[1]] += t - left[0]
                    count[left[1]] += 1
                    if woken is not None:
                        woken_wait += t - woken
                    left, last = None, t
        elif event == 'sched:sched_wakeup' and left and woken is None:
            if WAKEUP.search(fields).group(2) == tid:
                woken = t
    print('thread %s: %.3f s from its first switch away to its last return, %.3f s of it on its core'
          % (tid, (last - first) if first else 0, on_core))
    for reason, seconds in total.most_common():
        print('%9.1f ms %5d  %s' % (seconds * 1e3, count[reason], reason))
    print('%9.1f ms        from wake-ups to return (waiting for the core)' % (woken_wait * 1e3))


def handlers(path, pid):
    state, turns, ours = {}, [], set()
    held, since = collections.Counter(), {}
    start = end = None
    for t, cpu, event, fields, frames, process in events(path):
        start = t if start is None else start
        end = t
        if event == 'sched:sched_wakeup':
            m = WAKEUP.search(fields)
            s = state.get(m.group(2))
            if m.group(2) in ours and s and s.get('asleep') and 'woken' not in s:
                s['woken'] = t
            continue
        if event != 'sched:sched_switch':
            continue
        prev_comm, prev, prev_state, next_comm, nxt = SWITCH.search(fields).groups()
        if cpu in since:
            held[(cpu, since[cpu][1])] += t - since[cpu][0]
        since[cpu] = (t, next_comm)
        if process == pid:
            ours.add(prev)
        if prev in ours:
            s = state.setdefault(prev, {})
            stack = ' '.join(frames)
            if prev_state.startswith('S') and 'poll' in stack:
                if 'on' in s:
                    turns.append((s['on'] - s['woken'], s.get('futex', 0.0), t - s['woken']))
                state[prev] = {'asleep': True}
            elif prev_state.startswith('S') and 'futex' in stack and 'on' in s:
                s['futex_from'] = t
        if nxt in ours:
            s = state.setdefault(nxt, {})
            if 'woken' in s and 'on' not in s:
                s['on'] = t
            if 'futex_from' in s:
                s['futex'] = s.get('futex', 0.0) + t - s.pop('futex_from')
    print('%d turns of the threads of process %s' % (len(turns), pid))
    for i, name in enumerate(('wake-up to on its core', 'asleep on a futex', 'wake-up to asleep again')):
        values = [turn[i] * 1e6 for turn in turns]
        print('%-24s p50 %7.0f  p90 %7.0f  p99 %7.0f  max %7.0f us' % (
            name, percentile(values, 50), percentile(values, 90), percentile(values, 99), max(values, default=0)))
    span = (end - start) if start is not None else 0
    print('who had the cores over the %.2f s:' % span)
    for (cpu, name), seconds in sorted(held.items(), key=lambda item: -item[1])[:12]:
        print('  CPU %d  %-18s %5.1f %%' % (cpu, name, 100 * seconds / span if span else 0))


if __name__ == '__main__':
    if len(sys.argv) != 4 or sys.argv[1] not in ('thread', 'handlers'):
        sys.exit(__doc__)
    script = sys.argv[2] + '/script.txt'
    (thread if sys.argv[1] == 'thread' else handlers)(script, sys.argv[3])
