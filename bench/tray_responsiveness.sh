#!/usr/bin/env bash
# The tray program while its web host stalls (Release build, Qt's offscreen platform):
#   1. the window thread's lateness: a 50 ms timer over SECONDS (default 30) while an upload waits on a
#      server that never answers (goal: worst under 100 ms);
#   2. Quit in each state of a publication until the program may end (goal: under 1 s each);
#   3. the resident memory of `signposter` idle after start (goal: not above 40 MB).
# Usage: [BUILD=build/test] bench/tray_responsiveness.sh [SECONDS]  (BUILD: a tree configured with
# -DSIGNPOSTER_BUILD_BENCH=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
# BUILD names another tree to use (its build type is reported with the figures).
build="${BUILD:-build/release-bench}"
[[ -n "${BUILD:-}" ]] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSIGNPOSTER_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target tray_bench signposter >/dev/null

work=$(mktemp -d /tmp/signposter-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -m 0700 "$work/runtime"
export TMPDIR="$work" XDG_RUNTIME_DIR="$work/runtime"

"$build/bench/tray_bench" lateness "$seconds"
"$build/bench/tray_bench" quit

# Idle after start: the stored address is the one the machine has, so ticks only compare.
export XDG_CONFIG_HOME="$work/config"
mkdir -p "$XDG_CONFIG_HOME"
QT_QPA_PLATFORM=offscreen "$build/app/signposter" >/dev/null 2>&1 &
pid=$!
sleep 10
rss_kb=$(awk '/VmRSS/ {print $2}' /proc/$pid/status)
kill $pid
wait $pid 2>/dev/null || true
echo "signposter idle 10 s after start: resident $((rss_kb / 1024)) MB ($rss_kb KB; goal: not above 40 MB)"
