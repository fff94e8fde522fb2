#!/bin/sh
# Gives the lab's tun devices perch0..perch3 a site's addresses, one address
# per device (Wine reports one address per device), with a default route
# through perch0 (Wine reports a connection only when there is one). No
# address at all leaves the machine with loopback only.
#
# Usage: set-addresses.sh RESULT check|move [ADDRESS...]
#   check   only says whether a move could be made here
#   move    replaces the addresses
# The outcome goes to the file RESULT ("ok", or "error: " and the reason),
# written whole in one rename: the lab library starts this script from Wine,
# which gives the starting program no handle to wait on.
#
# Only the devices a test run made in a network namespace of its own are ever
# touched: tun devices of these names, in a namespace that is not the one of
# process 1. Anything else is refused before a change is made.
set -u
result="$1"
action="$2"
shift 2

finish() {
    printf '%s\n' "$1" > "$result.part" && mv -f "$result.part" "$result"
    exit 0
}

devices="perch0 perch1 perch2 perch3"

own_namespace() {
    here="$(readlink /proc/self/ns/net)"
    host="$(readlink /proc/1/ns/net 2>/dev/null)" || return 0  # unreadable: not ours to judge
    [ "$here" != "$host" ]
}

own_namespace || finish "error: this is the host's network namespace; the lab only changes the addresses of its own namespace (tools/labshell.sh makes one)"
tuns="$(ip -o link show type tun 2>/dev/null)"
for device in $devices; do
    case "$tuns" in
    *": $device:"*) ;;
    *) finish "error: no lab device $device in this network namespace (tools/labshell.sh, tools/test.sh and tools/demo.sh make them)" ;;
    esac
done
[ $# -le 4 ] || finish "error: a site has at most 4 addresses"
for address in "$@"; do
    case "$address" in
    192.0.2.*|198.51.100.*|203.0.113.*) ;;
    *) finish "error: $address is not in 192.0.2.0/24, 198.51.100.0/24 or 203.0.113.0/24" ;;
    esac
done
[ "$action" = check ] && finish ok
[ "$action" = move ] || finish "error: unknown action $action"

# The gateway only has to be on the device's network: no traffic is sent.
gateway() {
    case "$1" in
    *.1) echo "${1%.*}.254" ;;
    *) echo "${1%.*}.1" ;;
    esac
}

# Runs ip; a failure ends the script with ip's own words.
ip_or_fail() {
    said="$(ip "$@" 2>&1)" || finish "error: ip $*: $said"
}

first="${1:-}"
for device in $devices; do
    ip_or_fail -4 addr flush dev "$device"
    if [ $# -gt 0 ]; then
        ip_or_fail addr add "$1/24" dev "$device"
        shift
    fi
done
[ -z "$first" ] || ip_or_fail route replace default via "$(gateway "$first")" dev perch0 onlink
finish ok
