#!/bin/sh
# Builds the daemon and runs it in the console (-debug) on the bundled
# configuration: settings from examples/registry.reg, trace settings from
# examples/win.ini, rules from examples/syslog.conf.  Log files, the PID file
# and the trace file go to /tmp/tarnwick.  Needs root to bind UDP port 514.
# Stop it with Ctrl+\ (an orderly stop) or Ctrl+C (the signal exit).
set -e
top="$(cd "$(dirname "$0")/.." && pwd)"
cmake --preset release >/dev/null
cmake --build "$top/build/release" --target tarnwick
mkdir -p /tmp/tarnwick
cp "$top/examples/syslog.conf" /tmp/tarnwick/syslog.conf
export TARNWICK_REGISTRY="$top/examples/registry.reg"
export TARNWICK_PROFILE="$top/examples/win.ini"
exec "$top/build/release/tarnwick" -debug "$@"
