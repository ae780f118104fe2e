#!/bin/bash
# bench/run.sh - measures chat_server side by side with `ncat --broker`, alternately (A B A B ...),
# each run in a private network namespace of its own, and writes docs/benchmarks.md. The server
# runs on CPU 0 and the load generator on CPU 1, so that neither steals the other's time.
#
#   bench/run.sh [BUILD_DIR]          the full run (about 20 minutes; needs root, ncat, gnuplot, python3)
#   bench/run.sh --smoke [BUILD_DIR]  a second or two per scenario against chat_server only; fails
#                                     if a scenario does not run, or a paced one loses anything
#   bench/run.sh --overload [BUILD_DIR]
#                                     the relay on one core, short of CPU: 3,000 to 5,000 clients
#                                     each sending a byte every 9 s (inside the inactivity limit)
#                                     while 20 chat at 10 lines a second each (at 3,000, 1,000 more
#                                     join 2 s in); prints a line per run (about 15 minutes)
#   bench/run.sh --soak MINUTES [--wine] [BUILD_DIR]
#                                     MINUTES of mixed load and faults against one relay (see
#                                     bench/soak.cpp); exit 0 only if it passed. --wine: the Windows
#                                     program under Wine (BUILD_DIR/windows/chat_server.exe). Writes
#                                     samples, minute lines and the relay's log to SOAK_OUT
#                                     (default BUILD_DIR/soak-linux or BUILD_DIR/soak-wine).
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
build=${1:-build}
relay=$(realpath "$build/chat_server")
loadgen=$(realpath "$build/bench/loadgen")
reps=${REPS:-3}
raw=$(mktemp)
trap 'rm -f "$raw"' EXIT

# run_one NAME KEY LOADGEN-ARGS...: one server, one load, one namespace; appends a result line.
run_one() {
    local name=$1 key=$2
    shift 2
    local server_cmd hb=()
    if [ "$name" = relay ]; then
        server_cmd="$relay"
        hb=(--heartbeat 4)
    else
        server_cmd="ncat -l --broker -m 100000 8888"  # no inactivity limit, and it would relay heartbeats
    fi
    local line
    line=$(unshare -n bash -c '
        ip link set lo up
        ulimit -n "$(ulimit -Hn)"
        taskset -c 0 $1 >/dev/null 2>&1 &
        pid=$!
        for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/8888) 2>/dev/null && break; sleep 0.1; done
        shift
        timeout 300 taskset -c 1 "$@" --server-pid $pid
        kill $pid
        wait $pid 2>/dev/null || true
    ' bench "$server_cmd" "$loadgen" "$@" "${hb[@]}") || true
    echo "server=$name key=$key $line" | tee -a "$raw" >&2
}

# both KEY ARGS...: the scenario against each server in turn, $reps times.
both() {
    for _ in $(seq $reps); do
        run_one relay "$@"
        [ $smoke = 1 ] || run_one ncat "$@"
    done
}

if [ $overload = 1 ]; then
    # Nobody may be dropped and nothing lost (dropped=0 drips_missing=0 lost=0 gaps=0); what the
    # overload costs shows as latency (p50_us, p99_us, max_us) and as the time it takes the room to
    # catch up once the chat stops (drain_s).
    # 1,000 more join 2 s into the run at 3,000: a busy room that the relay can still keep up with.
    for n in ${OVERLOAD_SIZES:-3000 4000 5000}; do
        late=0
        [ "$n" = 3000 ] && late=1000
        for _ in $(seq $reps); do
            run_one relay "drip-$n" --mode paced --clients $((n + 20)) --senders 20 --rate 10 --size 64 --drip 9 \
                --late $late --seconds 30
        done
    done
    exit 0
fi

if [ $smoke = 1 ]; then
    reps=1
    run_one relay paced-10-64 --mode paced --clients 10 --senders 5 --size 64 --seconds 1
    run_one relay flat-20-1024 --mode flat --clients 20 --senders 5 --size 1024 --seconds 1
    run_one relay stall-paced-20-1024 --mode paced --clients 20 --senders 5 --size 1024 --seconds 1 --stalled 1
    run_one relay burst-200 --mode burst --clients 200 --hold 1
    # Paced runs split nothing, so every record must arrive exactly once, and every reader stays.
    awk '
        /key=(paced|stall)/ {
            for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
            if (v["lost"] != 0 || v["repeated"] != 0 || v["split"] != 0 || v["readers_alive"] != v["clients"] || v["delivered"] == 0) {
                print "smoke: loss or drop in " $2; bad = 1
            }
        }
        /key=flat/ {
            for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
            # Flat out, a reader starved of CPU for a moment may be taken for a stalled one and cut.
            if (v["repeated"] != 0 || v["delivered"] == 0) { print "smoke: flat run failed"; bad = 1 }
        }
        /key=burst/ {
            for (i = 1; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
            if (v["reached_all_s"] < 0 || v["alive_after_hold"] != v["clients"]) { print "smoke: burst run failed"; bad = 1 }
        }
        END { exit bad }' "$raw"
    echo "smoke: every scenario ran; paced: nothing lost, repeated or split, no reader dropped"
    exit 0
fi

for n in 10 50 200; do
    for size in 64 1024; do
        both "paced-$n-$size" --mode paced --clients $n --senders 10 --size $size --seconds 5
    done
done
for n in 50 200; do
    for size in 64 1024; do
        both "flat-$n-$size" --mode flat --clients $n --senders 10 --size $size --seconds 5
    done
done
both stall-paced-50-1024 --mode paced --clients 50 --senders 10 --size 1024 --seconds 5 --stalled 1
both stall-flat-50-1024 --mode flat --clients 50 --senders 10 --size 1024 --seconds 5 --stalled 1
both burst-1000 --mode burst --clients 1000 --hold 30
for _ in $(seq $reps); do run_one relay burst-5000 --mode burst --clients 5000 --hold 30; done

mkdir -p docs
cp "$raw" docs/benchmarks-raw.txt
bench/report.py docs/benchmarks-raw.txt docs
echo "wrote docs/benchmarks.md" >&2
