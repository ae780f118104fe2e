#!/bin/bash
# bench/sched_trace.sh - what a server's threads wait for, from the kernel's scheduler events: one
# run of a scenario with `perf record -e sched:sched_switch -e sched:sched_wakeup -g` over the
# whole machine, in a private network namespace, the server on CPU 0 (or CPUS) and the load
# generator on CPU 1, each in a session of its own as in bench/run.sh; then bench/sched_report.py
# reads the record (see docs/benchmarks.md, "What the accept loop and a chunk wait for").
#
#   bench/sched_trace.sh crowd SERVER OUT [CPUS]   5,000 clients at once (loadgen's burst, hold 1 s);
#                                                  the record spans the whole run
#   bench/sched_trace.sh paced SERVER OUT [CPUS]   200 clients, 10 senders, 64 B, 5 s; the record
#                                                  spans 3 s of it, from 2 s in
#
# As root, with perf (Debian: linux-perf). OUT gets perf.data, script.txt (perf script's text),
# the generator's result line, the server's pid and the kernel's listen-queue counters.
set -eu
scenario=$1 server=$(realpath "$2") out=$3 cpus=${4:-0}
build=$(dirname "$(realpath "$0")")/../build
loadgen=${LOADGEN:-$(realpath "$build/bench/loadgen")}
mkdir -p "$out"
out=$(realpath "$out")
hb=(--heartbeat 4)
case $server in *reference_relay*) hb=() ;; esac
case $scenario in
# delay: from the generator's start to the record's (negative: the record starts first, by as much)
crowd) args=(--mode burst --clients 5000 --hold 1) delay=-0.5 span=60 ;;
paced) args=(--mode paced --clients 200 --senders 10 --size 64 --seconds 5) delay=2 span=3 ;;
*) echo "sched_trace.sh: crowd or paced" >&2; exit 2 ;;
esac
unshare -n bash -c '
    set -u
    out=$1 cpus=$2 server=$3 delay=$4 span=$5 loadgen=$6
    shift 6
    ip link set lo up
    ulimit -n "$(ulimit -Hn)"
    counters() { awk "/^TcpExt:/ { if (!n) { for (i = 2; i <= NF; i++) at[\$i] = i; n = 1 } else print \"listen_overflows=\" \$at[\"ListenOverflows\"], \"listen_drops=\" \$at[\"ListenDrops\"], \"syn_retrans=\" \$at[\"TCPSynRetrans\"] }" /proc/net/netstat; }
    setsid taskset -c "$cpus" "$server" >/dev/null 2>&1 &
    pid=$!
    echo $pid >"$out/pid"
    for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/8888) 2>/dev/null && break; sleep 0.1; done
    record() { exec timeout "$span" perf record -q -a -g -e sched:sched_switch -e sched:sched_wakeup -o "$out/perf.data"; }
    if [ "${delay#-}" != "$delay" ]; then
        (record) >/dev/null 2>&1 &
        recorder=$!
        sleep "${delay#-}"
    else
        (sleep "$delay"; record) >/dev/null 2>&1 &
        recorder=$!
    fi
    timeout 120 setsid taskset -c 1 "$loadgen" "$@" --server-pid $pid >"$out/result"
    kill -INT $recorder 2>/dev/null || true
    wait $recorder || true
    kill $pid
    wait $pid 2>/dev/null || true
    counters >>"$out/result"
' sched_trace "$out" "$cpus" "$server" "$delay" "$span" "$loadgen" "${args[@]}" "${hb[@]}"
perf script -i "$out/perf.data" -F comm,pid,tid,cpu,time,event,trace,ip,sym >"$out/script.txt" 2>/dev/null
cat "$out/result"
