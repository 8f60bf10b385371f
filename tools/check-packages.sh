#!/bin/bash
# Builds both packages (tools/package.sh) and checks them on this machine, as
# root:
#   the Debian package: lintian without errors; dpkg -i registers the service
#   (tarnwick-sc query), puts the files in place, and its default rule file
#   passes tarnwick-check; dpkg --purge leaves no service record and no
#   program file, and keeps the log folder;
#   the Windows installer, in a fresh wine prefix inside a private network
#   namespace (the service it starts binds port 514): a silent install writes
#   the service with its quoted path, the event source, the three settings
#   and the default rule file and starts the service; a second install with
#   /NOSTART keeps an edited rule file and leaves the service stopped; the
#   silent uninstall removes the service, the event source and the program
#   files and keeps the log folder and the settings.
# Prints one PASS or FAIL line per check; exits 0 when all pass.
set -u
cd "$(dirname "$0")/.."

failures=0
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@" >/dev/null 2>&1 </dev/null; then
        echo "PASS: $what"
    else
        echo "FAIL: $what"
        failures=$((failures + 1))
    fi
}
absent() { ! "$@"; }

if [ "${1:-}" != wine ]; then
    tools/package.sh >/dev/null || exit 1
    deb=$(echo build/packages/tarnwick_*_amd64.deb)
    echo "=== $deb ==="
    check "lintian reports no errors" lintian --fail-on error "$deb"
    # What this machine keeps there already is put aside for the check.
    saved=$(mktemp -d /tmp/tarnwick-saved.XXXXXX)
    for d in /var/lib/tarnwick /etc/tarnwick; do
        [ -e $d ] && mkdir -p "$saved$(dirname $d)" && mv $d "$saved$d"
    done
    check "dpkg -i" dpkg -i "$deb"
    check "the service is registered" \
        sh -c 'TARNWICK_SCM= tarnwick-sc query Tarnwick | grep -q "STATE"'
    files="/usr/sbin/tarnwick /usr/sbin/tarnwick-sc /usr/bin/tarnwick-check
           /lib/systemd/system/tarnwick.service /etc/tarnwick/registry.reg
           /etc/tarnwick/win.ini /etc/tarnwick/syslog.conf /usr/share/man/man8/tarnwick.8.gz
           /usr/share/man/man8/tarnwick-sc.8.gz /usr/share/man/man1/tarnwick-check.1.gz
           /usr/share/man/man5/tarnwick.conf.5.gz"
    check "the files are in place" ls $files
    check "the default rule file passes tarnwick-check" \
        env -u TARNWICK_REGISTRY tarnwick-check
    check "dpkg --purge" dpkg --purge tarnwick
    check "no service record is left" absent test -e /var/lib/tarnwick/scm
    check "no program file is left" absent ls -d $files /etc/tarnwick
    check "the log folder stays" test -d /var/log/tarnwick
    rmdir /var/log/tarnwick 2>/dev/null
    for d in /var/lib/tarnwick /etc/tarnwick; do
        [ -e "$saved$d" ] && rm -rf $d && mv "$saved$d" $d
    done
    rm -rf "$saved"
    exec unshare -n -- "$0" wine $failures
fi

# The installer, in a fresh prefix and this namespace's own wineserver.
failures=$2
setup=$(cd build/packages && echo "$PWD"/tarnwick-*-setup.exe)
echo "=== $setup ==="
ip link set lo up
work=$(mktemp -d /tmp/tarnwick-setup.XXXXXX)
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
unset DISPLAY
trap 'wineserver -k; wineserver -w; rm -rf "$work"' EXIT
wineboot -i </dev/null >/dev/null 2>&1
wineserver -w
wineserver -p
wine wineboot </dev/null >/dev/null 2>&1
c=$WINEPREFIX/drive_c
program="$c/Program Files/Tarnwick"
has() {  # has KEY VALUE TEXT: the registry value holds TEXT
    wine reg query "$1" /v "$2" 2>/dev/null | grep -qF "$3"
}
state() { wine sc query Tarnwick 2>/dev/null | grep -q "STATE.*$1"; }
service='HKLM\SYSTEM\CurrentControlSet\Services\Tarnwick'
source='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Tarnwick'
settings='HKLM\SOFTWARE\Halvane\TARNWICK'

check "silent install" wine "$setup" /S
check "the service's path in quotes" has "$service" ImagePath '"C:\Program Files\Tarnwick\tarnwick.exe"'
check "the service runs" state RUNNING
check "the event source" has "$source" EventMessageFile 'C:\Program Files\Tarnwick\tarnwick.exe'
check "the setting Log Dir" has "$settings" "Log Dir" 'c:\syslog'
check "the setting Config File" has "$settings" "Config File" 'c:\syslog\syslog.conf'
check "the setting PID File" has "$settings" "PID File" 'c:\syslog\syslog.pid'
check "the default rule file" grep -q '^\*\.err	\\syslog\\errors' "$c/syslog/syslog.conf"
check "tarnwick-check.exe passes it" wine "$program/tarnwick-check.exe"

printf 'mail.*\t\\syslog\\mail\r\n' >"$c/syslog/syslog.conf"
wine reg add "$settings" /v "PID File" /d 'c:\syslog\mine.pid' /f >/dev/null 2>&1
check "a second silent install, /NOSTART" wine "$setup" /S /NOSTART
check "the edited rule file stays" grep -q '^mail' "$c/syslog/syslog.conf"
check "a setting that was there stays" has "$settings" "PID File" 'c:\syslog\mine.pid'
check "the service is stopped" state STOPPED

check "silent uninstall" wine "$program/uninstall.exe" /S
# The uninstaller runs from a copy of its own, which ends after the call.
for _ in $(seq 60); do [ -e "$program" ] || break; sleep 0.5; done
check "the service is removed" absent wine reg query "$service"
check "the event source is removed" absent wine reg query "$source"
check "the program files are removed" absent test -e "$program"
check "the settings stay" has "$settings" "Log Dir" 'c:\syslog'
check "the log folder and the rule file stay" test -f "$c/syslog/syslog.conf"
[ "$failures" = 0 ]
