#!/usr/bin/env bash
# Address events against the tick (Release build), in a private network namespace of its own:
#   1. change to page: a veth pair, `signposter-cli monitor` with the interface source and a local
#      pyftpdlib server; CHANGES address changes by `ip addr`; the time from each change to the complete
#      page on the server (goal: median under 10 ms, worst under 15 ms);
#   2. idle cost: the same monitor left alone for DURATION seconds; processor time per hour (goal: under
#      0.05 s).
#   With FAMILY Both, the interface also carries IPv6 addresses (one set by hand, a stable SLAAC one and
#   its temporary ones), the settings say AddressFamily=Both, and the changes are of the IPv6 address.
#   With VS naming another tree (an older build), its monitor watches the same changes beside ours and
#   publishes to a server of its own: both are timed on the same changes under the same load.
# Usage: [BUILD=build/release] bench/address_event_latency.sh [CHANGES] [DURATION] [IPv4|Both]
#   (needs root, or a user namespace; BUILD: another tree's programs, as they are)
set -euo pipefail
cd "$(dirname "$0")/.."
changes="${1:-20}"
duration="${2:-60}"
family="${3:-IPv4}"
bench=address_event_latency
source bench/lib.sh
bench_in_private_network "$@"
if [[ "$family" == Both ]]; then
    echo 2 >/proc/sys/net/ipv6/conf/spbench0/use_tempaddr
    echo 0 >/proc/sys/net/ipv6/conf/spbench0/accept_dad
    ip -6 addr add 2a02:1:2:1::1/64 dev spbench0
    ip -6 addr add 2a02:1:3::20/64 dev spbench0 mngtmpaddr
fi
mkdir -p "$work/root"
/usr/bin/python3 tests/ftp/pyftpdlib_server.py bench pw "$work/root" >"$work/port" 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 50); do [[ -s "$work/port" ]] && break; sleep 0.1; done
port=$(head -n 1 "$work/port")
"$cli" set Host=127.0.0.1 "Port=$port" User=bench Password=pw RemotePath=/ LastIP=10.77.1.1 \
    AddressSource=Interface AddressInterface=spbench0 PublishPrivate=1 >/dev/null
[[ "$family" == Both ]] && "$cli" set AddressFamily=Both >/dev/null

"$cli" monitor --verbose >"$work/monitor.out" 2>"$work/monitor.err" &
monitor_pid=$!
pages=("$work/root/ipaddress.htm")
if [[ -n "${VS:-}" ]]; then
    other="$work/other"
    mkdir -p "$other/root"
    /usr/bin/python3 tests/ftp/pyftpdlib_server.py bench pw "$other/root" >"$other/port" 2>"$other/server.log" &
    bench_pids+=($!)
    for _ in $(seq 50); do [[ -s "$other/port" ]] && break; sleep 0.1; done
    other_cli="$(cd "$VS" && pwd)/app/signposter-cli"
    XDG_CONFIG_HOME="$other/config" "$other_cli" set Host=127.0.0.1 "Port=$(head -n 1 "$other/port")" \
        User=bench Password=pw RemotePath=/ LastIP=10.77.1.1 AddressSource=Interface \
        AddressInterface=spbench0 PublishPrivate=1 >/dev/null
    [[ "$family" == Both ]] && XDG_CONFIG_HOME="$other/config" "$other_cli" set AddressFamily=Both >/dev/null
    XDG_CONFIG_HOME="$other/config" "$other_cli" monitor >"$other/monitor.out" 2>"$other/monitor.err" &
    bench_pids+=($!)
    pages+=("$other/root/ipaddress.htm")
fi
sleep 2  # the start, and its first question, are not part of any change

# Waits until every page names EXPECTED and is whole (at most 5 s after START), polling all of them in
# one loop so that each one's time is its own; the times go into `finished`.
wait_pages() {
    local start=$1 expected=$2 content k left
    finished=()
    for k in "${!pages[@]}"; do finished[k]=0; done
    for (( ; ; )); do
        left=0
        for k in "${!pages[@]}"; do
            ((finished[k] == 0)) || continue
            content=
            [[ -f "${pages[k]}" ]] && IFS= read -r -d '' content <"${pages[k]}" || true
            if [[ "$content" == *"$expected"*"</html>"* ]]; then
                finished[k]=${EPOCHREALTIME/[.,]/}
            else
                left=1
            fi
        done
        ((left)) || return 0
        if ((${EPOCHREALTIME/[.,]/} - start > 5000000)); then
            echo "$bench: change $i not published within 5 s" >&2
            cat "$work/monitor.out" "$work/monitor.err" >&2
            exit 1
        fi
        read -r -t 0.002 -u 9 || true
    done
}

# Each change replaces the address and times until the page on the server names it. The publisher
# writes a temporary name and renames it, so a page under the final name is complete.
times=()
other_times=()
current=1
for ((i = 0; i < changes; i++)); do
    next=$((current % 200 + 2))
    start=${EPOCHREALTIME/[.,]/}
    # As a renewal that moves to another network: the new address first, then the old one goes (another
    # subnet, so that the old primary address does not take the new one with it).
    if [[ "$family" == Both ]]; then
        ip -6 addr add "2a02:1:2:$next::1/64" dev spbench0
        ip -6 addr del "2a02:1:2:$current::1/64" dev spbench0
        expected="[2a02:1:2:$next::1]"
    else
        ip addr add "10.77.$next.1/24" dev spbench0
        ip addr del "10.77.$current.1/24" dev spbench0
        expected="10.77.$next.1\""
    fi
    # The page is uploaded under its own name: complete once its last line is there.
    wait_pages "$start" "$expected"
    times+=($((finished[0] - start)))
    [[ -z "${VS:-}" ]] || other_times+=($((finished[1] - start)))
    current=$next
    sleep 0.3  # changes apart, as real ones are
done
median=$(bench_median "${times[@]}")
worst=$(printf '%s\n' "${times[@]}" | sort -n | tail -n 1)
awk -v m="$median" -v w="$worst" -v n="$changes" 'BEGIN {
    printf "change to page: %d changes, median %.1f ms (goal < 10 ms), worst %.1f ms (goal < 15 ms)\n", n, m / 1000, w / 1000 }'
if [[ -n "${VS:-}" ]]; then
    median=$(bench_median "${other_times[@]}")
    worst=$(printf '%s\n' "${other_times[@]}" | sort -n | tail -n 1)
    awk -v m="$median" -v w="$worst" -v b="$VS" 'BEGIN {
        printf "beside it, %s: median %.1f ms, worst %.1f ms\n", b, m / 1000, w / 1000 }'
fi
grep -c " event: " "$work/monitor.out" | awk '{ printf "events acted on: %d\n", $1 }'

sleep 1
read -r start_ns _ </proc/$monitor_pid/schedstat
sleep "$duration"
read -r cpu_ns _ </proc/$monitor_pid/schedstat
awk -v s0="$start_ns" -v ns="$cpu_ns" -v d="$duration" -v f="$family" 'BEGIN {
    cpu = (ns - s0) / 1e9
    printf "idle monitor, interface source, family " f ": %.4f s processor time over %d s = %.3f s per hour (goal < 0.05 s)\n",
        cpu, d, cpu * 3600 / d }'
