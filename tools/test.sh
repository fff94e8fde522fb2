#!/usr/bin/env bash
# The full test run: installs what is missing, builds both programs, checks
# the shipped 32-bit executable as a file, and runs every test under Wine.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/tools/setup.sh"
"$root/tools/build.sh"
"$root/tools/check-pe32.sh" "$root/build/i686/src/perchman.exe"
cd "$root/build/x86_64"
# Make the Wine prefix before the clock of the first test starts, and keep its
# server (and the prefix's own services) alive for the whole run: a cold start
# of Wine costs seconds, a warm one a fraction of a second.
"$root/tools/wine.sh" cmd /c exit >/dev/null 2>&1 || true
export WINEPREFIX="$root/build/x86_64/wineprefix"
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
"$wineserver" -p
trap '"$wineserver" -k 2>/dev/null || true' EXIT
ctest --output-on-failure "$@"
