#!/bin/sh
# Builds and tests everything: the release build, then the address and
# undefined-behaviour sanitizer build, then the thread sanitizer build.
# The end-to-end tests need root (they make a private network namespace).
set -e
cd "$(dirname "$0")/.."
for preset in release asan tsan; do
    echo "=== $preset ==="
    cmake --workflow --preset "$preset"
done
