#!/usr/bin/env bash
# Runs a Windows program under the project's own Wine prefix, making the prefix
# on first use. Usage: tools/wine.sh PROGRAM.exe [ARGS...]
# PERCHMAN_BUILD (default: build/x86_64 beside this script) holds the prefix.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="${PERCHMAN_BUILD:-$here/../build/x86_64}"
mkdir -p "$build"
export WINEPREFIX="$(cd "$build" && pwd)/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY
wine=/usr/lib/wine/wine64
[ -x "$wine" ] || wine="$(command -v wine64 || command -v wine)"

if [ ! -f "$WINEPREFIX/.perchman-ready" ]; then
    echo "wine: creating the Wine prefix in $WINEPREFIX (once)" >&2
    rm -rf "$WINEPREFIX"
    WINEDLLOVERRIDES="mscoree,mshtml=" "$wine" wineboot -i >/dev/null 2>&1 || true
    # Windows without an X server, and no crash dialogs that would wait for a click.
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
    "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    "$wine" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 0 /f >/dev/null 2>&1
    "$wine" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f >/dev/null 2>&1 || true
    "${wine%/*}/wineserver" -w 2>/dev/null || wineserver -w
    touch "$WINEPREFIX/.perchman-ready"
fi
exec "$wine" "$@"
