#!/usr/bin/env bash
# The full test run: installs what is missing, builds both programs, checks
# the shipped 32-bit executable as a file, fuzzes the text formats natively,
# and runs every test under Wine, inside a network namespace of its own
# (tools/labshell.sh) where the tests can move the machine between sites.
# The end-to-end tests run the shipped 32-bit programs under 32-bit Wine
# where the machine runs 32-bit code (tools/runs-pe32.sh), the 64-bit twin
# elsewhere; the run says which at its start.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ -z "${PERCHMAN_NETNS:-}" ]; then
    "$root/tools/setup.sh"  # may need the package registry: before the namespace
    "$root/tools/labshell.sh" --check && exec "$root/tools/labshell.sh" "$0" "$@"
    echo "test: no network namespace can be made here; the tests that move the machine between sites are skipped" >&2
fi
# Which programs the end-to-end tests run: decided once, for the build too.
# PERCHMAN_PE32=0 asks for the twin's run on a machine that could do both.
reason="asked for with PERCHMAN_PE32=0"
if [ "${PERCHMAN_PE32:-}" != 0 ] && reason="$("$root/tools/runs-pe32.sh")"; then
    export PERCHMAN_PE32=1
    echo "test: the end-to-end tests run the shipped 32-bit build/i686/src/perchman.exe and" \
         "build/i686/src/planner/perchplan.exe under 32-bit Wine: $reason"
else
    export PERCHMAN_PE32=0
    echo "test: the end-to-end tests run the 64-bit twin build/x86_64/src/perchman.exe and" \
         "build/x86_64/src/planner/perchplan.exe under 64-bit Wine: $reason"
fi
# Every include points down the floors of docs/architecture.md.
"$root/tools/check-floors.py" --self-test
"$root/tools/check-floors.py"
"$root/tools/build.sh" --for-tests
"$root/tools/check-pe32.py" "$root/build/i686/src/perchman.exe" "$root/build/x86_64/src/perchman.exe"
"$root/tools/check-pe32.py" --exports= "$root/build/i686/src/planner/perchplan.exe" \
    "$root/build/x86_64/src/planner/perchplan.exe"
# The text formats, fuzzed natively under sanitizers for a bounded time each.
"$root/tools/fuzz.sh" 30
# Keep each prefix's Wine server, and the services it starts, alive for the
# whole run: a cold start of Wine costs seconds, a warm one a fraction of a
# second. They are started here with their output going nowhere, so that no
# long-lived process holds CTest's output pipes open.
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
builds=("$root/build/x86_64")
[ "$PERCHMAN_PE32" = 1 ] && builds+=("$root/build/i686-tests")
for build in "${builds[@]}"; do
    export PERCHMAN_BUILD="$build" WINEPREFIX="$build/wineprefix"
    "$root/tools/wine.sh" cmd /c exit >/dev/null 2>&1 </dev/null || true
    "$wineserver" -k >/dev/null 2>&1 || true
    "$wineserver" -p >/dev/null 2>&1 </dev/null
    "$root/tools/wine.sh" cmd /c exit >/dev/null 2>&1 </dev/null || true
done
unset PERCHMAN_BUILD WINEPREFIX
endServers() {
    for build in "${builds[@]}"; do
        WINEPREFIX="$build/wineprefix" "$wineserver" -k >/dev/null 2>&1 || true
    done
}
trap endServers EXIT
# The roaming soak (bench/roaming_soak): one short run per family with a
# fixed seed, both at once, each in a network namespace and a Wine prefix of
# its own, so that they move their machine without the tests seeing it.
soakBuild="$root/build/x86_64"
[ "$PERCHMAN_PE32" = 1 ] && soakBuild="$root/build/i686-tests"
soakPids=()
soakRuns=("nt 1101" "9x 1102")
[ -n "${PERCHMAN_NETNS:-}" ] || soakRuns=()  # it moves the machine: only in a namespace
for run in "${soakRuns[@]}"; do
    read -r family seed <<<"$run"
    mkdir -p "$soakBuild/soak-$family"
    cp "$soakBuild/winearch" "$soakBuild/soak-$family/winearch"
    env -u PERCHMAN_NETNS PERCHMAN_BUILD="$soakBuild/soak-$family" "$root/tools/labshell.sh" --own-prefix \
        "$root/tools/wine.sh" "$soakBuild/bench/roaming_soak.exe" "$seed" 1.5 "$family" \
        >"$soakBuild/soak-$family.log" 2>&1 </dev/null &
    soakPids+=($!)
done
soaksPassed() {
    local passed=0 family run
    for run in "${soakRuns[@]}"; do
        family=${run% *}
        if wait "${soakPids[0]}"; then
            grep -av '^wine: ' "$soakBuild/soak-$family.log" || true
        else
            cat "$soakBuild/soak-$family.log"
            echo "test: the roaming soak ($family) failed: $soakBuild/soak-$family.log" >&2
            passed=1
        fi
        soakPids=("${soakPids[@]:1}")
    done
    return $passed
}
if [ "$PERCHMAN_PE32" = 1 ]; then
    # The end-to-end tests once, against the shipped programs: the twin's
    # pass, or the unit tests as 32-bit programs too, would not fit the run's
    # time (both widths' unit tests: ctest in build/i686-tests). The soaks
    # run beside the unit tests, which use the other prefix.
    status=0
    (cd "$root/build/x86_64" && ctest --output-on-failure -E '^e2e_tests$' "$@") || status=1
    soaksPassed || status=1
    (cd "$root/build/i686-tests" && ctest --output-on-failure -E '^unit_tests$' "$@") || status=1
    exit $status
fi
status=0
(cd "$root/build/x86_64" && ctest --output-on-failure "$@") || status=1
soaksPassed || status=1
exit $status
