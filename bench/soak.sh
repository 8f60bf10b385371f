#!/bin/bash
# Soak and fault benchmark, in private network and mount namespaces (root
# needed).  Parts:
#   a  COUNT sequence-numbered datagrams at RATE to one file rule: lines
#      lost, duplicated and malformed;
#   b  RELOADS reloads (control 128 through tarnwick-sc, the daemon running
#      as a service), one every PAUSE ms, while datagrams arrive at BRATE:
#      lines lost;
#   c  a log directory on a 1 MiB tmpfs fills up (CCOUNT datagrams) while a
#      second file rule writes elsewhere: what is reported, the lines in the
#      second file; then space is freed under the full file and the rules
#      reloaded, then the full file is removed and the rules reloaded: do the
#      next lines land whole;
#   d  the traffic of (a) in runs of RUN identical messages, SIGTERM half way,
#      three file rules: the datagrams the daemon read against the messages
#      each file accounts for (pending repeats included), the exit line last.
# Prints what it sees, then a table of the figures against their goals.
#
#   bench/soak.sh [-a COUNT,RATE] [-b RELOADS,BRATE,PAUSE] [-c CCOUNT] [-d RUN] [PART...]
#
# Defaults: -a 1000000,50000 -b 100,20000,50 -c 20000 -d 30, parts a b c d.
set -e
# shellcheck source=bench/lib.sh
. "$(dirname "$0")/lib.sh"

a=1000000,50000 b=100,20000,50 ccount=20000 runlen=30
while getopts a:b:c:d: opt; do
    case $opt in
    a) a=$OPTARG ;;
    b) b=$OPTARG ;;
    c) ccount=$OPTARG ;;
    d) runlen=$OPTARG ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
IFS=, read -r acount arate <<<"$a"
IFS=, read -r reloads brate pause <<<"$b"
parts=${*:-a b c d}

# figure PART TEXT VALUE [GOAL]: a row of the final table.
figure() {
    printf '%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "${4-}" >>"$dir/figures"
}

# send COUNT RATE: loadgen to the syslog port; prints the count sent.
send() {
    "$loadgen" 514 "$1" "$2" | cut -d' ' -f1
}

part_a() {
    local sent drops lines unique dup bad
    echo "(a) $acount datagrams at $arate/s to one file rule"
    set_rules "*.info\t$dir/log/soak"
    start_daemon
    drops=$(udp_stat RcvbufErrors)
    sent=$(send "$acount" "$arate")
    wait_quiet "$dir"/log/soak*.LOG
    drops=$(($(udp_stat RcvbufErrors) - drops))
    read -r lines unique dup bad < <(tally "$dir"/log/soak*.LOG)
    stop_daemon
    figure a "datagrams sent" "$sent"
    figure a "lines lost" $((sent - unique)) 0
    figure a "  of them dropped by the full socket buffer" "$drops"
    figure a "lines duplicated" "$dup" 0
    figure a "lines malformed" "$bad" 0
}

part_b() {
    local gen sent failed=0 t0 t1 drops lines unique dup bad
    echo "(b) $reloads reloads through tarnwick-sc, one every $pause ms, while $brate datagrams a second arrive"
    set_rules "*.info\t$dir/log/soak"
    service_start
    drops=$(udp_stat RcvbufErrors)
    "$loadgen" 514 0 "$brate" >"$dir/gen.out" &
    gen=$!
    helpers=$gen
    sleep 0.5
    t0=$(date +%s.%N)
    for _ in $(seq "$reloads"); do
        service_reload || failed=$((failed + 1))
        sleep "$(awk -v ms="$pause" 'BEGIN { print ms / 1000 }')"
    done
    t1=$(date +%s.%N)
    sleep 0.5
    kill -TERM "$gen"
    wait "$gen"
    helpers=''
    sent=$(cut -d' ' -f1 "$dir/gen.out")
    wait_quiet "$dir"/log/soak*.LOG
    drops=$(($(udp_stat RcvbufErrors) - drops))
    read -r lines unique dup bad < <(tally "$dir"/log/soak*.LOG)
    figure b "reloads that failed" "$failed" 0
    figure b "seconds the reloads took" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", b - a }')"
    figure b "\"tarnwick: restart\" lines (reloads + 1)" \
        "$(matches 'tarnwick: restart' "$dir"/log/soak*.LOG)" $((reloads + 1))
    service_stop
    figure b "datagrams sent" "$sent"
    figure b "lines lost" $((sent - unique)) 0
    figure b "  of them dropped by the full socket buffer" "$drops"
    figure b "lines duplicated" "$dup" 0
    figure b "lines malformed" "$bad" 0
}

# reports FILE...: the daemon's own lines in the files, but for the restarts.
reports() {
    cat "$@" | grep -F 'tarnwick: ' | grep -vF 'tarnwick: restart' || true
}

