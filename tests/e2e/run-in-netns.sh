#!/bin/sh
# Runs a test binary in a private network namespace with its loopback up, so
# that the daemon can bind the real syslog port and no traffic leaves it.
# Exits 77 (skipped) where no namespace can be made.
if ! unshare -n true 2>/dev/null; then
    echo "cannot create a network namespace (run as root): skipped" >&2
    exit 77
fi
exec unshare -n -- sh -c 'ip link set lo up && exec "$@"' run-in-netns "$@"
