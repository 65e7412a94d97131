#!/usr/bin/env bash
# Processor time of `signposter-cli monitor` with the web address source: a local web server answers the
# address page, asked every AddressPollSeconds (30 here); nothing changes, so nothing is published.
# Reports processor seconds per hour of monitoring (goal: under 1 s) and the monitor's peak resident memory.
# Usage: bench/web_source_cost.sh [BUILD_DIR] [SECONDS]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=bench/lib.sh
source "$root/bench/lib.sh"
build=${1:-$root/build/release}
duration=${2:-60}
cli=$build/app/signposter-cli
[[ -x $cli ]] || { echo "web_source_cost: $cli not found; build Release first" >&2; exit 2; }

work=$(mktemp -d /tmp/sp-web-source-bench-XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/site" "$work/config"
echo "your address is 100.63.0.5" >"$work/site/ip"
port=$((40000 + RANDOM % 10000))
/usr/bin/python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/site" >"$work/web.log" 2>&1 &
pids+=($!)
bench_wait_port "$port" || { echo "web_source_cost: the web server did not start" >&2; exit 1; }

export XDG_CONFIG_HOME=$work/config TMPDIR=$work
"$cli" set Host=127.0.0.1 Port=9 User=bench Password=x LastIP=100.63.0.5 AddressSource=Web \
    "AddressURL=http://127.0.0.1:$port/ip" AddressPollSeconds=30 >/dev/null
"$cli" monitor >"$work/monitor.log" 2>&1 &
monitor=$!
pids+=("$monitor")
sleep "$duration"
# Nanoseconds on a processor (the first field of schedstat): finer than the clock ticks of /proc/PID/stat.
ns=$(awk '{ print $1 }' "/proc/$monitor/schedstat")
peak=$(awk '/^VmHWM:/ { print $2 }' "/proc/$monitor/status")
asked=$(grep -c '"GET /ip' "$work/web.log" || true)
awk -v ns="$ns" -v d="$duration" -v n="$asked" -v peak="$peak" 'BEGIN {
    s = ns / 1e9
    printf "monitor, web source: %.3f s processor over %d s = %.2f s per hour (goal < 1 s); %d questions\n",
        s, d, s * 3600 / d, n
    printf "monitor, web source: peak resident memory %d KiB\n", peak
}'
