#!/usr/bin/env bash
# The client on a simulated gateway. Run by `make demo` inside a private mount
# and network namespace: everything below (/tmp, /etc/atom, interfaces) is the
# namespace's own, so the host's firewall and /tmp are never touched.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
client="$build/src/lld-client"

bold="" plain=""
if [ -t 1 ]; then
    bold=$(tput bold 2>/dev/null || true)
    plain=$(tput sgr0 2>/dev/null || true)
fi
say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }

# --- the gateway --------------------------------------------------------------
. "$(dirname "$0")/simulated_gateway.sh"

device_id=demo-gateway-01
iv=0f1e2d3c4b5a69788796a5b4c3d2e1f0
password=correct-horse-battery-staple
cat >/tmp/lld.json <<CONFIG
{
  "broker_url": "broker.example.net", "broker_port": 8883,
  "public_cert": "/etc/certs/ca.pem", "device_cert": "/etc/certs/dev.pem",
  "device_key": "/etc/certs/dev.key", "username": "gateway",
  "password": "$password", "device_id": "$device_id",
  "ha_IV": "$iv", "device_mode": "Dualstack"
}
CONFIG

say "the simulated gateway"
ip -brief addr show lan0
ip -brief addr show wan0
echo "modem: low-latency classifier ports 5000-5010 (stand-in ondrel_rpc_client)"

add_hosts
trap remove_hosts EXIT

# --- the proxy and the client -------------------------------------------------
proxy_log=/tmp/proxy.log
proxy_console listen --pretty >"$proxy_log" 2>&1 &
proxy_pid=$!
sleep 0.2

LLD_DBG_LVL=info "$client" -ifl lan0 -ifw wan0 -nvdir /tmp/nv -config /tmp/lld.json \
    >/tmp/client.log 2>&1 &
client_pid=$!

shown=0
show_published() {  # waits a moment, then prints what the proxy received since last time
    sleep "${1:-0.5}"
    local size
    size=$(stat -c %s "$proxy_log")
    if [ "$size" -gt "$shown" ]; then
        tail -c +"$((shown + 1))" "$proxy_log" | head -c "$((size - shown))" | sed 's/^/   /'
    else
        echo "   (nothing published)"
    fi
    shown=$size
}
cloud() {  # sends one cloud message and shows what the client published
    say "cloud sends: $1"
    proxy_console send --topic "CS/$device_id/LLD/config" "$1"
    show_published
}

say "lld-client starts and registers (ready report on the status topic)"
show_published 1
hadp=$(grep -o '"hadp":[[:space:]]*"[0-9a-f]*"' "$proxy_log" | head -1 | sed 's/.*"\([0-9a-f]*\)"$/\1/')
if [ -n "$hadp" ]; then
    key=$(printf '%s' "$device_id" | head -c 32 | od -An -tx1 | tr -d ' \n')
    key=$(printf '%-64s' "$key" | tr ' ' 0)
    opened=$(printf '%s' "$hadp" | tr a-f A-F | basenc --base16 -d |
             openssl enc -d -aes-256-cbc -K "$key" -iv "$iv" 2>/dev/null | base64 -d | gunzip || true)
    echo "   hadp opened with openssl, base64 and gunzip: \"$opened\""
fi

cloud '{"lld_config":{"port_range":"5000-5010"}}'
cloud '{"user_game_config":[{"cmd":"multi-add","name":"game","data":"3074,3478:3480,B"},{"cmd":"device-add","name":"console","data":"192.0.2.20"}]}'
sleep 1

say "rules installed by lld-client (iptables -t nat -S POSTROUTING, then ip6tables)"
iptables -t nat -S POSTROUTING | sed 's/^/   /'
ip6tables -t nat -S POSTROUTING | sed 's/^/   /'

say "UDP from the LAN host 192.0.2.10, as the WAN host 198.51.100.20 sees it"
udp_path() {  # source port, destination port, what it shows
    local seen=/tmp/seen.$2
    on_wan timeout 5 socat -u "UDP4-RECVFROM:$2,reuseaddr" \
        SYSTEM:'echo "$SOCAT_PEERADDR:$SOCAT_PEERPORT"' >"$seen" &
    local receiver=$!
    sleep 0.3
    echo probe | on_lan socat -u - "UDP4-SENDTO:198.51.100.20:$2,sourceport=$1"
    wait "$receiver" || true
    printf '   LAN port %-5s -> WAN port %-5s arrives from %-22s %s\n' "$1" "$2" "$(cat "$seen")" "$3"
}
udp_path 40000 3074 "(listed game port: source port inside 5000-5010)"
udp_path 5003 9999 "(unlisted port, source port 5003 was in the range: moved outside it)"
say "user latency probe against a reflector on the WAN host (socat echoing UDP)"
on_wan socat UDP4-LISTEN:7777,fork,reuseaddr PIPE 2>/dev/null &
reflector=$!
sleep 0.3
probe_from=$(stat -c %s "$proxy_log")
request='{"user_pingu":{"command":"start","reflector_url":"198.51.100.20","reflector_port":7777,"refresh_period":2,"interval":100,"duration":4}}'
say "cloud sends: $request"
proxy_console send --topic "CS/$device_id/LLD/config" "$request"
sleep 4.5
shown=$(stat -c %s "$proxy_log")
tail -c +"$((probe_from + 1))" "$proxy_log" | grep -o '"user_pingu_state":[[:space:]]*"[a-z]*"' | sed 's/^/   /'
tail -c +"$((probe_from + 1))" "$proxy_log" >/tmp/probe.log
python3 "$(dirname "$0")/pingu_view.py" /tmp/probe.log
kill "$reflector" 2>/dev/null || true

cloud '{"docsis_config":{"refresh_period":"2","command":"start"}}'
say "the low-latency flow's counters, published every 2 s"
show_published 4.5
cloud '{"docsis_config":{"command":"stop"}}'

say "a local program subscribes to the statistics server (UDP 52418, \"stats 3\")"
python3 - <<'SUBSCRIBER'
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(3)
s.sendto(b"stats 3", ("127.0.0.1", 52418))
names = ("sfid", "dir", "tag", "d count64_a", "d count64_b", "d count32_a", "d count32_b", "d count64_c")
for second in range(4):
    report = s.recv(65536).decode()
    numbers = report.split(":", 1)[1].strip('"').split(",")
    print("   second %d:" % second)
    for i in range(0, len(numbers) - 7, 8):
        print("     " + "  ".join("%s=%s" % pair for pair in zip(names, numbers[i:i + 8])))
SUBSCRIBER

cloud '{"lld_config":{"port_range":"6000-6100"}}'
cloud '{"gui_token":"demo-token-1234"}'
echo "   /tmp/lld/token: $(cat /tmp/lld/token) ($(stat -c '%a' /tmp/lld) dir, $(stat -c '%a' /tmp/lld/token) file)"
cloud '{"event":"send_status"}'

say "SIGTERM to lld-client"
kill -TERM "$client_pid"
status=0
wait "$client_pid" || status=$?
show_published
echo "   lld-client exit status: $status"

say "lld-client log (LLD_DBG_LVL=info)"
sed 's/^/   /' /tmp/client.log

kill "$proxy_pid" 2>/dev/null || true
wait "$proxy_pid" 2>/dev/null || true
