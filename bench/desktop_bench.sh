#!/usr/bin/env bash
# The tray program on a desktop (Release build):
#   1. notification latency: from the host closing the last failed attempt of a publication to the
#      window's D-Bus call, and to the notification service receiving it (notify_bench, ROUNDS failures on
#      a private session bus, on a driven clock and then three on the machine's; goal: under 100 ms);
#   2. the resident memory of `signposter` after PUBLICATIONS (default 50) publications made with its
#      window's "Update Now" on a virtual X display without a tray (so the window stays open), to a local
#      FTP server.
# Usage: [BUILD=build/release-bench] bench/desktop_bench.sh [ROUNDS] [PUBLICATIONS]  (BUILD: a tree
# configured with -DSIGNPOSTER_BUILD_BENCH=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds="${1:-20}"
publications="${2:-50}"
build="${BUILD:-build/release-bench}"
[[ -n "${BUILD:-}" ]] || cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSIGNPOSTER_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target notify_bench signposter signposter-cli >/dev/null
bench=desktop_bench
source bench/lib.sh

work=$(mktemp -d /tmp/signposter-bench.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -m 0700 "$work/runtime"
export TMPDIR="$work" XDG_RUNTIME_DIR="$work/runtime"

echo "build: $build ($(grep -m1 CMAKE_BUILD_TYPE: "$build/CMakeCache.txt" | cut -d= -f2))"
QT_QPA_PLATFORM=offscreen "$build/bench/notify_bench" "$rounds"
# Three rounds as they happen, each attempt three seconds after the one before.
QT_QPA_PLATFORM=offscreen "$build/bench/notify_bench" 3 real

# The web host.
mkdir -p "$work/ftp" "$work/config"
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
/usr/bin/python3 -m pyftpdlib -i 127.0.0.1 -p "$port" -w -d "$work/ftp" -u demo -P secret >"$work/ftp.log" 2>&1 &
pids+=($!)
bench_wait_port "$port" || { echo "$bench: the FTP server did not start" >&2; exit 1; }
export XDG_CONFIG_HOME="$work/config"
"$build/app/signposter-cli" set Host=127.0.0.1 "Port=$port" User=demo Password=secret >/dev/null

# A screen without a tray.
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.1; done
export DISPLAY=":$(head -n1 "$work/display")"

QT_QPA_PLATFORM=xcb env -u DBUS_SESSION_BUS_ADDRESS "$build/app/signposter" >"$work/signposter.log" 2>&1 &
pid=$!
pids+=("$pid")
window=""
for _ in $(seq 100); do
    window=$(xdotool search --onlyvisible --name '^Signposter 1\.0$' 2>/dev/null | head -n1 || true)
    [[ -n $window ]] && break
    sleep 0.1
done
[[ -n $window ]] || { echo "$bench: the window did not open" >&2; exit 1; }
eval "$(xdotool getwindowgeometry --shell "$window")"

published() { grep -c 'STOR .* completed=1' "$work/ftp.log" || true; }
# The start's own publication first.
for _ in $(seq 100); do (($(published) > 0)) && break; sleep 0.1; done
start_kb=$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status")
for ((i = 0; i < publications; i++)); do
    before=$(published)
    # "Update Now", in the middle of its button.
    xdotool mousemove $((X + 88 + 38)) $((Y + 364 + 12)) click 1
    for _ in $(seq 200); do (($(published) > before)) && break; sleep 0.05; done
    (($(published) > before)) || { echo "$bench: publication $((i + 1)) did not arrive" >&2; exit 1; }
done
sleep 1
rss_kb=$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status")
printf 'resident memory of signposter: %.1f MB after start and its first publication, %.1f MB after %d more\n' \
    "$(echo "$start_kb / 1024" | bc -l)" "$(echo "$rss_kb / 1024" | bc -l)" "$publications"
