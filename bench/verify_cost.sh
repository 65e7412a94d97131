#!/usr/bin/env bash
# What verification adds to a publication: `signposter-cli publish` against a local pyftpdlib server, with
# VerifyURL pointing at a local web server that serves the FTP root, and without it. The two alternate
# (swapping which goes first every round) so that drift in the machine's load hits both alike; the medians
# and their difference are reported. Target: verification adds under 50 ms.
#
# Usage: bench/verify_cost.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR  a Release build holding app/signposter-cli (default build/release)
#   RUNS       timed publications of each kind (default 30)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=bench/lib.sh
source "$root/bench/lib.sh"
build=${1:-$root/build/release}
runs=${2:-30}
cli=$build/app/signposter-cli

if [[ ! -x $cli ]]; then
    echo "verify_cost: $cli not found; build Release first" >&2
    exit 2
fi
if grep -q 'CMAKE_BUILD_TYPE:STRING=Debug' "$build/CMakeCache.txt" 2>/dev/null; then
    echo "verify_cost: warning: $build is a Debug build; figures will not be representative" >&2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/sp-verify-bench-XXXXXX")
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/root" "$work/config" "$work/tmp"
user=bench
password='bench pw'
/usr/bin/python3 "$root/tests/ftp/pyftpdlib_server.py" "$user" "$password" "$work/root" \
    >"$work/port" 2>"$work/server.log" &
pids+=($!)
for _ in $(seq 100); do
    [[ -s $work/port ]] && break
    sleep 0.1
done
port=$(head -n1 "$work/port")
[[ -n $port ]] || { echo "verify_cost: pyftpdlib did not start" >&2; exit 1; }

# The web server's port: one the system hands out, free again at once.
web_port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
/usr/bin/python3 -m http.server "$web_port" --bind 127.0.0.1 --directory "$work/root" >"$work/web.log" 2>&1 &
pids+=($!)
bench_wait_port "$web_port" || { echo "verify_cost: the web server did not start" >&2; exit 1; }

export XDG_CONFIG_HOME=$work/config TMPDIR=$work/tmp
"$cli" set Host=127.0.0.1 "Port=$port" "User=$user" "Password=$password" RemotePath=/ LastIP=192.0.2.7 \
    IgnoreIP=127.0.0.1 >/dev/null
url=http://127.0.0.1:$web_port/ipaddress.htm

plain() { "$cli" set VerifyURL= >/dev/null && publish; }
verified() { "$cli" set "VerifyURL=$url" >/dev/null && publish; }
publish() {
    local start=${EPOCHREALTIME/[.,]/} end
    if ! "$cli" publish >"$work/out" 2>&1; then
        echo "verify_cost: publish failed: $(cat "$work/out")" >&2
        exit 1
    fi
    end=${EPOCHREALTIME/[.,]/}
    echo $((end - start))
}

# One untimed run each: the page cache and the servers' first-connection work.
plain >/dev/null
verified >/dev/null
grep -q "published and verified" "$work/out" || { echo "verify_cost: not verified: $(cat "$work/out")" >&2; exit 1; }

plain_times=()
verified_times=()
for ((i = 0; i < runs; i++)); do
    if ((i % 2 == 0)); then
        plain_times+=("$(plain)")
        verified_times+=("$(verified)")
    else
        verified_times+=("$(verified)")
        plain_times+=("$(plain)")
    fi
done

p=$(bench_median "${plain_times[@]}")
v=$(bench_median "${verified_times[@]}")
printf 'publish without VerifyURL: median %.1f ms (%d runs)\n' "$(echo "$p / 1000" | bc -l)" "$runs"
printf 'publish with VerifyURL:    median %.1f ms (%d runs)\n' "$(echo "$v / 1000" | bc -l)" "$runs"
printf 'verification adds:         %.1f ms (target: under 50 ms)\n' "$(echo "($v - $p) / 1000" | bc -l)"

# Peak resident memory of one publication of each kind (GNU time's maximum resident set size, in KiB).
peak() { /usr/bin/time -f %M -o "$work/rss" "$cli" publish >/dev/null 2>&1 && cat "$work/rss"; }
"$cli" set VerifyURL= >/dev/null
plain_peak=$(peak)
"$cli" set "VerifyURL=$url" >/dev/null
verified_peak=$(peak)
printf 'peak resident memory:      %d KiB without VerifyURL, %d KiB with it\n' "$plain_peak" "$verified_peak"
