#!/usr/bin/env bash
# The full test run: installs what is missing, builds both programs, checks
# the shipped 32-bit executable as a file, fuzzes the text formats natively,
# and runs every test under Wine, inside a network namespace of its own
# (tools/labshell.sh) where the tests can move the machine between sites.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ -z "${PERCHMAN_NETNS:-}" ]; then
    "$root/tools/setup.sh"  # may need the package registry: before the namespace
    "$root/tools/labshell.sh" --check && exec "$root/tools/labshell.sh" "$0" "$@"
    echo "test: no network namespace can be made here; the tests that move the machine between sites are skipped" >&2
fi
# Every include points down the floors of docs/architecture.md.
"$root/tools/check-floors.py" --self-test
"$root/tools/check-floors.py"
"$root/tools/build.sh"
"$root/tools/check-pe32.py" "$root/build/i686/src/perchman.exe" "$root/build/x86_64/src/perchman.exe"
"$root/tools/check-pe32.py" --exports= "$root/build/i686/src/planner/perchplan.exe" \
    "$root/build/x86_64/src/planner/perchplan.exe"
# The text formats, fuzzed natively under sanitizers for a bounded time each.
"$root/tools/fuzz.sh" 30
cd "$root/build/x86_64"
# Keep the prefix's Wine server, and the services it starts, alive for the
# whole run: a cold start of Wine costs seconds, a warm one a fraction of a
# second. They are started here with their output going nowhere, so that no
# long-lived process holds CTest's output pipes open.
export WINEPREFIX="$root/build/x86_64/wineprefix"
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
"$root/tools/wine.sh" cmd /c exit >/dev/null 2>&1 </dev/null || true
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -p >/dev/null 2>&1 </dev/null
"$root/tools/wine.sh" cmd /c exit >/dev/null 2>&1 </dev/null || true
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
ctest --output-on-failure "$@"
