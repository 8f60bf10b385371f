#!/bin/sh
# Throughput benchmark: the daemon with one file rule, in a private network
# namespace, fed by loadgen at 10k, 30k, 50k, 100k messages a second and flat
# out, three runs each.  For every run it prints the messages lost (counted
# from the log file by sequence number), the daemon's CPU time per message,
# and the lines written per second.  Needs root (network namespace, port 514).
#
#   bench/run.sh [COUNT] [RUNS] [RATES...]
set -e
top="$(cd "$(dirname "$0")/.." && pwd)"
count="${1:-200000}"
runs="${2:-3}"
shift 2 2>/dev/null || shift $# 2>/dev/null || true
rates="${*:-10000 30000 50000 100000 0}"

if [ -z "$TARNWICK_BENCH_IN_NETNS" ]; then
    cmake --preset release >/dev/null
    cmake --build "$top/build/release" --target tarnwick loadgen >/dev/null
    exec unshare -n env TARNWICK_BENCH_IN_NETNS=1 sh "$0" "$count" "$runs" $rates
fi

ip link set lo up
bin="$top/build/release"
loadgen="$bin/bench/loadgen"
dir="$(mktemp -d /tmp/tarnwick-bench-XXXXXX)"
trap 'rm -rf "$dir"' EXIT
mkdir "$dir/log"
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK]\n"Log Dir"="%s"\n' \
    "$dir/log" >"$dir/registry.reg"
printf '[TARNWICK]\n' >"$dir/win.ini"
printf '*.info\t%s/bench\n' "$dir/log" >"$dir/log/syslog.conf"
tck=$(getconf CLK_TCK)

cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
lines_in() { cat "$dir"/log/bench_*.LOG 2>/dev/null | grep -c 'bench seq=' || true; }

printf '%-8s %-4s %9s %9s %12s %12s\n' rate run sent lost 'cpu us/msg' 'lines/s'
for rate in $rates; do
    for run in $(seq 1 "$runs"); do
        rm -f "$dir"/log/bench_*.LOG "$dir/log/syslog.pid"
        TARNWICK_REGISTRY="$dir/registry.reg" TARNWICK_PROFILE="$dir/win.ini" \
            "$bin/tarnwick" -debug >/dev/null 2>&1 &
        pid=$!
        while [ ! -s "$dir/log/syslog.pid" ]; do sleep 0.05; done
        sleep 0.2
        cpu0=$(cpu_ticks $pid)
        t0=$(date +%s.%N)
        sent=$("$loadgen" 514 "$count" "$rate" | awk '{print $1}')
        # Wait until the file stops growing.
        last=-1
        now=$(lines_in)
        tlast=$(date +%s.%N)
        while [ "$now" != "$last" ]; do
            last=$now
            sleep 0.3
            now=$(lines_in)
            [ "$now" != "$last" ] && tlast=$(date +%s.%N)
        done
        cpu1=$(cpu_ticks $pid)
        # The time of the last line written: the log file's modification time.
        tlast=$(stat -c %.9Y "$dir"/log/bench_*.LOG | sort -n | tail -1)
        found=$(cat "$dir"/log/bench_*.LOG | sed -n 's/.*bench seq=\([0-9]*\).*/\1/p' | sort -u | wc -l)
        kill -TERM $pid
        wait $pid 2>/dev/null || true
        awk -v r="$rate" -v n="$run" -v s="$sent" -v f="$found" -v c0="$cpu0" -v c1="$cpu1" \
            -v tck="$tck" -v t0="$t0" -v t1="$tlast" 'BEGIN {
                lost = s - f
                cpu = f > 0 ? (c1 - c0) / tck / f * 1e6 : 0
                lps = (t1 > t0) ? f / (t1 - t0) : 0
                printf "%-8s %-4s %9d %9d %12.2f %12.0f\n", (r == 0 ? "flood" : r), n, s, lost, cpu, lps
            }'
    done
done
