#!/usr/bin/env bash
# The whole gateway with its real parts, run by `make demo` inside a private
# mount and network namespace (the gateway): a LAN host and a WAN host in
# namespaces of their own, the cloud's MQTT broker (mosquitto) and a reflector
# on the WAN host, lld-proxy and lld-client with real iptables on the gateway.
# The host's firewall and /tmp are never touched, and everything started here
# ends with it. CONGESTED=1 delays the classic path on the WAN host where the
# kernel has the queueing disciplines for it.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
tools=$(cd "$(dirname "$0")" && pwd)
picture="$build/demo-probe.png"

bold="" plain=""
if [ -t 1 ]; then
    bold=$(tput bold 2>/dev/null || true)
    plain=$(tput sgr0 2>/dev/null || true)
fi
say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
indent() { sed 's/^/   /'; }

. "$tools/simulated_gateway.sh"
add_hosts
demo=/tmp/demo
mkdir -p "$demo"
pids=()
finish() {
    kill "${pids[@]}" 2>/dev/null || true
    # Whatever still runs in the hosts' namespaces goes with them.
    local pid hosts
    hosts=" $(readlink /proc/"$lan_host"/ns/net) $(readlink /proc/"$wan_host"/ns/net) "
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        case $hosts in *" $(readlink /proc/"$pid"/ns/net 2>/dev/null) "*) kill "$pid" 2>/dev/null || true ;; esac
    done
    remove_hosts
    wait 2>/dev/null || true
}
trap finish EXIT

device_id=demo-gateway-01
iv=0f1e2d3c4b5a69788796a5b4c3d2e1f0
cat >"$demo/lld.json" <<CONFIG
{
  "broker_url": "mqtt://198.51.100.20", "broker_port": 1883,
  "public_cert": "/etc/certs/ca.pem", "device_cert": "/etc/certs/dev.pem",
  "device_key": "/etc/certs/dev.key", "username": "gateway",
  "password": "correct-horse-battery-staple", "device_id": "$device_id",
  "ha_IV": "$iv", "device_mode": "Dualstack"
}
CONFIG
cat >"$demo/mosquitto.conf" <<BROKER
listener 1883 198.51.100.20
allow_anonymous true
user root
BROKER

nat_rules() { echo $(($(iptables -t nat -S POSTROUTING | wc -l) - 1 + $(ip6tables -t nat -S POSTROUTING | wc -l) - 1)); }
cloud_log="$demo/cloud.log"
shown=0
received() {  # the client's messages, one a line (a formatted payload spans several)
    awk '/^CS\//{ if (m) print m; m = $0; next } { gsub(/[\t ]+/, ""); m = m $0 } END { if (m) print m }' \
        "$cloud_log" | grep -v '/LLD/config ' || true
}
published() {  # what the cloud received since last time, waiting up to $1 s for $2 messages
    local deadline=$((SECONDS + ${1:-3})) want=${2:-1} count
    while :; do
        count=$(received | wc -l)
        if [ "$((count - shown))" -ge "$want" ] || [ "$SECONDS" -ge "$deadline" ]; then break; fi
        sleep 0.2
    done
    received | tail -n +"$((shown + 1))" | head -n "$((count - shown))" |
        sed "s|^CS/$device_id/LLD/||; s/^\([a-z]*\) /\1: /" | cut -c1-150 | indent
    shown=$count
}
cloud_sends() {
    printf '   cloud -> %s\n' "$1"
    on_wan mosquitto_pub -h 198.51.100.20 -q 1 -t "CS/$device_id/LLD/config" -m "$1"
}

say "1. The gateway (this namespace), its LAN host and its WAN host"
echo "   gateway: lan0 192.0.2.1/24  wan0 198.51.100.2/24 (and IPv6); modem classifier: ports 5000-5010"
echo "   LAN host 192.0.2.10; WAN host 198.51.100.20 with the cloud's broker and a reflector"
# Started by nsenter itself, so that $! is the program.
nsenter --target "$wan_host" --net mosquitto -c "$demo/mosquitto.conf" >"$demo/mosquitto.log" 2>&1 &
pids+=($!)
sleep 0.5
nsenter --target "$wan_host" --net mosquitto_sub -h 198.51.100.20 -v -t "CS/$device_id/LLD/#" >"$cloud_log" 2>&1 &
pids+=($!)
echo "   nat rules before lld-client starts: $(nat_rules)"

