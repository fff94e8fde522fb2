#!/usr/bin/env bash
# What Perchman is for, in under three minutes: a laptop travels from the
# Madrid office to the Barcelona office, and the Perchman service on it keeps
# it managed by the nearest server all the way, with nobody touching it.
# Installs what is missing and builds first; cleans up after itself, also
# when interrupted.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# The demo moves the machine between sites: it runs in a network namespace of
# its own (tools/labshell.sh), where its addresses can change.
if [ -z "${PERCHMAN_NETNS:-}" ]; then
    "$root/tools/setup.sh" >/dev/null  # may need the package registry: before the namespace
    if ! "$root/tools/labshell.sh" --check; then
        echo "demo: no network namespace can be made here, and the demo moves the machine" >&2
        exit 1
    fi
    exec "$root/tools/labshell.sh" "$0" "$@"
fi
started=$SECONDS
# The shipped 32-bit program where this machine runs 32-bit code, its 64-bit
# twin elsewhere; each with the lab of its width and a prefix of its own.
if reason="$("$root/tools/runs-pe32.sh")"; then
    export PERCHMAN_PE32=1 PERCHMAN_BUILD="$root/build/i686-tests"
    perchman="$root/build/i686/src/perchman.exe"
    runs="the shipped 32-bit build/i686/src/perchman.exe under 32-bit Wine"
else
    export PERCHMAN_PE32=0 PERCHMAN_BUILD="$root/build/x86_64"
    perchman="$root/build/x86_64/src/perchman.exe"
    runs="the 64-bit twin build/x86_64/src/perchman.exe under 64-bit Wine"
fi
PERCHMAN_JOBS="${PERCHMAN_JOBS:-2}" "$root/tools/build.sh" >/dev/null

build="$PERCHMAN_BUILD"
lab="$build/lab"
productRoot='HKLM\SOFTWARE\Tarvo\Kelvane\Fendwall6\CurrentVersion'
run() { "$root/tools/wine.sh" "$@"; }
# The program speaks Spanish in the console's code page 850.
show() { iconv -f CP850 -t UTF-8 | tr -d '\r'; }
say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
windowsPath() { printf 'Z:%s' "$1" | tr '/' '\\'; }
rootValue() {  # the data of one value of the product root, or nothing
    run reg query "$productRoot${2:+\\$2}" /v "$1" 2>/dev/null | tr -d '\r' |
        awk -v name="$1" '$1 == name {print $NF}'
}

export WINEPREFIX="$build/wineprefix"
# The services of the prefix live as long as its Wine server: keep one for
# the whole demo.
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
run cmd /c exit >/dev/null 2>&1 </dev/null || true  # makes the prefix on first use
"$wineserver" -k >/dev/null 2>&1 || true
"$wineserver" -p >/dev/null 2>&1 </dev/null

work="$(mktemp -d)"
channel="$work/channel.log"
monitorPid=""
viewerPid=""
cleanup() {
    trap - EXIT INT TERM
    printf '\n'
    [ -n "$viewerPid" ] && kill "$viewerPid" 2>/dev/null || true
    [ -n "$monitorPid" ] && kill "$monitorPid" 2>/dev/null || true
    run "$perchman" /remove >/dev/null 2>&1 || true
    run "$lab/kestrelctl.exe" stop >/dev/null 2>&1 || true
    run "$lab/kestrelctl.exe" uninstall >/dev/null 2>&1 || true
    run "$lab/labctl.exe" reset >/dev/null 2>&1 || true
    run reg delete "$productRoot\\Clients" /f >/dev/null 2>&1 || true
    "$wineserver" -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "demo: interrupted; cleaning up" >&2; exit 130' INT TERM

# The lab: the network, the product stand-in, this machine in Madrid.
run "$perchman" /remove >/dev/null 2>&1 || true  # a service left by an earlier run
mkdir -p "$WINEPREFIX/drive_c/PerchmanLab/Demo" "$WINEPREFIX/drive_c/PerchmanLab/Sky"
rm -f "$WINEPREFIX/drive_c/PerchmanLab/Demo/HPD.DAT"
run "$lab/labctl.exe" register >/dev/null
run "$lab/labctl.exe" load "$(windowsPath "$root/lab/networks/demo.lab")" >/dev/null
run reg add 'HKLM\SOFTWARE\Brevanta\SharedUsage' /v SkyFetch1 /d 'C:\PerchmanLab\Sky' /f >/dev/null 2>&1
run "$lab/kestrelctl.exe" install >/dev/null
run "$lab/kestrelctl.exe" reset >/dev/null
run "$lab/kestrelctl.exe" set ProcessingDelayMs 40 >/dev/null
run "$lab/kestrelctl.exe" start >/dev/null
run "$lab/labctl.exe" move MADRID >/dev/null

# The debugger channel, as an administrator watches it with a debug-output
# viewer: every line the service (and the product) writes, shown as it comes.
# The seven timing probes per server are left out.
run "$lab/labctl.exe" monitor >"$channel" 2>/dev/null </dev/null &
monitorPid=$!
(
    # Bytes of code page 850 are no text to a UTF-8 locale's patterns.
    export LC_ALL=C
    tail -n +1 -f --pid="$monitorPid" "$channel" 2>/dev/null | while IFS= read -r line; do
        line="${line%$'\r'}"
        [[ $line =~ ^[0-9]+:\ (.*)$ ]] && line="${BASH_REMATCH[1]}"  # the writer's process id
        case "$line" in
            "" | *" hora "[0-9]*" servidor "*) continue ;;
        esac
        [[ $line =~ ^[0-9]+\ -\ *$ ]] && continue  # the indent of a probe line
        text="$(printf '%s\n' "$line" | iconv -f CP850 -t UTF-8 2>/dev/null)"
        printf '\r\033[K   \033[36m| %s\033[0m\n' "$text"
    done
) &
viewerPid=$!
waitForChannel() {  # PATTERN SECONDS: true once a line of the channel matches
    local deadline=$((SECONDS + $2))
    while ! grep -aq -- "$1" "$channel"; do
        [ $SECONDS -ge $deadline ] && return 1
        sleep 0.3
    done
}

