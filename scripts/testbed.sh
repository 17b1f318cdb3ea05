#!/usr/bin/env bash
# testbed.sh - a private two-namespace network for exercising AVLO Monitor end to end.
#
# The monitor finds amplifiers with a limited broadcast (255.255.255.255, UDP 60003) and
# then talks to each one by unicast. Doing that on the host would put real packets on a
# real network, so this script builds a closed bed instead:
#
#   ${PREFIX}-mon  (monitor side)            ${PREFIX}-dev  (simulated devices)
#   veth-mon 10.77.0.1/24  <--- veth --->   veth-dev 10.77.0.2/24, 10.77.0.3 ... 10.77.0.(N+1)
#
# Both veth ends are created directly inside their namespaces, so the host (root)
# namespace never sees the link or any 10.77.0.x address. Neither namespace has any other
# interface than lo and its veth end, there is no route out, no NAT and no forwarding:
# whatever is sent in the bed can only reach the other end of the veth.
#
# Usage (as root):
#   scripts/testbed.sh up     [--name PREFIX] [--devices N]   build (or rebuild) the bed
#   scripts/testbed.sh down   [--name PREFIX]                 remove it; fine if absent
#   scripts/testbed.sh status [--name PREFIX]                 show it; exit 0 only if complete
#
#   PREFIX defaults to "avlotb"; N (number of simulated devices, 1..253) defaults to 8, so
#   the devices answer on 10.77.0.2 .. 10.77.0.(N+1).
#
# Running the programs by hand inside the bed:
#   sudo scripts/testbed.sh up --devices 3
#   sudo ip netns exec avlotb-dev avlo-devsim --device 10.77.0.2:03:10000001 \
#                                             --device 10.77.0.3:03:10000002 &
#   sudo ip netns exec avlotb-mon avlo-monitor          # discovery broadcast finds both
#   sudo ip netns exec avlotb-mon tcpdump -ni veth-mon udp port 60003   # to watch the wire
#   sudo scripts/testbed.sh down
#
# A process can also keep one foot in each namespace: tests switch single threads with
# setns() (see tests/support/NetnsTestBed.h), so one test binary owns the monitor's
# socket in -mon and the simulated devices' sockets in -dev.
#
# Exit codes: 0 ok, 1 failure (or, for status, bed absent or incomplete), 2 not root or
# no iproute2, 64 bad usage.
set -euo pipefail

# root's PATH usually has these, but a stripped environment (sudo, CI) may not.
export PATH="${PATH}:/usr/sbin:/sbin"

readonly SUBNET_PREFIX="10.77.0"
readonly MONITOR_ADDR="${SUBNET_PREFIX}.1"
readonly MON_IF="veth-mon"
readonly DEV_IF="veth-dev"
readonly MAX_DEVICES=253   # 10.77.0.2 .. 10.77.0.254

usage() {
    sed -n '2,/^set -euo/p' "$0" | sed -e '/^set -euo/d' -e 's/^# \{0,1\}//' >&2
}

die() {
    echo "testbed.sh: $*" >&2
    exit 1
}

cmd="${1:-}"
[[ -n "$cmd" ]] || { usage; exit 64; }
shift

prefix="avlotb"
devices=8
while (($# > 0)); do
    case "$1" in
        --name)
            [[ $# -ge 2 ]] || { echo "testbed.sh: --name needs a value" >&2; exit 64; }
            prefix="$2"; shift 2 ;;
        --devices)
            [[ $# -ge 2 ]] || { echo "testbed.sh: --devices needs a value" >&2; exit 64; }
            devices="$2"; shift 2 ;;
        -h|--help)
            usage; exit 0 ;;
        *)
            echo "testbed.sh: unknown argument '$1'" >&2; usage; exit 64 ;;
    esac
done

# The prefix ends up in file names under /var/run/netns and in ip(8) arguments; keep it plain.
if ! [[ "$prefix" =~ ^[A-Za-z0-9][A-Za-z0-9_]{0,31}$ ]]; then
    echo "testbed.sh: --name must be 1-32 letters, digits or '_' (got '$prefix')" >&2
    exit 64
fi
if ! [[ "$devices" =~ ^[0-9]+$ ]] || ((devices < 1 || devices > MAX_DEVICES)); then
    echo "testbed.sh: --devices must be a number from 1 to $MAX_DEVICES (got '$devices')" >&2
    exit 64
fi

case "$cmd" in
    up|down|status) ;;
    *) echo "testbed.sh: unknown command '$cmd' (expected up, down or status)" >&2; exit 64 ;;
esac

if [[ "$(id -u)" -ne 0 ]]; then
    echo "testbed.sh: must run as root: creating network namespaces and veth links needs CAP_SYS_ADMIN and CAP_NET_ADMIN (try: sudo $0 $cmd ...)" >&2
    exit 2
fi
if ! command -v ip >/dev/null 2>&1; then
    echo "testbed.sh: the 'ip' command (iproute2) was not found in PATH" >&2
    exit 2
