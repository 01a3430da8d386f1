# Sourced by the demo and the benchmarks, inside a private mount and network
# namespace: a private /tmp and /etc/atom, LAN and WAN veth interfaces with IPv4
# and global IPv6 addresses, and the platform stand-ins first on PATH.
# Expects $build (the build directory).

if [ "$(ip -o link show | wc -l)" -ne 1 ]; then
    echo "run this in its own network namespace (see the Makefile)" >&2
    exit 1
fi

export PATH="$build/platform/bin:$PATH"
export LLD_PLATFORM_DIR=/tmp/platform

# A private /tmp that still shows a checkout or build directory living under /tmp.
tops=() fds=() held=()
for path in "$build" "$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"; do
    case $(realpath "$path") in /tmp/?*) tops+=("$(realpath "$path" | cut -d/ -f1-3)") ;; esac
done
for top in $(printf '%s\n' "${tops[@]}" | sort -u); do
    exec {fd}<"$top"
    fds+=("$fd") held+=("$top")
done
mount -t tmpfs -o mode=1777 tmpfs /tmp
for i in "${!fds[@]}"; do
    mkdir "${held[$i]}"
    mount --no-canonicalize --rbind "/proc/self/fd/${fds[$i]}" "${held[$i]}"
done
mkdir -p /etc/atom
mount -t tmpfs tmpfs /etc/atom
ip link set lo up

add_if() {  # name ipv4 ipv6
    ip link add "$1" type veth peer name "$1p"
    ip addr add "$2" dev "$1"
    ip -6 addr add "$3" dev "$1" nodad
    ip link set "$1" up
    ip link set "$1p" up
}
add_if lan0 192.0.2.1/24 2001:db8:1::1/64
add_if wan0 198.51.100.2/24 2001:db8:2::2/64

mkdir -p "$LLD_PLATFORM_DIR" /tmp/nv
cat >"$LLD_PLATFORM_DIR/modem.conf" <<'MODEM'
# The modem: low-latency service flow 7, whose classifier takes source ports 5000-5010.
aggregate 7
classifier 1 3 1000 1999
classifier 2 7 5000 5010
flow 3 1 1 100 200 30 40 50
flow 7 1 2 1000 2000 300 400 500 10
MODEM
echo started >"$LLD_PLATFORM_DIR/wan_service-status"
echo "00:11:22:AA:BB:CC" >"$LLD_PLATFORM_DIR/cm_mac"
cp "$build/platform/bin/conntrack_extract.sh" /etc/atom/

# A LAN host and a WAN host, each in a network namespace of its own held by a
# sleeping process, joined to the gateway by the veth peers. The WAN host has
# no route back to the LAN: only traffic the gateway source-NATs gets answers.
add_hosts() {
    unshare --net sleep infinity &
    lan_host=$!
    unshare --net sleep infinity &
    wan_host=$!
    sleep 0.2
    ip link set lan0p netns "$lan_host"
    ip link set wan0p netns "$wan_host"
    on_lan ip link set lo up
    on_lan ip link set lan0p up
    on_lan ip addr add 192.0.2.10/24 dev lan0p
    on_lan ip -6 addr add 2001:db8:1::10/64 dev lan0p nodad
    on_lan ip route add default via 192.0.2.1
    on_lan ip -6 route add default via 2001:db8:1::1
    on_wan ip link set lo up
    on_wan ip link set wan0p up
    on_wan ip addr add 198.51.100.20/24 dev wan0p
    on_wan ip -6 addr add 2001:db8:2::20/64 dev wan0p nodad
    echo 1 >/proc/sys/net/ipv4/ip_forward
    echo 1 >/proc/sys/net/ipv6/conf/all/forwarding
}
on_lan() { nsenter --target "$lan_host" --net "$@"; }
on_wan() { nsenter --target "$wan_host" --net "$@"; }
remove_hosts() { kill "$lan_host" "$wan_host" 2>/dev/null || true; }
