#!/bin/sh
# Builds the fuzz targets (preset "fuzz", clang) and runs each for SECONDS
# (default 30), one after another, from its seed corpus (fuzz/corpus/<name>)
# and dictionary (fuzz/<name>.dict); prints the executions and the coverage
# each reached.
# Exits 1 when a target failed: a crash, a leak, a sanitizer report, a run
# over 10 seconds.  New inputs go to build/fuzz/corpus/<name>, the input of
# a failure to build/fuzz/artifacts/, each target's output to
# build/fuzz/<name>.log.
set -e
seconds=${1:-30}
cd "$(dirname "$0")/.."
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
targets="datagram rules registry profile scm"
status=0
for name in $targets; do
    mkdir -p "build/fuzz/corpus/$name" build/fuzz/artifacts
    log="build/fuzz/$name.log"
    if "build/fuzz/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
        -dict="fuzz/$name.dict" -artifact_prefix="build/fuzz/artifacts/$name-" \
        "build/fuzz/corpus/$name" "fuzz/corpus/$name" >"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        status=1
        tail -n 40 "$log"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(sed -n 's/^#[0-9]*[[:space:]]*DONE *cov: \([0-9]*\) ft: \([0-9]*\).*/\1 edges, \2 features/p' "$log")
    echo "fuzz_$name: ${runs:-?} executions in $seconds s, ${cov:-coverage ?}: $result"
done
exit $status