fi

readonly MON_NS="${prefix}-mon"
readonly DEV_NS="${prefix}-dev"

# `ip netns` keeps one file per named namespace in this directory.
ns_exists() {
    [[ -e "/var/run/netns/$1" ]]
}

remove_ns() {
    if ns_exists "$1"; then
        # Deleting the namespace destroys its veth end, and with it the peer.
        ip netns delete "$1" 2>/dev/null || true
    fi
    # A half-created namespace can leave an unmounted placeholder file behind.
    if [[ -e "/var/run/netns/$1" ]]; then
        umount "/var/run/netns/$1" 2>/dev/null || true
        rm -f "/var/run/netns/$1" 2>/dev/null || true
    fi
}

bed_down() {
    remove_ns "$MON_NS"
    remove_ns "$DEV_NS"
    if ns_exists "$MON_NS" || ns_exists "$DEV_NS"; then
        die "could not remove namespaces $MON_NS / $DEV_NS"
    fi
}

# Every ip(8) call names its namespace explicitly with -n, so nothing here can touch the
# host's own interfaces or routes by accident.
bed_up() {
    bed_down   # a stale bed of the same name would make every step below fail

    # If anything below fails, leave nothing half-built behind.
    trap 'echo "testbed.sh: up failed; removing the partial bed" >&2; bed_down' ERR

    ip netns add "$MON_NS"
    ip netns add "$DEV_NS"

    # Created straight into the two namespaces: the pair never exists in the host namespace.
    ip link add "$MON_IF" netns "$MON_NS" type veth peer name "$DEV_IF" netns "$DEV_NS"

    # IPv6 would chatter (router solicitations, DAD) on the veth; the bed is IPv4 only.
    ip netns exec "$MON_NS" sysctl -q -w "net.ipv6.conf.$MON_IF.disable_ipv6=1" 2>/dev/null || true
    ip netns exec "$DEV_NS" sysctl -q -w "net.ipv6.conf.$DEV_IF.disable_ipv6=1" 2>/dev/null || true

    ip -n "$MON_NS" addr add "$MONITOR_ADDR/24" broadcast "$SUBNET_PREFIX.255" dev "$MON_IF"

    # One batch instead of N separate ip(8) runs: up to 253 addresses stays quick.
    {
        local i
        for ((i = 2; i <= devices + 1; i++)); do
            echo "addr add $SUBNET_PREFIX.$i/24 broadcast $SUBNET_PREFIX.255 dev $DEV_IF"
        done
    } | ip -n "$DEV_NS" -batch -

    ip -n "$MON_NS" link set lo up
    ip -n "$DEV_NS" link set lo up
    ip -n "$MON_NS" link set "$MON_IF" up
    ip -n "$DEV_NS" link set "$DEV_IF" up

    # A socket bound to 0.0.0.0 can only send to 255.255.255.255 if some route covers it.
    # This host route sends it out of the veth (the namespace has nowhere else to go) with
    # the side's own primary address as source.
    ip -n "$MON_NS" route add 255.255.255.255/32 dev "$MON_IF" src "$MONITOR_ADDR"
    ip -n "$DEV_NS" route add 255.255.255.255/32 dev "$DEV_IF" src "$SUBNET_PREFIX.2"

    trap - ERR
    echo "testbed $prefix up: $MON_NS ($MON_IF $MONITOR_ADDR) <-> $DEV_NS ($DEV_IF $SUBNET_PREFIX.2 .. $SUBNET_PREFIX.$((devices + 1)))"
}

bed_status() {
    local complete=0 ns
    for ns in "$MON_NS" "$DEV_NS"; do
        if ! ns_exists "$ns"; then
            echo "$ns: absent"
            complete=1
            continue
        fi
        echo "== $ns"
        ip -n "$ns" -brief link show || complete=1
        ip -n "$ns" -brief -4 addr show || complete=1
        ip -n "$ns" -4 route show || complete=1
    done
    if ((complete == 0)); then
        # Present is not enough: both veth ends must be up and carry their addresses.
        # (Captured first: with pipefail, `ip ... | grep -q` can fail when grep exits early.)
        local mon_addrs dev_addrs
        mon_addrs="$(ip -n "$MON_NS" -4 addr show dev "$MON_IF" up 2>/dev/null || true)"
        dev_addrs="$(ip -n "$DEV_NS" -4 addr show dev "$DEV_IF" up 2>/dev/null || true)"
        [[ "$mon_addrs" == *" $MONITOR_ADDR/24 "* ]] || complete=1
        [[ "$dev_addrs" == *" $SUBNET_PREFIX.2/24 "* ]] || complete=1
    fi
    if ((complete == 0)); then
        echo "testbed $prefix: up"
    else
        echo "testbed $prefix: not (fully) up"
    fi
    return "$complete"
}

case "$cmd" in
    up) bed_up ;;
    down) bed_down; echo "testbed $prefix down" ;;
    status) bed_status ;;
esac
