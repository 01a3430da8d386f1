#!/usr/bin/env bash
# Runs the benchmarks on the simulated gateway; `make bench` starts it inside a
# private mount and network namespace.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
. "$(dirname "$0")/../tools/simulated_gateway.sh"

echo "== rule setter"
"$build/bench/nat_apply_bench"

echo
echo "== statistics server"
LLD_CLIENT="$build/src/lld-client" LLD_PLATFORM_BIN="$build/platform/bin" \
    PYTHONDONTWRITEBYTECODE=1 python3 "$(dirname "$0")/sr_server_bench.py"

# The latency probes against a bare timerfd loop and irtt, with reflectors on the
# WAN host (bench/pingu_bench.py).
echo
add_hosts
trap remove_hosts EXIT
python3 "$(dirname "$0")/pingu_bench.py" "$build" "$wan_host"
