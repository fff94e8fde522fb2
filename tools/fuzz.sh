#!/usr/bin/env bash
# Builds the fuzz targets natively (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer; see tests/fuzz) and runs each one for SECONDS
# (default 30) with a fixed seed, starting from its seed corpus in
# tests/fuzz/corpus. tools/test.sh gives each target the default; for a longer
# search, e.g. an hour each and keeping what was found between runs:
#
#     tools/fuzz.sh --keep 3600
#
# Usage: tools/fuzz.sh [--build-only] [--keep] [--at-once N] [SECONDS] [TARGET...]
# --build-only builds the targets and runs none; --at-once N runs N targets at
# a time, each still for SECONDS (tools/test.sh runs two at a time at low
# priority beside the Wine tests, which mostly sleep).
# A failing input is kept in build/fuzz/crashes/; replay it with
# build/fuzz/TARGET_fuzz FILE, and make it a table case of the unit tests.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PERCHMAN_BUILD_ROOT:-$root/build}/fuzz"
keep=0
buildOnly=0
atOnce=1
while (($#)); do
    case $1 in
        --keep) keep=1; shift ;;
        --build-only) buildOnly=1; shift ;;
        --at-once) atOnce=$2; shift 2 ;;
        *) break ;;
    esac
done
seconds="${1:-30}"
shift || true

if [ ! -f "$build/CMakeCache.txt" ]; then
    launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1 cmake -S "$root/tests/fuzz" -B "$build" -G Ninja \
        -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE= "${launcher[@]}" >/dev/null
fi
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
if ! cmake --build "$build" -- -j"${PERCHMAN_JOBS:-2}" > "$build.log" 2>&1; then
    grep -v '^\[' "$build.log" >&2
    echo "fuzz: build failed (full log: $build.log)" >&2
    exit 1
fi
((buildOnly)) && exit 0

targets=("$@")
if ((${#targets[@]} == 0)); then
    for corpus in "$root"/tests/fuzz/corpus/*/; do targets+=("$(basename "$corpus")"); done
fi

mkdir -p "$build/crashes"
fuzzOne() {
    local target=$1 work="$build/corpus/$1" status=0
    # The bounded run starts from the seeds alone, so that it is the same run
    # every time; a kept corpus carries a long search over to the next one.
    ((keep)) || rm -rf "$work"
    mkdir -p "$work"
    "$build/${target}_fuzz" -seed=1 -max_total_time="$seconds" -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$build/crashes/$target-" \
        "$work" "$root/tests/fuzz/corpus/$target" > "$build/$target.log" 2>&1 || status=$?
    echo "$status" > "$build/$target.status"
}
for ((first = 0; first < ${#targets[@]}; first += atOnce)); do
    for target in "${targets[@]:first:atOnce}"; do fuzzOne "$target" & done
    wait
done

passed=0
failed=0
for target in "${targets[@]}"; do
    log="$build/$target.log"
    status=$(cat "$build/$target.status")
    runs=$(awk '/stat::number_of_executed_units:/ {print $2}' "$log")
    rate=$(awk '/stat::average_exec_per_sec:/ {print $2}' "$log")
    edges=$(awk '/cov: [0-9]+/ {for (i = 1; i < NF; ++i) if ($i == "cov:") n = $(i + 1)} END {print n}' "$log")
    if [ "$status" -eq 0 ]; then
        passed=$((passed + 1))
        echo "fuzz: $target: ${runs:-?} runs in ${seconds} s (${rate:-?}/s), ${edges:-?} edges"
    else
        failed=$((failed + 1))
        echo "fuzz: $target FAILED (exit $status), log $log:"
        grep -E 'ERROR|property failed|SUMMARY|Test unit written|runtime error' "$log" | head -20 || true
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
