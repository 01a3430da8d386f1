#!/usr/bin/env bash
# Runs the benchmarks on the simulated gateway, then prints the budget table;
# `make bench` starts it inside a private mount and network namespace, after
# bench/prepare.sh has made the builds the budget compares (BUILD/bench-out/builds).
#
# Usage: bench/run.sh BUILD [BASELINE_REV]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
baseline_rev=${2:-baseline}
here=$(cd "$(dirname "$0")" && pwd)
out=$build/bench-out
mkdir -p "$out"
rm -f "$out"/*.json
. "$here/../tools/simulated_gateway.sh"

# The builds to compare: "now" (this build), "baseline", "armhf", "arm64".
declare -A builds=([now]=$build)
if [ -f "$out/builds" ]; then
    while IFS='=' read -r name dir; do
        builds[$name]=$dir
    done <"$out/builds"
fi
failed=()
step() {  # name command...: a benchmark that fails is noted, and the others still run
    local name=$1
    shift
    "$@" || { failed+=("$name"); echo "($name failed)"; }
}

echo "== sizes"
step sizes env PYTHONDONTWRITEBYTECODE=1 python3 "$here/budget.py" sizes "$out" now="${builds[now]}" \
    baseline="${builds[baseline]:-}" armhf="${builds[armhf]:-}" arm64="${builds[arm64]:-}"
if grep -q '^LLD_STATIC_RUNTIME:BOOL=ON' "$build/CMakeCache.txt"; then
    echo "   $build links the runtime statically (LLD_STATIC_RUNTIME=ON in its cache);" \
         "a fresh configure links it shared"
fi

echo
echo "== rule setter"
step "rule setter" "$build/bench/nat_apply_bench"

echo
echo "== children"
step children "$build/bench/child_bench" "$out/child.json"

echo
echo "== statistics server"
step "statistics server" env LLD_CLIENT="$build/src/lld-client" LLD_BENCH_TOOL="$build/bench/table_tool" \
    LLD_BENCH_FLOOR="$build/bench/sr_floor" \
    LLD_PLATFORM_BIN="$build/platform/bin" PYTHONDONTWRITEBYTECODE=1 \
    python3 "$here/sr_server_bench.py" "$out/sr_server.json"

# The latency probes against a bare timerfd loop and irtt, with reflectors on the
# WAN host (bench/pingu_bench.py).
echo
add_hosts
trap remove_hosts EXIT
baseline=()
[ -n "${builds[baseline]:-}" ] && baseline=(--baseline "${builds[baseline]}")
step "latency probes" env PYTHONDONTWRITEBYTECODE=1 python3 "$here/pingu_bench.py" "$build" \
    "$wan_host" "${baseline[@]}" --out "$out/pingu.json"

echo
echo "== memory, threads and wake-ups of the client (bench/budget.py)"
resources=(now="${builds[now]}")
[ -n "${builds[baseline]:-}" ] && resources+=(baseline="${builds[baseline]}")
step resources env PYTHONDONTWRITEBYTECODE=1 python3 "$here/budget.py" resources "$out" \
    "$wan_host" "${resources[@]}"

echo
python3 "$here/budget.py" table "$out" "$baseline_rev"
if [ ${#failed[@]} -gt 0 ]; then
    echo "failed: ${failed[*]}"
    exit 1
fi
