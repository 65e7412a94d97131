#!/usr/bin/env bash
# The tray program's memory (Release build; Qt's offscreen platform unless DISPLAY names one), in a private
# network namespace of its own: a veth pair, the interface source and a local pyftpdlib server.
#   1. resident and proportional set size idle 10 s after start (goal: resident under 30 MB);
#   2. the same after 10 and after PUBLICATIONS address changes, each one published and then 10 s idle
#      (goal: resident under 35 MB), and the peak resident size.
# Usage: [BUILD=build/release] bench/tray_memory.sh [PUBLICATIONS]   (needs root, or a user namespace)
set -euo pipefail
cd "$(dirname "$0")/.."
publications="${1:-100}"
bench=tray_memory
bench_targets="signposter signposter-cli"
source bench/lib.sh
bench_in_private_network "$@"
tray="$(dirname "$cli")/signposter"
mkdir -p "$work/root"
mkdir -m 0700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"
[[ -n "${DISPLAY:-}" ]] || export QT_QPA_PLATFORM=offscreen
/usr/bin/python3 tests/ftp/pyftpdlib_server.py bench pw "$work/root" >"$work/port" 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 50); do [[ -s "$work/port" ]] && break; sleep 0.1; done
port=$(head -n 1 "$work/port")
"$cli" set Host=127.0.0.1 "Port=$port" User=bench Password=pw RemotePath=/ LastIP=10.77.1.1 \
    AddressSource=Interface AddressInterface=spbench0 PublishPrivate=1 >/dev/null

"$tray" >"$work/monitor.out" 2>"$work/monitor.err" &
monitor_pid=$!
memory() {
    read -r -u 9 -t 10 || true
    awk -v what="$1" '/^Rss:/ { r = $2 } /^Pss:/ { p = $2 }
        END { printf "%-28s resident %5.1f MB, proportional %5.1f MB\n", what, r / 1024, p / 1024 }' \
        "/proc/$monitor_pid/smaps_rollup"
}
memory "idle 10 s after start:"

page="$work/root/ipaddress.htm"
current=1
for ((i = 1; i <= publications; i++)); do
    next=$((current % 200 + 2))
    start=${EPOCHREALTIME/[.,]/}
    ip addr add "10.77.$next.1/24" dev spbench0
    ip addr del "10.77.$current.1/24" dev spbench0
    bench_wait_for "$page" "$start" "change $i not published" "10.77.$next.1\"" "</html>"
    current=$next
    read -r -u 9 -t 0.2 || true
    ((i == 10)) && memory "after 10 publications:"
done
memory "after $publications publications:"
awk '/VmHWM/ { printf "peak resident:               %5.1f MB\n", $2 / 1024 }' "/proc/$monitor_pid/status"
