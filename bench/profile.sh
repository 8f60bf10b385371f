#!/bin/bash
# Where the daemon's time goes under a flood: perf record of "tarnwick -debug"
# (one file rule, *.info) while loadgen sends COUNT datagrams flat out, then
# the hottest symbols (perf report, self time) and the system calls made.
#
#   bench/profile.sh [COUNT [RULES]]      # defaults: 1000000, 1
#
# RULES 50 loads the fifty-rule table of run.sh (every fifth rule matches).
# Needs perf and root (namespaces, as run.sh).
set -e
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"
count=${1:-1000000}
rules=${2:-1}
if [ "$rules" = 50 ]; then
    lines=()
    for i in $(seq 0 49); do
        if [ $((i % 5)) = 0 ]; then lines+=("*.info\t$dir/log/f$i"); else lines+=("local$((i % 8)).info\t$dir/log/f$i"); fi
    done
    set_rules "${lines[@]}"
else
    set_rules "*.info\t$dir/log/messages"
fi
echo "load before: $(uptime)"
start_daemon
perf record -q -g -o "$dir/perf.data" -p "$pid" 2>/dev/null &
perfpid=$!
perf stat -e 'syscalls:sys_enter_*' -p "$pid" -o "$dir/syscalls.txt" 2>/dev/null &
statpid=$!
sleep 0.5
"$loadgen" 514 "$count" 0 >/dev/null
wait_quiet "$dir"/log/*.LOG
kill -INT "$perfpid" "$statpid"
wait "$perfpid" "$statpid" || true
echo "lines written: $(cat "$dir"/log/*.LOG | wc -l)"
echo "load after: $(uptime)"
echo "--- system calls (count) ---"
awk '$1 ~ /^[0-9,]+$/ && $1 != "0" { print $1, $2 }' "$dir/syscalls.txt" | sort -t' ' -k1,1nr | head -12
echo "--- hottest symbols (self) ---"
perf report -q -i "$dir/perf.data" --no-children --sort symbol --stdio 2>/dev/null |
    grep -E '^ +[0-9.]+%' | head -25
cp "$dir/perf.data" /tmp/tarnwick-perf.data 2>/dev/null || true
stop_daemon
