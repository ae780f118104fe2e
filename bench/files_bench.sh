#!/bin/bash
# bench/files_bench.sh - a file handed over by the client's own sender and receiver
# (bench/files_bench.cpp), beside curl and `python3 -m http.server`, in a private network namespace.
# Prints a line a measurement, for the section in docs/benchmarks.md. As root:
#
#   bench/files_bench.sh [BUILD_DIR]
#
# Environment: REPS (default 3) rounds of each compared pair, run back to back; RECEIVERS (default
# 40) fetching the 100 MiB file at once, each from a network namespace of its own; BIG_MIB and
# MID_MIB (1024, 100) the sizes of the two files; WORK (default
# /tmp/files-bench) for the files, which are deleted at the end.
set -eu
if [ -z "${FILES_BENCH_INSIDE:-}" ]; then
    export FILES_BENCH_INSIDE=1
    exec unshare -n "$0" "$@"
fi
BUILD=$(cd "${1:-build}" && pwd)
BENCH=$BUILD/bench/files_bench
REPS=${REPS:-3}
RECEIVERS=${RECEIVERS:-40}
BIG_MIB=${BIG_MIB:-1024}
MID_MIB=${MID_MIB:-100}
WORK=${WORK:-/tmp/files-bench}
ip link set lo up
rm -rf "$WORK"
mkdir -p "$WORK/dl" "$WORK/www"
pids=()
netns=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for n in "${netns[@]}"; do ip netns del "$n" 2>/dev/null || true; done
    rm -rf "$WORK"
}
trap cleanup EXIT

now() { date +%s.%N; }
elapsed() { echo "$2 - $1" | bc; }
rss_kib() { awk '/^VmRSS/ {print $2}' "/proc/$1/status"; }
hwm_kib() { awk '/^VmHWM/ {print $2}' "/proc/$1/status"; }

# Starts a sender of $1 reached at $2; sets SENDER (its pid) and OFFER (its line).
start_sender() {
    local fifo=$WORK/sender-in-$RANDOM
    mkfifo "$fifo"
    "$BENCH" serve "$1" "$2" < "$fifo" > "$WORK/offer" 2> "$WORK/sender.log" &
    SENDER=$!
    pids+=("$SENDER")
    exec {HOLD}> "$fifo"  # its input stays open while we hold it
    for _ in $(seq 600); do
        grep -q '^OFFER ' "$WORK/offer" 2>/dev/null && break
        sleep 0.1
    done
    OFFER=$(sed -n 's/^OFFER //p' "$WORK/offer")
    [ -n "$OFFER" ] || { echo "no offer: $(cat "$WORK/sender.log")" >&2; exit 1; }
}

echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"

# ---- one 1 GiB file over loopback ----
head -c $((BIG_MIB << 20)) /dev/urandom > "$WORK/www/big.bin"
start_sender "$WORK/www/big.bin" 127.0.0.1
url=$(echo "$OFFER" | grep -o 'http://[^ ]*')
echo "1 GiB offered: $url"
base_rss=$(rss_kib "$SENDER")
for r in $(seq "$REPS"); do
    rm -f "$WORK/dl"/*
    t0=$(now)
    /usr/bin/time -f %M -o "$WORK/receiver-rss" env XDG_DOWNLOAD_DIR="$WORK/dl" "$BENCH" fetch "$OFFER" 2> "$WORK/receiver.log"
    t1=$(now)
    rm -f "$WORK/dl"/*
    t2=$(now)
    curl -s -o "$WORK/dl/curl.bin" "$url"
    sum=$(sha256sum "$WORK/dl/curl.bin" | cut -c1-64)
    t3=$(now)
    echo "1GiB round $r: our receiver $(elapsed "$t0" "$t1") s (max RSS $(cat "$WORK/receiver-rss") KiB); curl + sha256sum $(elapsed "$t2" "$t3") s"
    echo "$OFFER" | grep -q "sha256=$sum" || echo "  curl's copy has another hash!"
done
rm -f "$WORK/dl"/*
# The receiver's own size without a transfer: a fetch of one byte.
head -c 1 /dev/urandom > "$WORK/www/one.bin"
big_sender=$SENDER
start_sender "$WORK/www/one.bin" 127.0.0.1
/usr/bin/time -f %M -o "$WORK/receiver-rss" env XDG_DOWNLOAD_DIR="$WORK/dl" "$BENCH" fetch "$OFFER" 2> "$WORK/receiver.log"
echo "receiver max RSS fetching 1 byte: $(cat "$WORK/receiver-rss") KiB"
echo "sender RSS before the 1 GiB transfers: $base_rss KiB, peak after them: $(hwm_kib "$big_sender") KiB"
kill "$SENDER" 2>/dev/null || true
rm -f "$WORK/dl"/*

# ---- our sender beside python3 -m http.server, for curl ----
(cd "$WORK/www" && exec python3 -m http.server 8000 --bind 127.0.0.1 > /dev/null 2>&1) &
pids+=($!)
sleep 1
for r in $(seq "$REPS"); do
    ours=$(curl -s -o /dev/null -w '%{time_total}' "$url")
    py=$(curl -s -o /dev/null -w '%{time_total}' "http://127.0.0.1:8000/big.bin")
    echo "curl round $r: from our sender $ours s, from python3 -m http.server $py s"
done
kill "$big_sender" 2>/dev/null || true
rm -f "$WORK/www/big.bin"

# ---- RECEIVERS receivers of a 100 MiB file at once, each from a namespace of its own ----
head -c $((MID_MIB << 20)) /dev/urandom > "$WORK/www/mid.bin"
ip link add fb-br type bridge
ip addr add 198.18.0.1/16 dev fb-br
ip link set fb-br up
for i in $(seq "$RECEIVERS"); do
    n=fb-$$-$i
    ip netns add "$n"
    netns+=("$n")
    ip link add "fbv$i" type veth peer name eth0 netns "$n"
    ip link set "fbv$i" master fb-br up
    ip -n "$n" addr add "198.18.1.$i/16" dev eth0
    ip -n "$n" link set eth0 up
    ip -n "$n" link set lo up
done
start_sender "$WORK/www/mid.bin" 198.18.0.1
t0=$(now)
for i in $(seq "$RECEIVERS"); do
    rm -f "$WORK/dl"/*
    ip netns exec "fb-$$-1" env XDG_DOWNLOAD_DIR="$WORK/dl" "$BENCH" fetch "$OFFER" 2>> "$WORK/receiver.log" ||
        echo "  sequential fetch $i failed"
done
t1=$(now)
rm -f "$WORK/dl"/*
waits=()
t2=$(now)
for i in $(seq "$RECEIVERS"); do
    mkdir -p "$WORK/dl$i"
    ip netns exec "fb-$$-$i" env XDG_DOWNLOAD_DIR="$WORK/dl$i" "$BENCH" fetch "$OFFER" 2> "$WORK/receiver$i.log" &
    waits+=($!)
done
failed=0
for p in "${waits[@]}"; do wait "$p" || failed=$((failed + 1)); done
t3=$(now)
saved=$(cat "$WORK"/receiver[0-9]*.log | grep -c '^\*\*\* saved ' || true)
echo "$RECEIVERS x 100 MiB: one after another $(elapsed "$t0" "$t1") s; all at once $(elapsed "$t2" "$t3") s ($failed failed, $saved saved and checked at once)"
