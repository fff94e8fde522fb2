#!/usr/bin/env bash
# The full test run: installs what is missing, builds both programs, checks
# the shipped 32-bit executable as a file, fuzzes the text formats natively,
# and runs every test under Wine in shards, each in a Wine prefix and a
# network namespace of its own (tools/run-shards.py, tools/labshell.sh) where
# the tests can move the machine between sites.
# The tests run the shipped 32-bit programs under 32-bit Wine where the
# machine runs 32-bit code (tools/runs-pe32.sh), the 64-bit twin elsewhere;
# the run says which at its start, and each stage's time as it ends.
#
#   tools/test.sh [GTEST_ARGS...]     e.g. --gtest_filter=-*SlowWait*
#
# PERCHMAN_PE32=0 asks for the twin's run on a machine that could do both.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runStart=$SECONDS
stageStart=$SECONDS
stageTimes=()
stageDone() {
    stageTimes+=("$1 $((SECONDS - stageStart)) s")
    echo "test: $1 took $((SECONDS - stageStart)) s"
    stageStart=$SECONDS
}

"$root/tools/setup.sh"  # may need the package registry
stageDone packages

# Which programs the tests run: decided once, for the build too.
reason="asked for with PERCHMAN_PE32=0"
if [ "${PERCHMAN_PE32:-}" != 0 ] && reason="$("$root/tools/runs-pe32.sh")"; then
    export PERCHMAN_PE32=1
    testBuild="$root/build/i686-tests"
    echo "test: the tests run the shipped 32-bit build/i686/src/perchman.exe and" \
         "build/i686/src/planner/perchplan.exe, and are themselves 32-bit programs, under 32-bit Wine: $reason"
else
    export PERCHMAN_PE32=0
    testBuild="$root/build/x86_64"
    echo "test: the tests run the 64-bit twin build/x86_64/src/perchman.exe and" \
         "build/x86_64/src/planner/perchplan.exe under 64-bit Wine: $reason"
fi
# Every include points down the floors of docs/architecture.md.
"$root/tools/check-floors.py" --self-test
"$root/tools/check-floors.py"

# The build, with the fuzz targets beside it and the tests' Wine prefix made
# meanwhile (a new prefix is half a minute of Wine starting up; every shard
# and soak later takes a copy of it).
logs="$root/build/test-logs"
mkdir -p "$logs" "$testBuild"
[ -f "$testBuild/winearch" ] || { [ "$PERCHMAN_PE32" = 1 ] && echo win32 || echo win64; } > "$testBuild/winearch"
PERCHMAN_BUILD="$testBuild" "$root/tools/wine.sh" cmd /c exit >"$logs/prefix.log" 2>&1 </dev/null &
prefixPid=$!
"$root/tools/fuzz.sh" --build-only >"$logs/fuzz-build.log" 2>&1 &
fuzzBuildPid=$!
"$root/tools/build.sh" --for-tests
if ! wait "$fuzzBuildPid"; then
    cat "$logs/fuzz-build.log" >&2
    exit 1
fi
wait "$prefixPid" || true  # run-shards.py says so when the prefix is not there
"$root/tools/check-pe32.py" "$root/build/i686/src/perchman.exe" "$root/build/x86_64/src/perchman.exe"
"$root/tools/check-pe32.py" --exports= "$root/build/i686/src/planner/perchplan.exe" \
    "$root/build/x86_64/src/planner/perchplan.exe"
stageDone build

# The text formats, fuzzed natively under sanitizers for a bounded time each,
# two targets at a time, at the lowest priority: beside the Wine tests, which
# mostly sleep, they take what the tests leave and never hold the tests up.
nice -n 19 "$root/tools/fuzz.sh" --at-once 2 30 >"$logs/fuzz.log" 2>&1 &
fuzzPid=$!

# The roaming soak (bench/roaming_soak): one short run per family with a
# fixed seed, both at once, each in a network namespace and a copy of the
# prefix of its own, so that they move their machine without the tests
# seeing it. It moves the machine: only where a namespace can be made.
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
WINEPREFIX="$testBuild/wineprefix" "$wineserver" -k >/dev/null 2>&1 || true
WINEPREFIX="$testBuild/wineprefix" "$wineserver" -w >/dev/null 2>&1 || true
soakPids=()
soakRuns=("nt 1101" "9x 1102")
"$root/tools/labshell.sh" --check || soakRuns=()
for run in "${soakRuns[@]}"; do
    read -r family seed <<<"$run"
    soak="$testBuild/soak-$family"
    rm -rf "$soak"
    mkdir -p "$soak"
    cp "$testBuild/winearch" "$soak/winearch"
    cp -a --reflink=auto "$testBuild/wineprefix" "$soak/wineprefix"
    env -u PERCHMAN_NETNS PERCHMAN_BUILD="$soak" "$root/tools/labshell.sh" --own-prefix \
        "$root/tools/wine.sh" "$testBuild/bench/roaming_soak.exe" "$seed" 1.5 "$family" \
        >"$logs/soak-$family.log" 2>&1 </dev/null &
    soakPids+=($!)
done

# The unit and end-to-end tests, in shards that run at once.
status=0
"$root/tools/run-shards.py" "$testBuild" unit_tests=2 e2e_tests=4 -- "$@" || status=1
stageDone "unit and end-to-end tests"

for index in "${!soakRuns[@]}"; do
    family=${soakRuns[$index]% *}
    if wait "${soakPids[$index]}"; then
        grep -av '^wine: ' "$logs/soak-$family.log" || true
    else
        cat "$logs/soak-$family.log"
        echo "test: the roaming soak ($family) failed: $logs/soak-$family.log" >&2
        status=1
    fi
done
stageDone "soaks (beside the tests)"
if wait "$fuzzPid"; then
    cat "$logs/fuzz.log"
else
    cat "$logs/fuzz.log"
    status=1
fi
stageDone "fuzzing (beside the tests)"

echo "test: $( ((status)) && echo FAILED || echo passed ) in $((SECONDS - runStart)) s:" \
     "$(IFS=,; echo "${stageTimes[*]}" | sed 's/,/, /g')"
exit $status
