#!/bin/bash
# Throughput benchmark, in private network and mount namespaces (root
# needed).  Cases:
#   one    one file rule (*.info): for each rate, RUNS runs of COUNT datagrams
#          from loadgen; per run the messages lost, the daemon's CPU time per
#          message and the lines written per second, then the medians;
#   fifty  the same with 50 file rules of which 10 take the messages (each
#          message is written 10 times; lines/s counts every line);
#   names  a name server that never answers: one sender whose address has no
#          name (127.0.0.9) and one that has (127.0.0.1, localhost), each at
#          RATE datagrams a second for SECONDS: lost per sender, longest wait.
#
#   bench/run.sh [-c CASES] [-n RATE,SECONDS] [COUNT [RUNS [RATES...]]]
#
# Defaults: all three cases, 5000,5, 200000 datagrams, 3 runs, rates
# 10000 50000 100000 200000 300000 0 (0: flat out).
set -e
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"
tck=$(getconf CLK_TCK)

cases="one fifty names"
names="5000,5"
while getopts c:n: opt; do
    case $opt in
    c) cases=$OPTARG ;;
    n) names=$OPTARG ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
count=${1:-200000}
runs=${2:-3}
shift $(($# < 2 ? $# : 2))
rates=${*:-10000 50000 100000 200000 300000 0}

# median: the median of the numbers on standard input, one a line.
median() {
    sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# throughput TITLE RULE...: the rate table for one rule file; the first
# "bench" file rule is the one whose messages are counted.
throughput() {
    local title=$1 rate label run sent first drops cpu0 cpu1 tlast found lines lost cpu lps
    shift
    set_rules "$@"
    printf '\n%s, %d datagrams of 100 bytes\n' "$title" "$count"
    printf '%-8s %-6s %8s %8s %9s %11s %9s\n' rate run sent lost sockdrop 'cpu us/msg' 'lines/s'
    for rate in $rates; do
        label=$rate
        if [ "$rate" = 0 ]; then label=flat; fi
        : >"$dir/rows"
        for run in $(seq "$runs"); do
            start_daemon
            drops=$(udp_stat RcvbufErrors)
            cpu0=$(cpu_ticks "$pid")
            read -r sent _ first < <("$loadgen" 514 "$count" "$rate")
            wait_quiet "$dir"/log/bench*.LOG
            cpu1=$(cpu_ticks "$pid")
            drops=$(($(udp_stat RcvbufErrors) - drops))
            # The last line written: the latest modification of a log file.
            tlast=$(stat -c %.9Y "$dir"/log/bench*.LOG | sort -g | tail -1)
            set -- "$dir"/log/bench*.LOG
            found=$(tally "$1" | cut -d' ' -f2)
            lines=$(tally "$dir"/log/bench*.LOG | cut -d' ' -f1)
            stop_daemon
            read -r lost cpu lps < <(awk -v s="$sent" -v f="$found" -v l="$lines" \
                -v c="$((cpu1 - cpu0))" -v tck="$tck" -v t0="$first" -v t1="$tlast" 'BEGIN {
                    printf "%d %.1f %.0f\n", s - f, c / tck / f * 1e6, l / (t1 - t0) }')
            echo "$lost $cpu $lps" >>"$dir/rows"
            printf '%-8s %-6s %8d %8d %9d %11.1f %9.0f\n' "$label" "$run" "$sent" "$lost" \
                "$drops" "$cpu" "$lps"
        done
        printf '%-8s %-6s %8s %8s %9s %11s %9s\n' "$label" median '' \
            "$(cut -d' ' -f1 "$dir/rows" | median)" '' "$(cut -d' ' -f2 "$dir/rows" | median)" \
            "$(cut -d' ' -f3 "$dir/rows" | median)"
    done
}

# names_case RATE SECONDS
names_case() {
    local n=$(($1 * $2)) watch unnamed
    printf '\nname server that never answers (127.0.0.2:53), two senders at %d/s for %d s\n' "$1" "$2"
    printf 'nameserver 127.0.0.2\n' >"$dir/resolv.conf"
    printf '127.0.0.1\tlocalhost\n' >"$dir/hosts"
    mount --bind "$dir/resolv.conf" /etc/resolv.conf
    mount --bind "$dir/hosts" /etc/hosts
    python3 "$top/bench/blackhole-dns.py" &
    helpers=$!
    # Listening on 127.0.0.2:53 before the daemon asks (or the query fails at once).
    until grep -q ' 0200007F:0035 ' /proc/net/udp; do kill -0 "$helpers"; sleep 0.05; done
    set_rules "*.info\t$dir/log/bench"
    start_daemon
    python3 "$top/bench/linewait.py" "$dir"/log/bench_*.LOG 15 \
        localhost="$n" 127.0.0.9="$n" >"$dir/waits" &
    watch=$!
    until [ -s "$dir/waits" ]; do kill -0 "$watch"; sleep 0.05; done
    "$loadgen" -t -b 127.0.0.9 514 "$n" "$1" >/dev/null &
    unnamed=$!
    "$loadgen" -t -b 127.0.0.1 514 "$n" "$1" >/dev/null
    wait "$unnamed" "$watch"
    tail -n +2 "$dir/waits"
    stop_daemon
    kill "$helpers"
    helpers=
    umount /etc/hosts /etc/resolv.conf
}

echo "load before: $(uptime)"
for c in $cases; do
    case $c in
    one) throughput "one file rule" "*.info\t$dir/log/bench" ;;
    fifty)
        rules=()
        for i in $(seq 50); do
            if [ $((i % 5)) = 0 ]; then
                rules+=("*.info\t$dir/log/bench$i")
            else
                rules+=("local$((i % 8)).info\t$dir/log/other$i")
            fi
        done
        throughput "50 file rules, 10 of them take the messages" "${rules[@]}"
        ;;
    names) names_case "${names%,*}" "${names#*,}" ;;
    esac
done
echo "load after: $(uptime)"
