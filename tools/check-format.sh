#!/bin/sh
# Fails when a C++ file of the tree (build/ aside) is not as clang-format (with
# the tree's .clang-format) would write it, and names the files.  Run it from
# anywhere; tools/check.sh runs it first.
set -e
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null 2>&1; then
    echo "check-format: clang-format is not installed (apt-get install clang-format)"
    exit 1
fi
bad=$(find . \( -path ./build -o -path ./.git \) -prune -o \( -name '*.cpp' -o -name '*.h' \) -print |
    sort | while read -r file; do
    clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || echo "$file"
done)
if [ -n "$bad" ]; then
    echo "check-format: not formatted (clang-format -i them):"
    echo "$bad"
    exit 1
fi
echo "check-format: all files formatted"
