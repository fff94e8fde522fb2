#!/usr/bin/env bash
# Checks a shipped program as a file: a 32-bit console executable that needs
# no compiler runtime DLLs and exports each function named after it
# (perchman.exe: OrxGetComputerName).
# Usage: check-pe32.sh PROGRAM.exe [EXPORT...]
set -euo pipefail
exe="$1"
shift
dump="$(i686-w64-mingw32-objdump -p "$exe")"
fail=0
grep -q 'file format pei-i386' <<<"$dump" || { echo "check-pe32: $exe is not PE32 (i386)"; fail=1; }
grep -q 'Subsystem.*(Windows CUI)' <<<"$dump" || { echo "check-pe32: $exe is not a console program"; fail=1; }
if grep -i -E 'DLL Name: (libstdc|libgcc|libwinpthread|msvcp)' <<<"$dump"; then
    echo "check-pe32: $exe needs compiler runtime DLLs"; fail=1
fi
# By its plain name: a decorated export (_Orx..., Orx...@8) is not found by
# the product's components.
for export in "$@"; do
    if ! grep -qE "\]\s+$export\$" <<<"$dump"; then
        echo "check-pe32: $exe does not export $export undecorated"; fail=1
    fi
done
[ $fail -eq 0 ] && echo "check-pe32: 1 passed, 0 failed"
exit $fail
