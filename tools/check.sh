#!/bin/sh
# Checks the formatting (tools/check-format.sh), then builds and tests
# everything: the Linux release build, the address and
# undefined-behaviour sanitizer build and the thread sanitizer build, then the
# Windows executable and its tests under wine (tools/check-windows.sh) where
# mingw-w64 and wine are installed.  The end-to-end tests need root (they
# make private network namespaces).
set -e
cd "$(dirname "$0")/.."
tools/check-format.sh
for preset in release asan tsan; do
    echo "=== $preset ==="
    cmake --workflow --preset "$preset"
done
if command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 && command -v wine >/dev/null 2>&1; then
    tools/check-windows.sh
else
    echo "=== windows: skipped (apt-get install mingw-w64 wine wine64 to run it) ==="
fi
