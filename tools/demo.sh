#!/usr/bin/env bash
# What Perchman does, in under a minute: on a small lab network it shows the
# server lists, finds the nearest parent server and hands this machine over to
# it, then checks the new parent. Installs what is missing and builds first.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# Like the tests, the demo runs in a network namespace of its own
# (tools/labshell.sh), where the lab can move the machine between sites.
if [ -z "${PERCHMAN_NETNS:-}" ]; then
    "$root/tools/setup.sh" >/dev/null  # may need the package registry: before the namespace
    "$root/tools/labshell.sh" --check && exec "$root/tools/labshell.sh" "$0" "$@"
    echo "demo: no network namespace can be made here; running without one" >&2
fi
PERCHMAN_JOBS="${PERCHMAN_JOBS:-2}" "$root/tools/build.sh" >/dev/null

build="$root/build/x86_64"
lab="$build/lab"
run() { "$root/tools/wine.sh" "$@"; }
# The program speaks Spanish in the console's code page 850.
show() { iconv -f CP850 -t UTF-8 | tr -d '\r'; }
say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }

export WINEPREFIX="$build/wineprefix"
# The product stand-in is a service of the prefix: keep the prefix's Wine
# server (and so its services) alive between the steps, and end it at the end.
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
run cmd /c exit >/dev/null 2>&1 </dev/null || true  # makes the prefix on first use
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -p >/dev/null 2>&1 </dev/null
cleanup() {
    run "$lab/kestrelctl.exe" stop >/dev/null 2>&1 || true
    run "$lab/kestrelctl.exe" uninstall >/dev/null 2>&1 || true
    run "$lab/labctl.exe" reset >/dev/null 2>&1 || true
    "$wineserver" -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

mkdir -p "$WINEPREFIX/drive_c/PerchmanLab/Demo" "$WINEPREFIX/drive_c/PerchmanLab/Sky"
rm -f "$WINEPREFIX/drive_c/PerchmanLab/Demo/HPD.DAT"
run "$lab/labctl.exe" register >/dev/null
network="Z:$(printf '%s' "$root/lab/networks/demo.lab" | tr '/' '\\')"
run "$lab/labctl.exe" load "$network" >/dev/null
run reg add 'HKLM\SOFTWARE\Brevanta\SharedUsage' /v SkyFetch1 /d 'C:\PerchmanLab\Sky' /f >/dev/null 2>&1
run "$lab/kestrelctl.exe" install >/dev/null
run "$lab/kestrelctl.exe" reset >/dev/null
run "$lab/kestrelctl.exe" set ProcessingDelayMs 40 >/dev/null
run "$lab/kestrelctl.exe" start >/dev/null

cat <<'TEXT'
Perchman keeps an antivirus client attached to the nearest server as the
machine moves between offices. Servers are arranged in lists, level by level:
this machine knows the first level; each chosen server publishes the next.
The lab network here: CENTRAL (preferred, ">") and RESERVA (faster backup);
below CENTRAL the sites NORTE and SUR (equal, "=") and ESTE (unreachable).
The machine's current parent is RESERVA. The antivirus product (its service
"Kestrel Server") is a stand-in that runs in the lab.
TEXT

say "1. The server lists, as perchman /export reports them"
run "$build/src/perchman.exe" /export | show
cat <<'TEXT'
The report walks the whole tree: every server a list names (between ",", ">"
and "=", without its limit) is asked for its list of the next level, and each
list stands on its server's line exactly as published, in the form "/import"
reads back. A server that publishes nothing below, or does not answer (ESTE),
is a commented line with its time or its error.
TEXT

say "2. perchman /nearest_parent: time every server, level by level, and take over the winner"
cat <<'TEXT'
Level 1: CENTRAL is slower than RESERVA but marked as preferred (">"), and it
answers within its 500 ms limit, so it wins. Level 2 (CENTRAL's list): NORTE
answers fastest, but NORTE and SUR are equal ("="), so the one with fewer
clients, SUR (17 against 41), gets this machine. ESTE does not answer at all.
TEXT
# Every server is probed seven times per level; the probe lines are left out.
run "$build/src/perchman.exe" /nearest_parent | show | grep -Ev '^ *(FALLÓ )?hora [0-9]+ servidor' | cat -s

say "The client configuration file written for the product (HPD.DAT)"
hpd="$WINEPREFIX/drive_c/PerchmanLab/Demo/HPD.DAT"
if [ -f "$hpd" ]; then tr -d '\r' < "$hpd"; else echo "(no HPD.DAT was written)"; fi
echo
echo "The product took it in and confirmed: its parent is now \"$(run reg query \
    'HKLM\SOFTWARE\Tarvo\Kelvane\Fendwall6\CurrentVersion' /v Parent 2>/dev/null \
    | tr -d '\r' | awk '/Parent/ {print $NF}')\" (it was RESERVA), and SUR's"
echo "update history was copied to this machine."

say "3. perchman /check_parent: is the new parent alive?"
run "$build/src/perchman.exe" /check_parent | show
echo
echo "Unattended, Perchman repeats this check every two hours and searches again"
echo "when the check fails or the machine's network addresses change."
