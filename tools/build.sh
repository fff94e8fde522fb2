#!/usr/bin/env bash
# Configures and builds both programs: the shipped 32-bit one (build/i686) and
# its 64-bit test twin with the tests and the lab (build/x86_64); and where
# the machine runs 32-bit code (tools/runs-pe32.sh, or PERCHMAN_PE32=1|0 from
# a caller that asked already), the lab, the tests and the benchmarks as
# 32-bit programs (build/i686-tests) that run the shipped build/i686 programs.
# With --for-tests only what tools/test.sh runs: no benchmarks, no lab of the
# shipped build, and where the tests run the shipped programs, of the 64-bit
# tree only the twin's programs (the shipped string tables are compared with
# theirs).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PERCHMAN_BUILD_ROOT:-$root/build}"
forTests=0
[ "${1:-}" = --for-tests ] && forTests=1
if [ -z "${PERCHMAN_PE32:-}" ]; then
    PERCHMAN_PE32=0
    "$root/tools/runs-pe32.sh" >/dev/null && PERCHMAN_PE32=1
fi
# directory, toolchain, tests, the build whose programs the tests run, targets
# (the twin's programs stay: the shipped ones' string tables are checked
# against theirs)
builds=("i686 mingw-i686 OFF - all" "x86_64 mingw-x86_64 ON - all")
((forTests)) && builds[0]="i686 mingw-i686 OFF - perchman,perchplan"
if [ "$PERCHMAN_PE32" = 1 ]; then
    ((forTests)) && builds[1]="x86_64 mingw-x86_64 ON - perchman,perchplan"
    builds+=("i686-tests mingw-i686-posix ON $build/i686 all")
    ((forTests)) && builds[2]="i686-tests mingw-i686-posix ON $build/i686 e2e_tests,roaming_soak"
elif ((forTests)); then
    builds[1]="x86_64 mingw-x86_64 ON - e2e_tests,roaming_soak"
fi
# Three trees compile the same sources; where ccache is present they share
# it, also across clones of the repository (paths are taken relative to the
# checkout), so a second build of unchanged sources costs little.
launcher=()
if command -v ccache >/dev/null; then
    export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
for entry in "${builds[@]}"; do
    read -r dir toolchain tests programs targets <<<"$entry"
    [ "$programs" = - ] && programs=""
    if [ ! -f "$build/$dir/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$build/$dir" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" \
            -DPERCHMAN_TESTS=$tests -DPERCHMAN_PROGRAMS_BUILD="$programs" "${launcher[@]}" >/dev/null
    fi
    # Progress lines are dropped; warnings and errors stay visible.
    if ! cmake --build "$build/$dir" --target ${targets//,/ } -- -j"${PERCHMAN_JOBS:-2}" \
            > "$build/$dir.log" 2>&1; then
        grep -v '^\[' "$build/$dir.log" >&2
        echo "build: $dir failed (full log: $build/$dir.log)" >&2
        exit 1
    fi
    grep -v -E '^\[|^ninja: (no work|Entering)' "$build/$dir.log" || true
done
