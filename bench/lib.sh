# Shared by bench/run.sh and bench/soak.sh (sourced, not run).
#
# Sourced before the script reads its arguments: builds the daemon, the
# service command and loadgen, then runs the script again in private network
# and mount namespaces (root needed), with the same arguments.  There it
# makes a scratch folder $dir (removed at exit) with the settings files, a
# log directory $dir/log and a service database $dir/scm, and sets
# $tarnwick, $sc and $loadgen.
# shellcheck shell=bash disable=SC2034 # sets variables for the scripts

top="$(cd "$(dirname "$0")/.." && pwd)"
if [ -z "$TARNWICK_BENCH_IN_NS" ]; then
    (cd "$top" && cmake --preset release >/dev/null &&
        cmake --build build/release -j2 --target tarnwick tarnwick-sc loadgen >/dev/null)
    TARNWICK_BENCH_IN_NS=1 exec unshare -n -m bash "$0" "$@"
fi
ip link set lo up
tarnwick='' sc='' loadgen=''
# shellcheck source=/dev/null
. "$top/build/release/bench/programs.sh"
dir="$(mktemp -d /tmp/tarnwick-bench-XXXXXX)"
mkdir "$dir/log" "$dir/scm"
chmod 0700 "$dir/scm"
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvane\\TARNWICK]\n"Log Dir"="%s"\n' \
    "$dir/log" >"$dir/registry.reg"
printf '[TARNWICK]\n' >"$dir/win.ini"
export TARNWICK_REGISTRY="$dir/registry.reg" TARNWICK_PROFILE="$dir/win.ini"
export TARNWICK_EVENTLOG="$dir/eventlog" TARNWICK_SCM="$dir/scm" TZ=UTC
# The text loadgen pads its datagrams with, as it reaches the log file.
pad=$(printf '%76s' '' | tr ' ' x)

# At exit: the daemon, the service and the helpers this run started end,
# and the scratch folder goes.
pid='' helpers=''
cleanup() {
    local p
    for p in $pid $helpers; do kill "$p" 2>/dev/null || true; done
    if [ -e "$dir/scm/tarnwick.service" ]; then service_stop; fi
    rm -rf "$dir"
}
trap cleanup EXIT

# set_rules LINE...: the rule file, one rule a line ("selector<TAB>action").
set_rules() {
    printf '%b\n' "$@" >"$dir/log/syslog.conf"
}

# wait_ready: waits until a log file holds the restart line of the load.
wait_ready() {
    for _ in $(seq 100); do
        if grep -qs 'tarnwick: restart' "$dir"/log/*.LOG; then
            return 0
        fi
        sleep 0.1
    done
    echo "bench: the daemon did not load its rules" >&2
    return 1
}

# start_daemon: runs "tarnwick -debug" on the rule file; sets $pid.
start_daemon() {
    rm -f "$dir"/log/*.LOG
    "$tarnwick" -debug >"$dir/daemon.out" 2>&1 &
    pid=$!
    wait_ready
}

# stop_daemon: SIGTERM, then waits; sets $status to its exit status.
stop_daemon() {
    kill -TERM "$pid"
    status=0
    wait "$pid" || status=$?
    pid=
}

# Service runs through the service database, as tarnwick-sc drives them.
service_start() {
    rm -f "$dir"/log/*.LOG
    "$tarnwick" -install >/dev/null
    "$sc" start Tarnwick >/dev/null
}
service_reload() {
    "$sc" control Tarnwick 128 >/dev/null
}
service_stop() {
    "$sc" stop Tarnwick >/dev/null || true
    "$tarnwick" -remove >/dev/null || true
}

# wait_quiet FILE...: waits until the files have not grown for 0.3 s.
wait_quiet() {
    local last=-1 now
    now=$(stat -c %s "$@" 2>/dev/null | awk '{ n += $1 } END { print n }')
    while [ "$now" != "$last" ]; do
        last=$now
        sleep 0.3
        now=$(stat -c %s "$@" 2>/dev/null | awk '{ n += $1 } END { print n }')
    done
}

# matches TEXT FILE...: how many lines of the files hold TEXT.
matches() {
    local text=$1
    shift
    cat "$@" | grep -cF -- "$text" || true
}

# cpu_ticks PID: user and system time of the process so far, in ticks.
cpu_ticks() {
    awk '{print $14 + $15}' "/proc/$1/stat"
}

# udp_stat NAME: a UDP counter of this network namespace (/proc/net/snmp):
# InDatagrams counts the datagrams read by a program, RcvbufErrors those the
# kernel dropped for a full receive buffer.
udp_stat() {
    awk -v name="$1" '$1 == "Udp:" {
        if (!col) { for (i = 2; i <= NF; i++) if ($i == name) col = i } else print $col }' \
        /proc/net/snmp
}

# tally FILE...: prints "lines unique duplicated malformed" for loadgen's
# message lines in the files (unique: distinct sequence or run numbers).
# Malformed is any line that is neither a whole message line nor a
# "last message repeated" line nor one of the daemon's own "tarnwick: "
# lines; a torn last line (no line end) is malformed.  tally -v FILE...
# prints the malformed lines instead (their first 150 characters).
tally() {
    local f show=0
    if [ "$1" = -v ]; then show=1 && shift; fi
    for f; do
        cat "$f"
        # A torn last line: mark it, so that it is malformed on any reading.
        if [ -n "$(tail -c 1 "$f")" ]; then printf '<torn>\n'; fi
    done | awk -v pad="$pad" -v show="$show" '
        { ok = substr($0, length($0)) == "\r" &&
               $0 ~ /^[A-Z][a-z][a-z] [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] / }
        ok && NF == 7 && $5 == "bench" && $6 ~ /^(seq|run)=[0-9]+$/ && length($6) == 13 &&
            $7 == pad "\r" { lines++; if (!seen[$6]++) unique++; next }
        ok && NF == 9 && $5 " " $6 " " $7 == "last message repeated" && $9 == "times\r" { next }
        ok && $5 == "tarnwick:" { next }
        { malformed++; if (show) print substr($0, 1, 150) }
        END { if (!show) printf "%d %d %d %d\n", lines, unique, lines - unique, malformed }'
}