echo "The demo runs $runs ($reason)."
echo
cat <<'TEXT'
Perchman keeps the antivirus product on a company laptop managed by the
nearest of the company's servers, while the laptop moves between offices.
The lab here is a small company: offices in Madrid (servers SRV-MAD, MAD-1,
MAD-2) and Barcelona (SRV-BCN, BCN-1), and a head office (CENTRAL) that both
reach more slowly. The laptop is in Madrid (address 192.0.2.10); its product
is still managed by the head office. Lines in blue are what the service and
the product write on the debugger channel, as an administrator watches them.
TEXT

say "1. The administrator's server lists: perchman /import, then /export"
grep -v '^#' "$root/lab/networks/demo-lists.txt"
run "$perchman" /import "$(windowsPath "$root/lab/networks/demo-lists.txt")" | show
echo
echo "The tree as the network sees it, read back from the machine and the servers:"
run "$perchman" /export | show | grep -v -e '^ *$' -e '^# <local> [A-Za-z]* 0 *$' || true

say "2. perchman /install: the service starts and finds its nearest parent"
run "$perchman" /install | show
cat <<'TEXT'
The service times every server of the lists from here, level by level, and
hands the laptop to the winner: in Madrid, SRV-MAD at level 0, then MAD-2
(equal rank with MAD-1, fewer clients) at level 1.
TEXT
if ! waitForChannel 'MAD-2.*es ahora el propietario' 90; then
    echo "demo: the service did not take the laptop over within 90 s" >&2
    exit 1
fi
loopStarted=$SECONDS
sleep 1
echo
echo "HPD.DAT, the client configuration file the service wrote for the product:"
tr -d '\r' <"$WINEPREFIX/drive_c/PerchmanLab/Demo/HPD.DAT" | sed 's/^/    /'
echo "The product took it in: its parent is now \"$(rootValue Parent)\"."

say "3. The laptop travels to Barcelona"
run "$lab/labctl.exe" move BARCELONA
cat <<'TEXT'
New addresses, and from here the Barcelona servers are the fast ones. Nobody
tells the service: it looks at the machine's addresses once a minute.
TEXT
deadline=$((SECONDS + 100))
while ! grep -aq 'BCN-1.*es ahora el propietario' "$channel"; do
    if [ $SECONDS -ge $deadline ]; then
        printf '\n' >&2
        echo "demo: the service did not move the laptop to Barcelona within 100 s" >&2
        exit 1
    fi
    left=$((loopStarted + 60 - SECONDS))
    if [ $left -gt 0 ]; then
        printf '\r\033[K   waiting for the service'"'"'s next look at the addresses: about %2d s' "$left"
    else
        printf '\r\033[K   the service is searching again (%d s since the move) ' "$((SECONDS - deadline + 100))"
    fi
    sleep 1
done
sleep 1
printf '\r\033[K'
echo "The product's parent is now \"$(rootValue Parent)\", without anyone touching the laptop."

say "4. A client machine registers with this one"
echo "Another machine lists itself under this one's Clients key; the service"
echo "keeps \"ClientCount\" up to date for the servers that choose by load."
echo "ClientCount before: $(($(rootValue ClientCount ProductControl)))"
run reg add "$productRoot\\Clients\\DESK-0042" /f >/dev/null
sleep 1
echo "ClientCount a second later: $(($(rootValue ClientCount ProductControl)))"

say "5. perchman /remove: the service stops, releases its parent, and is gone"
run "$perchman" /remove | show
echo "The product's parent is now the marker of a machine that gave its parent up:"
echo "    $(rootValue Parent)"
echo "and on the parent it left ($(rootValue LastParent)) this client's record now reads good = 0."
if run reg query 'HKLM\SYSTEM\CurrentControlSet\Services\Perchman' >/dev/null 2>&1; then
    echo "demo: the service is still registered" >&2
fi
echo
echo "The demo took $((SECONDS - started)) s."
