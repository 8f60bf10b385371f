#!/bin/sh
# Builds and tests the Windows executable under wine: the unit tests through
# CTest (the windows preset), then the end-to-end run of tarnwick.exe
# (tools/e2e-wine.sh, which needs root for its network namespace).
#
# The wine prefix lives in the build folder (tools/wine-env.sh).  A
# persistent wineserver serves the unit tests (without it every test pays the
# server's start); it is stopped before the end-to-end run, which starts its
# own inside its network namespace.
set -e
cd "$(dirname "$0")/.."
build=build/windows
. tools/wine-env.sh

stop_server() {
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
}
trap stop_server EXIT

echo "=== windows: wine prefix ==="
mkdir -p "$build"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i </dev/null
    wineserver -w
fi
stop_server
wineserver -p
wine wineboot </dev/null

echo "=== windows: build and unit tests ==="
cmake --workflow --preset windows </dev/null
stop_server

echo "=== windows: end to end ==="
tools/e2e-wine.sh "$build"
