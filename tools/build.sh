#!/usr/bin/env bash
# Configures and builds both programs: the shipped 32-bit one (build/i686) and
# its 64-bit test twin with the tests and the lab (build/x86_64).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${PERCHMAN_BUILD_ROOT:-$root/build}"
for arch in i686 x86_64; do
    tests=OFF
    [ "$arch" = x86_64 ] && tests=ON
    if [ ! -f "$build/$arch/CMakeCache.txt" ]; then
        cmake -S "$root" -B "$build/$arch" -G Ninja \
            -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
            -DPERCHMAN_TESTS=$tests >/dev/null
    fi
    # Progress lines are dropped; warnings and errors stay visible.
    if ! cmake --build "$build/$arch" -- -j"${PERCHMAN_JOBS:-2}" > "$build/$arch.log" 2>&1; then
        grep -v '^\[' "$build/$arch.log" >&2
        echo "build: $arch failed (full log: $build/$arch.log)" >&2
        exit 1
    fi
    grep -v -E '^\[|^ninja: (no work|Entering)' "$build/$arch.log" || true
done
