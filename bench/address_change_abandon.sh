#!/usr/bin/env bash
# A stalled upload given up on an address change (Release build), in a private network namespace of its
# own: `signposter-cli monitor` with the interface source of a veth pair publishes to a local server that
# accepts the connection and never sends its greeting (a reply bound of 30 s, five attempts). During each
# stalled upload the address is replaced by `ip addr`; measured is the time from the change to the
# "abandoned" line of the monitor (goal: under 100 ms; without the watch it took up to the whole ten
# minutes of the attempts). The new address's own upload then stalls in turn, for the next change.
# Usage: bench/address_change_abandon.sh [CHANGES]   (needs root, or a user namespace)
set -euo pipefail
cd "$(dirname "$0")/.."
changes="${1:-10}"
bench=address_change_abandon
source bench/lib.sh
bench_in_private_network "$@"
# Accepts every connection, notes it, and never says a word.
/usr/bin/python3 -c '
import socket, sys
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(16)
print(listener.getsockname()[1], flush=True)
held = []
while True:
    connection, _ = listener.accept()
    held.append(connection)
    print("accepted", flush=True)
' >"$work/server.out" &
server_pid=$!
for _ in $(seq 50); do [[ -s "$work/server.out" ]] && break; sleep 0.1; done
port=$(head -n 1 "$work/server.out")
"$cli" set Host=127.0.0.1 "Port=$port" User=bench Password=pw RemotePath=/ LastIP=10.77.1.1 \
    AddressSource=Interface AddressInterface=spbench0 PublishPrivate=1 >/dev/null

"$cli" monitor >"$work/monitor.out" 2>"$work/monitor.err" &
monitor_pid=$!
sleep 2  # the start, and its first question, are not part of any change

count() { grep -c "$1" "$2" || true; }
# As a renewal that moves to another network: the new address first, then the old one goes.
move() {
    ip addr add "10.77.$2.1/24" dev spbench0
    ip addr del "10.77.$1.1/24" dev spbench0
}
move 1 2
current=2
times=()
for ((i = 1; i <= changes; i++)); do
    # The upload of the current address waits for the greeting.
    until (($(count accepted "$work/server.out") >= i)); do sleep 0.05; done
    sleep 0.3
    next=$((current % 200 + 2))
    start=${EPOCHREALTIME/[.,]/}
    move "$current" "$next"
    bench_wait_for "$work/monitor.out" "$start" "change $i did not abandon the upload" \
        "changed to 10.77.$next.1 during the upload"
    end=${EPOCHREALTIME/[.,]/}
    times+=($((end - start)))
    current=$next
done
median=$(bench_median "${times[@]}")
worst=$(printf '%s\n' "${times[@]}" | sort -n | tail -n 1)
awk -v m="$median" -v w="$worst" -v n="$changes" 'BEGIN {
    printf "change to abandon: %d stalled uploads, median %.1f ms (goal < 100 ms), worst %.1f ms\n", n, m / 1000, w / 1000 }'
