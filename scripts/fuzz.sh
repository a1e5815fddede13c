#!/usr/bin/env bash
# Builds the fuzz targets (preset "fuzz", clang with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each in turn from its seed corpus (tests/fuzz/corpus/<target>,
# copied to build/fuzz/corpus so that the repository is left as it is).
#
#   scripts/fuzz.sh                    about 60 s per target, fixed seed: part of scripts/test.sh
#   scripts/fuzz.sh --long [SECONDS]   SECONDS per target (default 600)
#
# Prints the executions of each target and exits non-zero when a target finds a fault; the input
# that shows it is kept in build/fuzz/artifacts.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    echo "usage: scripts/fuzz.sh [--long [SECONDS]]" >&2
    echo "  without arguments: about 60 s per target with a fixed seed" >&2
    echo "  --long: SECONDS per target (a positive whole number, default 600)" >&2
    exit 2
}

seconds=60
if [ $# -gt 0 ]; then
    [ "$1" = --long ] || usage
    seconds=${2:-600}
    [ $# -le 2 ] && [[ "$seconds" =~ ^[1-9][0-9]*$ ]] || usage
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

run_target() {
    local target=$1 max_len=$2 corpus=build/fuzz/corpus/$1 artifacts=build/fuzz/artifacts/$1/
    shift 2
    rm -rf "$corpus" "$artifacts"
    mkdir -p "$corpus" "$artifacts"
    cp tests/fuzz/corpus/"$target"/* "$corpus"/
    local log=build/fuzz/$target.log status=0
    build/fuzz/tests/fuzz/"$target" "$corpus" -seed=1 -max_total_time="$seconds" -max_len="$max_len" \
        -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts" "$@" >"$log" 2>&1 || status=$?
    local executions
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if [ "$status" -ne 0 ]; then
        tail -n 40 "$log" >&2
        echo "fuzz: $target FAILED after ${executions:-?} executions; input in $artifacts, log in $log" >&2
        return 1
    fi
    echo "fuzz: $target: $executions executions in $seconds s, no fault"
}

failed=0
run_target host_input_fuzz 4096 -dict=tests/fuzz/host_input.dict || failed=1
run_target coordinates_fuzz 8400 -len_control=0 || failed=1
exit $failed
