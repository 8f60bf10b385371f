#!/bin/bash
# The Windows executable's main job, end to end under wine:
#   settings imported into the registry (wine reg import), the [TARNWICK]
#   section written into WIN.INI, tarnwick.exe -debug started in a private
#   network namespace that holds its wineserver too, datagrams sent from
#   Linux to 127.0.0.1:514, the daily log files checked byte for byte (CR LF
#   from text mode), the trace checked on the debugger channel
#   (WINEDEBUG=+debugstr) and in the daily trace file, and Ctrl+C (kill -INT)
#   ending the run through the signal path with exit status 0.
#
#   tools/e2e-wine.sh [BUILD_DIR]      (default build/windows)
#
# Then the same as a service: -install, sc start, a datagram, control 128
# (reload, sent by tests/win32/sccontrol.exe), a repeated datagram, -remove
# while it runs: the pending repeats are written; then six more runs, each
# stopped by control 1: every run's last report is written before its
# process ends.
#
# Prints one PASS or FAIL line per check; exits 0 when all pass, 1 when one
# fails, 77 when no network namespace can be made (not root).  Any wineserver
# of the prefix must be stopped first: the one this script starts must live
# in the namespace, since it creates the process's sockets.
set -u

if [ "${TARNWICK_E2E_IN_NETNS:-}" != 1 ]; then
    if ! unshare -n true 2>/dev/null; then
        echo "SKIP: cannot create a network namespace (run as root)"
        exit 77
    fi
    export TARNWICK_E2E_IN_NETNS=1
    exec unshare -n -- "$0" "$@"
fi

cd "$(dirname "$0")/.."
build=$(cd "${1:-build/windows}" && pwd)
exe=$build/tarnwick.exe
WINEPREFIX=${WINEPREFIX:-$build/wineprefix}
. tools/wine-env.sh

failures=0
pass() { echo "PASS: $*"; }
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

work=$(mktemp -d /tmp/tarnwick-e2e-wine.XXXXXX)
drive_c=$WINEPREFIX/drive_c
logdir=$drive_c/syslog
winini=$drive_c/windows/win.ini
daemon=

