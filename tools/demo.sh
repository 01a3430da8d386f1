#!/usr/bin/env bash
# The client on a simulated gateway. Run by `make demo` inside a private mount
# and network namespace: everything below (/tmp, /etc/atom, interfaces) is the
# namespace's own, so the host's firewall and /tmp are never touched.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
client="$build/src/lld-client"
export PATH="$build/platform/bin:$PATH"
export LLD_PLATFORM_DIR=/tmp/platform

if [ "$(ip -o link show | wc -l)" -ne 1 ]; then
    echo "demo.sh must run in its own network namespace (use 'make demo')" >&2
    exit 1
fi

bold="" plain=""
if [ -t 1 ]; then
    bold=$(tput bold 2>/dev/null || true)
    plain=$(tput sgr0 2>/dev/null || true)
fi
say() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }

# --- the gateway --------------------------------------------------------------
mount -t tmpfs -o mode=1777 tmpfs /tmp
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
