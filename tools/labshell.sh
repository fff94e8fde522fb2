#!/usr/bin/env bash
# Runs a command (default: an interactive shell) inside a network namespace of
# its own, where the lab can move this machine between sites: the tun devices
# perch0..perch3 exist there, perch0 has the address 192.0.2.250 and the
# default route, and the prefix's Wine server and every Wine program started
# from there run inside the namespace too. No traffic leaves it, and the
# host's network is never touched.
#
#   tools/labshell.sh                      a shell, for iterating by hand
#   tools/labshell.sh COMMAND [ARGS...]    one command, e.g. tools/wine.sh ...
#   tools/labshell.sh --check              exit 0 when a namespace can be made
#   tools/labshell.sh --own-prefix COMMAND [ARGS...]
#                                          the same, ending only the Wine server of
#                                          its own prefix ($PERCHMAN_BUILD's), so that
#                                          it can run beside a namespace in use
#
# As root the namespace is made with "unshare -n", otherwise with
# "unshare -rn" (a user namespace in which the caller is root).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/.." && pwd)"

unshare_how() {
    if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
        printf "%s\n" -n
    elif unshare -rn true 2>/dev/null; then
        printf "%s\n" -rn
    else
        return 1
    fi
}

ownPrefix=""
if [ "${1:-}" = --own-prefix ]; then
    ownPrefix=--own-prefix
    shift
fi
if [ "${1:-}" = --check ]; then
    unshare_how >/dev/null
    exit
fi

if [ -z "${PERCHMAN_NETNS:-}" ]; then
    if ! how="$(unshare_how)"; then
        echo "labshell: cannot make a network namespace (neither \"unshare -n\" nor \"unshare -rn\" works here)" >&2
        exit 1
    fi
    PERCHMAN_NETNS=1 exec unshare "$how" "$here/labshell.sh" $ownPrefix "$@"
fi

# Inside the namespace. A nested call finds the devices made already.
if ! ip -o link show type tun 2>/dev/null | grep -q ': perch0:'; then
    ip link set lo up
    for n in 0 1 2 3; do
        ip tuntap add "perch$n" mode tun
        ip link set "perch$n" up
    done
    result="$(mktemp)"
    sh "$root/lab/labnet/set-addresses.sh" "$result" move 192.0.2.250
    if [ "$(cat "$result")" != ok ]; then
        echo "labshell: $(cat "$result")" >&2
        rm -f "$result"
        exit 1
    fi
    rm -f "$result"
fi

# A Wine server started outside would run the programs' device handling in the
# host's namespace: end it, and end ours when the command is done. Both
# prefixes: the twin's (build/x86_64) and the 32-bit one (build/i686-tests).
export WINEPREFIX="${PERCHMAN_BUILD:-$root/build/x86_64}/wineprefix"
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=wineserver
endServers() {
    local prefix prefixes=("$WINEPREFIX")
    [ -n "$ownPrefix" ] || prefixes+=("$root/build/x86_64/wineprefix" "$root/build/i686-tests/wineprefix")
    for prefix in "${prefixes[@]}"; do
        [ -d "$prefix" ] && WINEPREFIX="$prefix" "$wineserver" -k >/dev/null 2>&1 || true
    done
}
endServers
trap endServers EXIT
if [ $# -eq 0 ]; then
    echo "labshell: inside the lab's network namespace; exit to leave" >&2
    "${SHELL:-bash}"
else
    "$@"
fi