say "2. lld-proxy and lld-client start; the client registers through the broker"
LLD_DBG_LVL=info "$build/src/lld-proxy" -config "$demo/lld.json" >"$demo/proxy.log" 2>&1 &
pids+=($!)
sleep 0.5
LLD_DBG_LVL=info "$build/src/lld-client" -ifl lan0 -ifw wan0 -nvdir /tmp/nv -config "$demo/lld.json" \
    >"$demo/client.log" 2>&1 &
client=$!
pids+=("$client")
published 10
hadp=$(grep -o '"hadp":"[0-9a-f]*"' "$cloud_log" | head -1 | cut -d'"' -f4 || true)
if [ -n "$hadp" ]; then
    key=$(printf '%-64s' "$(printf '%s' "$device_id" | od -An -tx1 | tr -d ' \n')" | tr ' ' 0)
    opened=$(printf '%s' "${hadp^^}" | basenc --base16 -d |
             openssl enc -d -aes-256-cbc -K "$key" -iv "$iv" 2>/dev/null | base64 -d | gunzip || true)
    echo "   the cloud opens \"hadp\" (openssl, base64, gunzip): the password \"$opened\""
fi

say "3. The port-range check: the cloud's range against the modem's"
cloud_sends '{"lld_config":{"port_range":"6000-6100"}}'
published
cloud_sends '{"lld_config":{"port_range":"5000-5010"}}'
published

say "4. Steering: game ports and a console go into the range, all else out of it"
cloud_sends '{"user_game_config":[{"cmd":"multi-add","name":"game","data":"3074,3478:3480,B"},{"cmd":"device-add","name":"console","data":"192.0.2.20"}]}'
sleep 1
echo "   nat rules now: $(nat_rules) (iptables and ip6tables, POSTROUTING)"
udp_path() {  # LAN source port, WAN destination port, what it shows
    local seen="$demo/seen.$2"
    on_wan timeout 5 socat -u "UDP4-RECVFROM:$2,reuseaddr" SYSTEM:'echo $SOCAT_PEERPORT' >"$seen" &
    local receiver=$!
    sleep 0.3
    echo probe | on_lan socat -u - "UDP4-SENDTO:198.51.100.20:$2,sourceport=$1"
    wait "$receiver" || true
    printf '   LAN host sends from port %-5s to port %-5s -> leaves the gateway from port %-5s %s\n' \
        "$1" "$2" "$(cat "$seen")" "$3"
}
udp_path 40000 3074 "(a game port: inside 5000-5010)"
udp_path 5003 9999 "(ordinary traffic: moved out of the range)"

say "5. A latency probe against the reflector: classic and low-latency path"
if [ "${CONGESTED:-0}" = 1 ]; then
    if on_wan tc qdisc add dev wan0p root handle 1: prio 2>/dev/null &&
       on_wan tc qdisc add dev wan0p parent 1:3 netem delay 15ms 5ms 2>/dev/null &&
       on_wan tc filter add dev wan0p parent 1: protocol ip prio 1 flower ip_proto udp \
           dst_port 5000-5010 classid 1:1 2>/dev/null &&
       on_wan tc filter add dev wan0p parent 1: protocol ip prio 2 matchall classid 1:3 2>/dev/null; then
        echo "   the WAN host delays the classic path's echoes by 15 ms (tc netem)"
    else
        echo "   this kernel lacks the prio/netem queueing disciplines: the classic path stays uncongested"
    fi
fi
nsenter --target "$wan_host" --net "$build/bench/reflector" 198.51.100.20 7777 30 "$demo/reflector.log" \
    >/dev/null 2>&1 &
pids+=($!)
sleep 0.3
cloud_sends '{"user_pingu":{"command":"start","reflector_url":"198.51.100.20","reflector_port":7777,"refresh_period":2,"interval":50,"duration":4}}'
published 8 3
python3 "$tools/demo_view.py" probe "$cloud_log" "$picture"

say "6. The low-latency flow's counters"
cloud_sends '{"docsis_config":{"refresh_period":"1","command":"start"}}'
sleep 2.5
cloud_sends '{"docsis_config":{"command":"stop"}}'
python3 "$tools/demo_view.py" counters "$cloud_log"
shown=$(received | wc -l)
echo "   a local program asks srServer (UDP 52418) for \"stats 2\": every flow's changes, one report a second"
python3 "$tools/demo_view.py" stats 2

say "7. SIGTERM: lld-client takes its rules back and says goodbye"
kill -TERM "$client"
status=0
wait "$client" || status=$?
published 3
echo "   lld-client exit status $status; nat rules left: $(nat_rules)"
echo "   (logs of this run: client, proxy and broker under the demo's private /tmp; picture: $picture)"