part_c() {
    local full=$dir/full second=$dir/log/second total lines0 bad0 lines1 bad1 lines bad
    echo "(c) a 1 MiB tmpfs fills up ($ccount datagrams at 10000/s); a second rule writes elsewhere"
    mkdir "$full"
    mount -t tmpfs -o size=1m tmpfs "$full"
    # Ballast: removed later to free space under the full file.
    head -c 65536 /dev/zero >"$full/ballast"
    set_rules "*.info\t$full/fill" "*.info\t$second"
    service_start
    total=$(send "$ccount" 10000)
    wait_quiet "$full"/fill*.LOG "$second"*.LOG
    read -r lines0 _ _ bad0 < <(tally "$full"/fill*.LOG)
    echo "    the full file: $lines0 whole lines, $bad0 malformed, $(df -k --output=avail "$full" | tail -1 | tr -d ' ') KiB left"
    echo "    the daemon's reports in the second file:"
    reports "$second"*.LOG | sed 's/^/        /'
    figure c "lines in the full file, whole / malformed" "$lines0 / $bad0"
    figure c "failure reports (second file)" \
        "$(reports "$second"*.LOG | wc -l)" 1

    # Space freed under the full file, then a reload: the next lines start on
    # a line of their own.
    rm "$full/ballast"
    service_reload
    total=$((total + $(send 100 1000)))
    wait_quiet "$full"/fill*.LOG "$second"*.LOG
    read -r lines1 _ _ bad1 < <(tally "$full"/fill*.LOG)
    echo "    space freed, reload, 100 sent: the malformed lines of the full file:"
    tally -v "$full"/fill*.LOG | sed 's/^/        /'
    figure c "space freed, reload, 100 sent: whole lines added" $((lines1 - lines0)) 100
    figure c "  malformed lines in the full file then" "$bad1" 0

    # The full file removed, then a reload: the next lines go to a new file.
    rm "$full"/fill*.LOG
    service_reload
    total=$((total + $(send 100 1000)))
    wait_quiet "$full"/fill*.LOG "$second"*.LOG
    read -r lines bad < <(tally "$full"/fill*.LOG | cut -d' ' -f1,4)
    figure c "file removed, reload, 100 sent: whole lines / malformed" "$lines / $bad" "100 / 0"
    service_stop
    read -r lines _ _ bad < <(tally "$second"*.LOG)
    figure c "lines in the second file, of all sent" "$lines / $total" "$total / $total"
    figure c "  malformed lines in the second file" "$bad" 0
    figure c "failure reports in all (second file)" \
        "$(reports "$second"*.LOG | wc -l)" 1
    umount "$full"
}

part_d() {
    local gen read0 drops half f n msgs bad
    echo "(d) $acount datagrams at $arate/s in runs of $runlen, three file rules, SIGTERM half way"
    set_rules "*.info\t$dir/log/soak1" "*.notice\t$dir/log/soak2" "*.debug\t$dir/log/soak3"
    start_daemon
    read0=$(udp_stat InDatagrams)
    drops=$(udp_stat RcvbufErrors)
    "$loadgen" -r "$runlen" 514 "$acount" "$arate" >/dev/null 2>&1 &
    gen=$!
    helpers=$gen
    half=$(awk -v n="$acount" -v r="$arate" 'BEGIN { print n / r / 2 }')
    sleep "$half"
    stop_daemon
    kill "$gen" 2>/dev/null || true
    wait "$gen" || true
    helpers=''
    read0=$(($(udp_stat InDatagrams) - read0))
    drops=$(($(udp_stat RcvbufErrors) - drops))
    figure d "exit status after SIGTERM" "$status" 0
    figure d "datagrams the daemon read (before its exit)" "$read0"
    figure d "  dropped by the full socket buffer" "$drops"
    for f in soak1 soak2 soak3; do
        # Messages accounted for: message lines plus the counts of repeat lines.
        msgs=$(awk '$5 == "bench" { n++ } $7 == "repeated" { n += $8 } END { print n + 0 }' \
            "$dir"/log/"$f"_*.LOG)
        n=$(matches 'tarnwick: exiting on signal 15' "$dir"/log/"$f"_*.LOG)
        bad=$(tally "$dir"/log/"$f"_*.LOG | cut -d' ' -f4)
        figure d "$f: messages accounted for, of those read" "$msgs" "$read0"
        figure d "$f: exit lines / last line is the exit line" \
            "$n / $(tail -n 1 "$dir"/log/"$f"_*.LOG | matches 'tarnwick: exiting on signal 15')" "1 / 1"
        figure d "$f: lines malformed" "$bad" 0
        figure d "$f: the line before the exit line" \
            "$(tail -n 2 "$dir"/log/"$f"_*.LOG | head -1 | cut -d' ' -f5- | tr -d '\r' | cut -c1-32)"
    done
}

echo "load before: $(uptime)"
: >"$dir/figures"
for p in $parts; do
    "part_$p"
done
echo "load after: $(uptime)"
echo
awk -F'\t' '{ printf "%-2s %-58s %15s %15s %s\n", $1, $2, $3, $4, $4 == "" ? "" : $3 == $4 ? "met" : "MISSED" }' \
    "$dir/figures"
