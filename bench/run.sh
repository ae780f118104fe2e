#!/bin/bash
# bench/run.sh - measures chat_server side by side with the reference relay (bench/reference_relay.cpp:
# bare fan-out in one epoll thread, the measuring stick), the thread relay (bench/thread_relay.cpp:
# bare fan-out with a thread per client, the floor of chat_server's design; all but the stall
# scenarios) and `ncat --broker`, alternately (relay, reference, ..., relay, ...), each run in a
# private network namespace of its own, and writes
# docs/benchmarks.md. The server runs on CPU 0 and the load generator on CPU 1, so that neither
# steals the other's time.
#
#   bench/run.sh [BUILD_DIR]          the full run (needs root, ncat, gnuplot, python3): at REPS=3
#                                     about 41 minutes with BEFORE set, 33 without (the runs'
#                                     durations as measured, added up: 9 to 10 s each paced, flat
#                                     or stall run, 30 to 32 s each burst, 101 s ncat's burst of
#                                     1,000, which fails)
#   bench/run.sh --smoke [BUILD_DIR]  a second or two per scenario against chat_server, and one paced
#                                     run of the reference relay; fails if a scenario does not run,
#                                     or a paced one loses anything
#   bench/run.sh --overload [BUILD_DIR]
#                                     the relay on one core, short of CPU: 3,000 to 5,000 clients
#                                     each sending a byte every 9 s (inside the inactivity limit)
#                                     while 20 chat at 10 lines a second each (at 3,000, 1,000 more
#                                     join 2 s in), and 2,000 such clients that fall silent together
#                                     while 20 chat (silent-2000); prints a line per run (about 17
#                                     minutes, twice that with BEFORE set; ONLY=silent for the last)
#   bench/run.sh --crowd [BUILD_DIR]  5,000 clients connecting at once, REPS times (default 10)
#                                     each with the server on one core and on both: the time until
#                                     all are reached and the listen-queue overflows of every run,
#                                     and a table of them beside the reference relay's (about a
#                                     minute and a half, two with BEFORE set, on a quiet machine)
#   bench/run.sh --soak MINUTES [--wine] [BUILD_DIR]
#                                     MINUTES of mixed load and faults against one relay (see
#                                     bench/soak.cpp); exit 0 only if it passed. --wine: the Windows
#                                     program under Wine (BUILD_DIR/windows/chat_server.exe). Writes
#                                     samples, minute lines and the relay's log to SOAK_OUT
#                                     (default BUILD_DIR/soak-linux or BUILD_DIR/soak-wine).
#
# Environment:
#   REPS=N         runs of each scenario against each server (default 3)
#   BEFORE=PATH    an older chat_server, run as server `before` beside the relay in every scenario
#                  (with heartbeats, as the relay), so that the page shows before and after
#   ONLY=REGEX     only the scenarios whose key matches (as grep -E matches: paced-200-64 also
#                  matches paced-200-640; anchor with ^ and $). The page is then written to
#                  BUILD_DIR/bench-partial/, not docs/.
#   SERVERS=LIST   only these of the servers (names as in the raw lines: relay before reference
#                  threads ncat); with it too the page goes to BUILD_DIR/bench-partial/.
set -eu
cd "$(dirname "$0")/.."
smoke=0
if [ "${1:-}" = "--smoke" ]; then smoke=1; shift; fi
if [ "${1:-}" = "--soak" ]; then
    minutes=${2:?--soak needs MINUTES}
    shift 2
    wine=0
    if [ "${1:-}" = "--wine" ]; then wine=1; shift; fi
    exec bench/soak.sh "$minutes" "$wine" "${1:-build}"
fi
overload=0
if [ "${1:-}" = "--overload" ]; then overload=1; shift; fi
crowd=0
if [ "${1:-}" = "--crowd" ]; then crowd=1; shift; fi
build=${1:-build}
relay=$(realpath "$build/chat_server")
reference=$(realpath "$build/bench/reference_relay")
thread_relay=$(realpath "$build/bench/thread_relay")
loadgen=$(realpath "$build/bench/loadgen")
before=
if [ -n "${BEFORE:-}" ]; then
    before=$(realpath -e "$BEFORE")
fi
only=${ONLY:-}
servers_wanted=${SERVERS:-}
reps=${REPS:-3}
raw=$(mktemp)
trap 'rm -f "$raw"' EXIT

