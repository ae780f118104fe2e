#!/bin/bash
# bench/soak.sh MINUTES WINE BUILD_DIR - the soak run behind `bench/run.sh --soak`: one relay and
# the load generator's soak mode in a private network namespace, the relay on CPU 0 and the
# generator on CPU 1. Exit status 0 only if the soak passed and the relay outlived it.
set -eu
minutes=$1 wine=$2 build=$3
loadgen=$(realpath "$build/bench/loadgen")
if [ "$wine" = 1 ]; then
    relay=$(realpath "$build/windows/chat_server.exe")
    prefix=$(realpath -m "$build/wineprefix")
    out=${SOAK_OUT:-$build/soak-wine}
    # Under Wine every socket call goes through the wineserver, which shares the relay's core: on
    # the project's 2-core machine the full load saturates it (a crowd of 1,000 then takes over a
    # minute to register, and timings stretch by seconds). The same mix, scaled to what fits: 20
    # chatters sending 2 KiB records, 150 a second (a stalled client is still cut off within
    # 30 s), 10 connections a second of churn, crowds of 200. SOAK_ARGS overrides.
    SOAK_ARGS=${SOAK_ARGS-"--chatters 20 --rate 150 --size 2048 --churn 10 --burst 200"}
    "$(dirname "$0")/../tests/prepare_wine_prefix.sh" "$prefix"
else
    # SOAK_RELAY: another program in its place (a measuring stick: bench/reference_relay with
    # --answer-heartbeats), to set its figures beside the relay's; it fails the checks it has no part in.
    relay=${SOAK_RELAY:-$(realpath "$build/chat_server")}
    prefix=
    out=${SOAK_OUT:-$build/soak-linux}
fi
mkdir -p "$out"
out=$(realpath "$out")
# A run that hangs ends anyway: the generator is given its minutes and two more.
limit=$((minutes * 60 + 120))
export SOAK_ARGS
echo "soak: $minutes min, $([ "$wine" = 1 ] && echo Wine || echo Linux), from $(date -u +%FT%TZ), output in $out" >&2
status=0
unshare -n bash -c '
    set -u
    minutes=$1 wine=$2 relay=$3 prefix=$4 out=$5 loadgen=$6 limit=$7
    ip link set lo up
    ulimit -n "$(ulimit -Hn)"
    wspid=0
    if [ "$wine" = 1 ]; then
        # A TMPDIR of its own gives the relay a wineserver of its own, inside this namespace.
        tmp=$(mktemp -d /tmp/relay-soak-wine-XXXXXX)
        TMPDIR=$tmp WINEPREFIX=$prefix WINEDEBUG=-all taskset -c "${SOAK_RELAY_CPUS:-0}" wine "$relay" >"$out/relay.log" 2>"$out/relay.err" &
    else
        taskset -c 0 $relay >"$out/relay.log" 2>"$out/relay.err" &
    fi
    pid=$!
    for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/8888) 2>/dev/null && break; sleep 0.2; done
    # wine_pids: the processes of the relay'"'"'s own Wine (its wineserver, services), known by its TMPDIR.
    wine_pids() {
        for p in /proc/[0-9]*; do
            tr "\0" "\n" 2>/dev/null <"$p/environ" | grep -qx "TMPDIR=$tmp" && echo "${p#/proc/}"
        done
    }
    own=
    if [ "$wine" = 1 ]; then
        own=$(wine_pids)
        for p in $own; do
            case "$(cat "/proc/$p/comm" 2>/dev/null)" in wineserver*) wspid=$p ;; esac
        done
        echo "soak: relay pid $pid ($(cat /proc/$pid/comm)), its wineserver pid $wspid" >&2
    fi
    # Ends the processes of that Wine, by pid: those seen at the start and any seen now (an exiting
    # process may no longer show its environment, hence both).
    end_wine() {
        local left p
        own="$own $(wine_pids)"
        for signal in TERM TERM KILL; do
            left=
            for p in $own; do
                [ -d "/proc/$p" ] && [ "$(cut -d" " -f3 "/proc/$p/stat" 2>/dev/null)" != Z ] && left="$left $p"
            done
            [ -n "$left" ] || break
            kill -s $signal $left 2>/dev/null || true
            sleep 2
        done
        rm -rf "$tmp"
    }
    if [ "$wine" = 1 ] && [ "$wspid" = 0 ]; then
        echo "soak: no wineserver found for the relay" >&2
        kill "$pid"
        end_wine
        exit 1
    fi
    rc=0
    timeout "$limit" taskset -c 1 "$loadgen" --mode soak --minutes "$minutes" --server-pid "$pid" \
        --wineserver-pid "$wspid" --samples "$out/samples.txt" ${SOAK_ARGS:-} >"$out/result.txt" || rc=$?
    if ! kill -0 "$pid" 2>/dev/null; then
        echo "soak: the relay is gone" >&2
        rc=1
    fi
    [ "$wine" = 1 ] && own="$own $(wine_pids)"
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    [ "$wine" = 1 ] && end_wine
    exit $rc
' soak "$minutes" "$wine" "$relay" "$prefix" "$out" "$loadgen" "$limit" || status=$?
grep -E '^(result|failure)' "$out/result.txt" >&2 || echo "soak: no result line" >&2
echo "soak: ended $(date -u +%FT%TZ), exit $status" >&2
exit $status
