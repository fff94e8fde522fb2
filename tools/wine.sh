#!/usr/bin/env bash
# Runs a Windows program under the project's own Wine prefix, making the prefix
# on first use. Usage: tools/wine.sh PROGRAM.exe [ARGS...]
# PERCHMAN_BUILD (default: build/x86_64 beside this script) holds the prefix,
# of the build's width (its file "winearch", written when it is configured):
# win64 for the twin's build, win32 for the 32-bit test build (build/i686-tests),
# whose programs run under 32-bit Wine.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build="${PERCHMAN_BUILD:-$here/../build/x86_64}"
mkdir -p "$build"
export WINEPREFIX="$(cd "$build" && pwd)/wineprefix"
export WINEARCH=win64
[ "$(cat "$build/winearch" 2>/dev/null)" = win32 ] && WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY
if [ "$WINEARCH" = win32 ]; then
    wine=/usr/lib/wine/wine
else
    wine=/usr/lib/wine/wine64
    [ -x "$wine" ] || wine="$(command -v wine64 || command -v wine)"
fi

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
# A cold Wine server takes seconds to start and starts the prefix's services,
# which would inherit our output pipes and outlive us (a test runner reading
# those pipes would then wait for them). So when no server runs for this
# prefix, start one that lingers a minute after the last program, and let a
# throw-away program with its output going nowhere start the services.
server_name="server-$(printf '%x' "$(stat -c %d "$WINEPREFIX")")-$(printf '%x' "$(stat -c %i "$WINEPREFIX")")"
if ! compgen -G "/tmp/.wine-$(id -u)/$server_name/socket" >/dev/null &&
   ! compgen -G "/tmp/wine-*/$server_name/socket" >/dev/null; then
    "${wine%/*}/wineserver" -p60 >/dev/null 2>&1 </dev/null || true
    "$wine" cmd /c exit >/dev/null 2>&1 </dev/null || true
fi
exec "$wine" "$@"