# The kernel's count of connections that found the listen queue full (ListenOverflows: the
# handshake completed, or was about to, and was dropped; the client waits for its retransmission,
# 1 s, then 3 s), of all SYNs and handshakes a listener dropped, those included (ListenDrops), and
# of SYNs sent again (TCPSynRetrans: a client that waited), from /proc/net/netstat: read inside a
# run's namespace they count that run's connections alone.
listen_counters() {
    awk '/^TcpExt:/ { if (!named) { for (i = 2; i <= NF; i++) at[$i] = i; named = 1 }
                      else print $at["ListenOverflows"], $at["ListenDrops"], $at["TCPSynRetrans"] }' /proc/net/netstat
}
export -f listen_counters
# How busy the machine was as a run started: the share of the last 10 s in which some task waited for
# a core (Linux's pressure stall information; -1 where the kernel has none). Other work on the
# machine shows here, and in the times of the runs it overlapped.
cpu_pressure() {
    awk '/^some/ { sub("avg10=", "", $2); print $2; found = 1 } END { if (!found) print -1 }' /proc/pressure/cpu 2>/dev/null ||
        echo -1
}

# The cores the server runs on: the first alone, unless a scenario says otherwise (the load
# generator always has the second).
server_cpus=0

# Server and load generator each run in a session of their own. Where the kernel groups the tasks
# of a session for scheduling (autogroup, on by default), a group's share of the machine is split
# over the cores by how many of its tasks wait on each: in one session, a crowd's thousands of
# runnable threads on the server's core took nearly all of it, and the generator, alone on the
# other core, got 4 % of it beside other work there and took 5 s to connect 5,000 clients
# (measured: docs/benchmarks.md).
# run_one NAME KEY LOADGEN-ARGS...: one server, one load, one namespace; appends a result line.
run_one() {
    local name=$1 key=$2
    shift 2
    local server_cmd hb=()
    case $name in
    relay) server_cmd="$relay" hb=(--heartbeat 4) ;;
    before) server_cmd="$before" hb=(--heartbeat 4) ;;
    # Neither has an inactivity limit, and both would relay heartbeats as chat.
    reference) server_cmd="$reference" ;;
    # It answers heartbeats, as the relay does, but has no inactivity limit either.
    threads) server_cmd="$thread_relay" hb=(--heartbeat 4) ;;
    ncat) server_cmd="ncat -l --broker -m 100000 8888" ;;
    esac
    local line started=$SECONDS pressure
    pressure=$(cpu_pressure)
    line=$(unshare -n bash -c '
        ip link set lo up
        ulimit -n "$(ulimit -Hn)"
        read overflows drops retrans < <(listen_counters)
        setsid taskset -c $1 $2 >/dev/null 2>&1 &
        pid=$!
        for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/8888) 2>/dev/null && break; sleep 0.1; done
        shift 2
        result=$(timeout 300 setsid taskset -c 1 "$@" --server-pid $pid)
        kill $pid
        wait $pid 2>/dev/null || true
        read overflows_after drops_after retrans_after < <(listen_counters)
        echo "$result listen_overflows=$((overflows_after - overflows)) listen_drops=$((drops_after - drops))" \
            "syn_retrans=$((retrans_after - retrans))"
    ' bench "$server_cpus" "$server_cmd" "$loadgen" "$@" "${hb[@]}") || true
    echo "server=$name key=$key $line cpu_pressure=$pressure run_s=$((SECONDS - started))" | tee -a "$raw" >&2
}

# wanted KEY: whether ONLY lets the scenario run.
wanted() {
    [ -z "$only" ] || [[ $1 =~ $only ]]
}

# each SERVERS KEY ARGS...: the scenario against each of SERVERS in turn, $reps times. `before`
# runs only when BEFORE is set. ncat's burst-1000 runs again only while its runs pass a message to
# all: in every run so far none has, and each such run waits out the generator's 60 s (it would
# cost the full run 3 1/2 minutes more).
each() {
    local servers=$1 key=$2 rep s
    shift
    wanted "$key" || return 0
    for rep in $(seq $reps); do
        for s in $servers; do
            [ $s = before ] && [ -z "$before" ] && continue
            [ -z "$servers_wanted" ] || [[ " $servers_wanted " == *" $s "* ]] || continue
            if [ $s = ncat ] && [ "$key" = burst-1000 ] && [ $rep -gt 1 ] &&
                grep -q "^server=ncat key=burst-1000 .*reached_all_s=-1" "$raw"; then
                continue
            fi
            run_one $s "$@"
        done
    done
}

all="relay before reference threads ncat"
# The thread relay blocks on a reader that does not read, so it stays out of the stall scenarios.
not_threads="relay before reference ncat"

if [ $overload = 1 ]; then
    # Nobody may be dropped and nothing lost (dropped=0 drips_missing=0 lost=0 gaps=0); what the
    # overload costs shows as latency (p50_us, p99_us, max_us) and as the time it takes the room to
    # catch up once the chat stops (drain_s).
    # 1,000 more join 2 s into the run at 3,000: a busy room that the relay can still keep up with.
    for n in ${OVERLOAD_SIZES:-3000 4000 5000}; do
        late=0
        [ "$n" = 3000 ] && late=1000
        each "relay before" "drip-$n" --mode paced --clients $((n + 20)) --senders 20 --rate 10 --size 64 \
            --drip 9 --late $late --seconds 30
    done
    # A crowd that falls silent together in a busy room (a lab switched off): 2,000 clients stop
    # sending at once while 20 chat on; each should be dropped just over 10 s after its last byte
    # (silent_first_s, silent_median_s, silent_last_s), at little cost (silent_server_cpu_pct).
    each "relay before" silent-2000 --mode paced --clients 2020 --senders 20 --rate 10 --size 64 \
        --drip 9 --seconds 5 --fall-silent 30
    exit 0