# The [TARNWICK] section of WIN.INI removed, wherever it stands.
drop_section() {
    [ -f "$winini" ] || return 0
    awk 'BEGIN { skip = 0 }
         /^\[/ { skip = (toupper($0) ~ /^\[TARNWICK\]\r?$/) }
         !skip { print }' "$winini" >"$work/win.ini" && cat "$work/win.ini" >"$winini"
}

cleanup() {
    if [ -n "$daemon" ] && kill -0 "$daemon" 2>/dev/null; then
        kill -KILL "$daemon" 2>/dev/null
    fi
    wine sc delete Tarnwick >/dev/null 2>&1 </dev/null
    wine reg delete 'HKLM\SOFTWARE\Halvane' /f >/dev/null 2>&1 </dev/null
    drop_section
    rm -rf "$logdir"
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

[ -x "$exe" ] || { fail "no $exe (build the windows preset first)"; exit 1; }
ip link set lo up

# This namespace's own wineserver, kept running for the whole run.
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
wineserver -p
wine wineboot </dev/null >/dev/null 2>&1

# Settings, as an administrator would import them on Windows.
cat >"$work/tarnwick.reg" <<'EOF'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Halvane\TARNWICK]
"Log Dir"="c:\\syslog"
"Config File"="c:\\syslog\\syslog.conf"
"PID File"="c:\\syslog\\syslog.pid"
EOF
quiet() { "$@" </dev/null >/dev/null 2>&1; }
check "wine reg import of the settings" \
    quiet wine reg import "$(winepath -w "$work/tarnwick.reg" 2>/dev/null)"
check "the settings read back" \
    sh -c 'wine reg query "HKLM\\SOFTWARE\\Halvane\\TARNWICK" /v "Log Dir" </dev/null 2>/dev/null |
           grep -q "c:\\\\syslog"'

# The trace settings in WIN.INI; the rule file in the log directory.
drop_section
printf '[TARNWICK]\r\nDebugFlags=Trace,Warning,Error\r\nLogFile=c:\\syslog\\trace.txt\r\n' \
    >>"$winini"
rm -rf "$logdir"
mkdir -p "$logdir"
printf '*.info\t\\syslog\\messages\r\nmail.err\t\\syslog\\mail\r\n' >"$logdir/syslog.conf"

# The names the log lines carry: the sender's (reverse look-up of the
# loopback address) and the local host's, each cut at its first dot.
sender=$(getent hosts 127.0.0.1 | awk '{ print $2; exit }')
sender=${sender%%.*}
[ -n "$sender" ] || sender=127.0.0.1
localhost=$(uname -n)
localhost=${localhost%%.*}

# The console run, its trace on the debugger channel (standard error).
day=$(date -u +%Y%m%d)
TZ=UTC WINEDEBUG=-all,+debugstr wine "$exe" -debug >"$work/stdout" 2>"$work/stderr" </dev/null &
daemon=$!

# Listening once the PID file is there (written after the bind).
for _ in $(seq 150); do
    [ -s "$logdir/syslog.pid" ] && break
    kill -0 "$daemon" 2>/dev/null || break
    sleep 0.2
done
check "the daemon started and wrote its PID file" test -s "$logdir/syslog.pid"
check "the PID file is the decimal id and CR LF" \
    grep -qaxE '[0-9]+'$'\r' "$logdir/syslog.pid"

send() { printf '%s' "$1" >/dev/udp/127.0.0.1/514; }
long=$(printf 'x%.0s' $(seq 1100))
send '<13>Mar 07 10:00:00 hello from linux'
send '<19>Mar 07 10:00:01 mail trouble'
send '<15>Mar 07 10:00:02 debug is not selected'
send "<13>Mar 07 10:00:03 $long"
send '<14>Mar 07 10:00:04 last one'

messages=$logdir/messages_$day.LOG
mail=$logdir/mail_$day.LOG
for _ in $(seq 100); do
    grep -qa 'last one' "$messages" 2>/dev/null && break
    sleep 0.1
done

# Ctrl+C from outside: CTRL_C_EVENT, taken by the SIGINT handler.
kill -INT "$daemon"
status=timeout
for _ in $(seq 100); do
    if ! kill -0 "$daemon" 2>/dev/null; then
        wait "$daemon"
        status=$?
        break
    fi
    sleep 0.1
done
daemon_pid=$daemon
daemon=
check "kill -INT ends the run with exit status 0 (got $status)" test "$status" = 0
check "through the signal path, not the console handler" \
    sh -c "! grep -qa 'Stopping Tarnwick' '$work/stdout'"
check "the console run announced itself" grep -qa "^Debugging Tarnwick." "$work/stdout"

# The daily log file, byte for byte.  The daemon's own lines carry the time
# they were written: their stamps are checked for form and then taken over.
stamp_re='^[A-Z][a-z][a-z] [ 0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]$'
first=$(head -c 15 "$messages" 2>/dev/null)
last=$(tail -n 1 "$messages" 2>/dev/null | head -c 15)
check "the daemon's own lines are stamped" \
    sh -c "echo '$first' | grep -qE '$stamp_re' && echo '$last' | grep -qE '$stamp_re'"
cut=$(printf 'x%.0s' $(seq 1004))  # 1024 bytes received, less "<13>" and the stamp
{
    printf '%s %s tarnwick: restart\r\n' "$first" "$localhost"
    printf 'Mar 07 10:00:00 %s hello from linux\r\n' "$sender"
    printf 'Mar 07 10:00:01 %s mail trouble\r\n' "$sender"
    printf 'Mar 07 10:00:03 %s %s\r\n' "$sender" "$cut"
    printf 'Mar 07 10:00:04 %s last one\r\n' "$sender"
    printf '%s %s tarnwick: exiting on signal 2\r\n' "$last" "$localhost"
} >"$work/messages.expected"
printf 'Mar 07 10:00:01 %s mail trouble\r\n' "$sender" >"$work/mail.expected"
check "messages_$day.LOG byte for byte" cmp "$work/messages.expected" "$messages"
check "mail_$day.LOG byte for byte" cmp "$work/mail.expected" "$mail"
if ! cmp -s "$work/messages.expected" "$messages"; then
    diff <(od -c "$work/messages.expected") <(od -c "$messages") | head -20
fi

# The trace on the debugger channel: wine prints each OutputDebugStringA
# text quoted and C-escaped.
debugstr() { grep -qaF "Trace   : $1\\n\"" "$work/stderr"; }
check "debugger channel: going into the loop" debugstr "going into tarnwick_loop ..."
check "debugger channel: listening" debugstr "listening on syslog UDP port"
check "debugger channel: the long datagram cut" \
    debugstr "datagram longer than 1024 bytes: cut to its first 1024"
check "debugger channel: the exit on signal 2" debugstr "tarnwick: exiting on signal 2"

# The daily trace file: stamped lines in text mode.
trace=$logdir/trace_$day.LOG
check "trace file: going into the loop" grep -qaF "Trace   : going into tarnwick_loop ..." "$trace"
check "trace file: the exit on signal 2" grep -qaF "Trace   : tarnwick: exiting on signal 2" "$trace"
check "trace file: lines stamped MM/DD hh:mm:ss.mmm" \
    grep -qaE '^[01][0-9]/[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\.[0-9]{3}: [0-9A-F]{3,}> Trace   : off & running\.\.\.\.'$'\r''$' \
    "$trace"
lf=$(tr -cd '\n' <"$trace" | wc -c)
crlf=$(grep -ca $'\r$' "$trace")
check "trace file: every line ends in CR LF ($crlf of $lf)" test "$lf" -gt 0 -a "$lf" = "$crlf"

# The service run: installed with -install, started by the service manager
# (sc start), a datagram logged, the rule file reloaded with control 128,
# then stopped and removed with -remove while it runs.
sccontrol=$build/tests/sccontrol.exe
rm -f "$logdir"/*.LOG "$logdir/syslog.pid"
wine "$exe" -install </dev/null >"$work/install" 2>/dev/null
check "-install: \"Tarnwick installed.\"" \
    cmp -s "$work/install" <(printf 'Tarnwick installed.\r\n')
check "sc start Tarnwick" quiet wine sc start Tarnwick
for _ in $(seq 150); do
    [ -s "$logdir/syslog.pid" ] && break
    sleep 0.2
done
check "the service wrote its PID file" test -s "$logdir/syslog.pid"
check "sc query: RUNNING" \
    sh -c 'wine sc query Tarnwick </dev/null 2>/dev/null | grep -qE "STATE +: 4 +RUNNING"'
send '<13>Mar 07 10:00:10 hello service'
for _ in $(seq 100); do
    grep -qa 'hello service' "$messages" 2>/dev/null && break
    sleep 0.1
done
check "control 128 (reload) delivered" quiet wine "$sccontrol" Tarnwick 128
for _ in $(seq 100); do
    [ "$(grep -ca 'tarnwick: restart' "$messages" 2>/dev/null)" = 2 ] && break
    sleep 0.1
done
# Three times the same: one line, and two repeats pending at the stop.
for _ in 1 2 3; do send '<13>Mar 07 10:00:11 again'; done
for _ in $(seq 100); do
    grep -qa 'msg repeated 2 times' "$trace" 2>/dev/null && break
    sleep 0.1
done
wine "$exe" -remove </dev/null >"$work/remove" 2>/dev/null
# One dot for each second it waited while the service stopped.
sed $'s/^Stopping Tarnwick\\.*\r$/Stopping Tarnwick.\r/' "$work/remove" >"$work/remove.got"
printf 'Stopping Tarnwick.\r\nTarnwick stopped.\r\nTarnwick removed.\r\n' >"$work/remove.expected"
check "-remove stops the running service, then removes it" \
    cmp -s "$work/remove.expected" "$work/remove.got"
check "the service is gone (1060 to the next control)" \
    sh -c "wine '$sccontrol' Tarnwick 4 </dev/null 2>/dev/null | grep -qa 'FAILED 1060'"

# Its log file: the start, the datagram, the reload's restart, byte for byte
# behind the daemon's own stamps.
head -n 3 "$messages" >"$work/service.got" 2>/dev/null
s1=$(sed -n 1p "$messages" | head -c 15)
s3=$(sed -n 3p "$messages" | head -c 15)
{
    printf '%s %s tarnwick: restart\r\n' "$s1" "$localhost"
    printf 'Mar 07 10:00:10 %s hello service\r\n' "$sender"
    printf '%s %s tarnwick: restart\r\n' "$s3" "$localhost"
} >"$work/service.expected"
check "service run: messages_$day.LOG byte for byte" cmp "$work/service.expected" "$work/service.got"
last_line_is() { [ "$(tail -n 1 "$1")" = "$2"$'\r' ]; }
check "service run: the stop wrote the pending repeats, and no error after them" \
    last_line_is "$messages" "Mar 07 10:00:11 $sender last message repeated 2 times"
for line in "UpdateServiceStatus(RUNNING)" "re-initing service....." \
    "UpdateServiceStatus(STOP_PENDING)" "UpdateServiceStatus(STOPPED)"; do
    check "service trace file: $line" grep -qaF "Trace   : $line" "$trace"
done

# Each stop reports STOPPED twice: from the control handler, then from
# ServiceMain once the loop has returned, a moment after the dispatcher's own
# return, so that a process that ends too soon loses the second.  The run
# above and six more, each stopped by control 1.
reports() { grep -ca "Trace   : UpdateServiceStatus($1)" "$trace"; }
runs=7
quiet wine "$exe" -install
for run in $(seq 2 "$runs"); do
    quiet wine sc start Tarnwick
    for _ in $(seq 100); do
        [ "$(reports RUNNING)" -ge "$run" ] && break
        sleep 0.1
    done
    quiet wine "$sccontrol" Tarnwick 1
    for _ in $(seq 50); do
        [ "$(reports STOPPED)" -ge $((2 * run)) ] && break
        sleep 0.1
    done
done
quiet wine "$exe" -remove
check "service runs: ServiceMain's STOPPED report in each of $runs ($(reports STOPPED) of $((2 * runs)))" \
    test "$(reports STOPPED)" = $((2 * runs))

if [ "$failures" -ne 0 ]; then
    echo "--- standard output of tarnwick.exe $daemon_pid"
    head -50 "$work/stdout"
    echo "--- standard error (last lines)"
    tail -30 "$work/stderr"
    echo "e2e-wine: $failures check(s) failed"
    exit 1
fi
echo "e2e-wine: all checks passed"
