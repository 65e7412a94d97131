#!/usr/bin/env bash
# Processor time and memory of the headless monitor (Release build):
#   1. steady monitoring: `signposter-cli monitor` for DURATION seconds (default 60) with nothing to
#      publish; reports processor seconds per hour of monitoring (goal: under 1 s), and its proportional
#      set size (goal: under 2.5 MB) and peak resident size (goal: under 5 MB);
#   2. a failing publication: `signposter-cli publish` against a port where nothing listens, five attempts
#      with their 3-second waits; reports processor time as a share of the wall time (goal: under 1 %)
#      and the peak resident memory (goal: under 4 MB).
# Usage: [BUILD=build/release] bench/monitor_cost.sh [DURATION]   (BUILD: another tree's programs, as they are)
set -euo pipefail
cd "$(dirname "$0")/.."
duration="${1:-60}"
build="${BUILD:-build/release}"
if [[ -z "${BUILD:-}" ]]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSIGNPOSTER_BUILD_TESTS=OFF >/dev/null
    cmake --build "$build" --target signposter-cli >/dev/null
fi
cli="$(cd "$build" && pwd)/app/signposter-cli"

work=$(mktemp -d /tmp/signposter-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME="$work/config" TMPDIR="$work"
address=$("$cli" address | cut -d' ' -f1 || true)
# Nothing to publish: the stored address is the machine's own, so every tick resolves and compares only.
"$cli" set Host=127.0.0.1 Port=9 User=bench Password=x "LastIP=$address" >/dev/null

"$cli" monitor >/dev/null 2>&1 &
pid=$!
# The start (loading the libraries, reading the settings) is paid once, not per hour: the rate is taken
# from the ticks after the first five seconds, and the start is reported on its own.
sleep 5
# schedstat counts processor time in nanoseconds; /proc/PID/stat only in 10 ms ticks.
read -r start_ns _ </proc/$pid/schedstat
sleep "$duration"
read -r cpu_ns _ </proc/$pid/schedstat
rss_kb=$(awk '/VmHWM/ {print $2}' /proc/$pid/status)
pss_kb=$(awk '/^Pss:/ {print $2}' /proc/$pid/smaps_rollup)
kill -INT $pid
wait $pid || true
awk -v s0="$start_ns" -v ns="$cpu_ns" -v d="$duration" -v rss="$rss_kb" -v pss="$pss_kb" 'BEGIN {
    cpu = (ns - s0) / 1e9
    printf "monitor: %.3f s processor time over %d s of ticks = %.2f s per hour of monitoring (goal < 1 s); start %.3f s\n",
        cpu, d, cpu * 3600 / d, s0 / 1e9
    printf "monitor: proportional set size %d KB (goal < 2560 KB), peak RSS %d KB (goal < 5120 KB)\n", pss, rss }'

# Port 9 (discard) refuses at once on loopback, so the run is the five attempts and their waits.
/usr/bin/time -f "%e %U %S %M" -o "$work/time" "$cli" publish >/dev/null 2>&1 || true
read -r wall user sys peak < <(tail -n 1 "$work/time")
awk -v w="$wall" -v u="$user" -v s="$sys" -v m="$peak" 'BEGIN {
    printf "failing publication: %.2f s wall, %.3f s processor = %.3f %% of a core (goal < 1 %%); peak RSS %d KB (goal < 4096 KB)\n",
        w, u + s, 100 * (u + s) / w, m }'