fi

if [ $crowd = 1 ]; then
    # 5,000 clients connecting at once, again and again: the relay, the tree before (with BEFORE)
    # and the reference relay in turn, each pinned to one core and then free to use both, so that
    # whatever else the machine is doing falls on all of them alike. A hold of a second: what is
    # measured is the arrival (reached_all_s) and whether the listen queue overflowed.
    reps=${REPS:-10}
    for rep in $(seq $reps); do
        for server_cpus in 0 0,1; do
            key=crowd-5000-pinned
            [ $server_cpus = 0 ] || key=crowd-5000-free
            for s in relay before reference; do
                [ $s = before ] && [ -z "$before" ] && continue
                [ -z "$servers_wanted" ] || [[ " $servers_wanted " == *" $s "* ]] || continue
                run_one $s $key --mode burst --clients 5000 --hold 1
            done
        done
    done
    cp "$raw" "$build/crowd-raw.txt"
    echo "raw lines in $build/crowd-raw.txt" >&2
    bench/crowd_report.py "$build/crowd-raw.txt"
    exit 0
fi

if [ $smoke = 1 ]; then
    reps=1
    run_one relay paced-10-64 --mode paced --clients 10 --senders 5 --size 64 --seconds 1
    run_one relay flat-20-1024 --mode flat --clients 20 --senders 5 --size 1024 --seconds 1
    run_one relay stall-paced-20-1024 --mode paced --clients 20 --senders 5 --size 1024 --seconds 1 --stalled 1
    run_one relay burst-200 --mode burst --clients 200 --hold 1
    run_one reference paced-10-64 --mode paced --clients 10 --senders 5 --size 64 --seconds 1
    run_one threads paced-10-64 --mode paced --clients 10 --senders 5 --size 64 --seconds 1
    # Paced runs split nothing, so every record must arrive exactly once, and every reader stays.
    # That holds for the measuring sticks too, or their figures measure nothing.
    awk '
        { split("", v); for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] } }
        !("mode" in v) { print "smoke: " $1 " " $2 " did not run"; bad = 1; next }
        { runs[v["server"]]++ }
        /key=(paced|stall)/ {
            if (v["lost"] != 0 || v["repeated"] != 0 || v["split"] != 0 || v["readers_alive"] != v["clients"] || v["delivered"] == 0) {
                print "smoke: loss or drop in " $2; bad = 1
            }
        }
        /key=flat/ {
            # Flat out, a reader starved of CPU for a moment may be taken for a stalled one and cut.
            if (v["repeated"] != 0 || v["delivered"] == 0) { print "smoke: flat run failed"; bad = 1 }
        }
        /key=burst/ {
            if (v["reached_all_s"] < 0 || v["alive_after_hold"] != v["clients"]) { print "smoke: burst run failed"; bad = 1 }
        }
        END {
            if (runs["relay"] != 4 || runs["reference"] != 1 || runs["threads"] != 1) { print "smoke: a run is missing"; bad = 1 }
            exit bad
        }' "$raw"
    echo "smoke: every scenario ran; paced: nothing lost, repeated or split, no reader dropped (relay and both measuring sticks)"
    exit 0
fi

for n in 10 50 200; do
    for size in 64 1024; do
        each "$all" "paced-$n-$size" --mode paced --clients $n --senders 10 --size $size --seconds 5
    done
done
for n in 50 200; do
    for size in 64 1024; do
        each "$all" "flat-$n-$size" --mode flat --clients $n --senders 10 --size $size --seconds 5
    done
done
each "$not_threads" stall-paced-50-1024 --mode paced --clients 50 --senders 10 --size 1024 --seconds 5 --stalled 1
each "$not_threads" stall-flat-50-1024 --mode flat --clients 50 --senders 10 --size 1024 --seconds 5 --stalled 1
each "$all" burst-1000 --mode burst --clients 1000 --hold 30
# ncat's select() holds at most about 1,000 clients.
each "relay before reference threads" burst-5000 --mode burst --clients 5000 --hold 30
echo "run.sh: $(grep -c . "$raw") runs in $SECONDS s" >&2

out=docs
[ -z "$only$servers_wanted" ] || out=$build/bench-partial
mkdir -p "$out"
cp "$raw" "$out/benchmarks-raw.txt"
bench/report.py "$out/benchmarks-raw.txt" "$out"
echo "wrote $out/benchmarks.md" >&2
