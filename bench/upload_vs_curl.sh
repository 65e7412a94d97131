#!/usr/bin/env bash
# The time of one publication-sized upload (connect, log in, store a 2 KB page, close) by
# `signposter-cli upload` against `curl -T` of the same file to the same local pyftpdlib server.
# The two alternate (and swap which goes first every round) so that drift in the machine's load hits both
# alike; the medians and their ratio are reported. Target: our median no slower than curl's.
#
# Usage: bench/upload_vs_curl.sh [BUILD_DIR] [RUNS] [HOST]
#   BUILD_DIR  a Release build holding app/signposter-cli (default build/release:
#              cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release && cmake --build build/release)
#   RUNS       timed runs of each program (default 30, at least 30 for a report)
#   HOST       127.0.0.1 (default), or ::1 for the upload over IPv6 (EPSV), with AddressFamily=IPv6
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench=upload_vs_curl
# shellcheck source=bench/lib.sh
source "$root/bench/lib.sh"
build=${1:-$root/build/release}
runs=${2:-30}
host=${3:-127.0.0.1}
url_host=$host
family=()
if [[ $host == *:* ]]; then
    url_host="[$host]"
    family=(AddressFamily=IPv6)
fi
cli=$build/app/signposter-cli

if [[ ! -x $cli ]]; then
    echo "upload_vs_curl: $cli not found; build Release first" >&2
    exit 2
fi
if ! command -v curl >/dev/null; then
    echo "upload_vs_curl: curl is not installed" >&2
    exit 2
fi
if grep -q 'CMAKE_BUILD_TYPE:STRING=Debug' "$build/CMakeCache.txt" 2>/dev/null; then
    echo "upload_vs_curl: warning: $build is a Debug build; figures will not be representative" >&2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/sp-upload-bench-XXXXXX")
server_pid=
cleanup() {
    if [[ -n $server_pid ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/root" "$work/config"
user=bench
password='bench pw'
/usr/bin/python3 "$root/tests/ftp/pyftpdlib_server.py" "--host=$host" "$user" "$password" "$work/root" \
    >"$work/port" 2>"$work/server.log" &
server_pid=$!
for _ in $(seq 100); do
    [[ -s $work/port ]] && break
    sleep 0.1
done
port=$(head -n1 "$work/port")
if [[ -z $port ]]; then
    echo "upload_vs_curl: pyftpdlib did not start:" >&2
    cat "$work/server.log" >&2
    exit 1
fi

page=$work/page.htm
bench_page "$page"

export XDG_CONFIG_HOME=$work/config
"$cli" set "Host=$host" "Port=$port" "User=$user" "Password=$password" Passive=1 "${family[@]}" >/dev/null

ours() { "$cli" upload "$page" ours.htm; }
theirs() { curl -q -g -s -S --user "$user:$password" -T "$page" "ftp://$url_host:$port/curl.htm"; }

# One untimed run each: the page cache and the server's first-connection work.
ours
theirs

ours_times=()
curl_times=()
bench_alternate ours theirs ours_times curl_times "$runs"

cmp -s "$page" "$work/root/curl.htm" || { echo "upload_vs_curl: curl's copy differs" >&2; exit 1; }
# pyftpdlib stores ASCII uploads with LF line ends; compare without CR.
cmp -s <(tr -d '\r' <"$page") <(tr -d '\r' <"$work/root/ours.htm") || {
    echo "upload_vs_curl: our copy differs" >&2
    exit 1
}

ours_median=$(bench_median "${ours_times[@]}")
curl_median=$(bench_median "${curl_times[@]}")

awk -v runs="$runs" -v h="$host" -v o="$ours_median" -v c="$curl_median" 'BEGIN {
    printf "runs each:               %d (alternated, 2048-byte page, pyftpdlib on %s)\n", runs, h
    printf "signposter-cli upload:   median %.2f ms\n", o / 1000
    printf "curl -T:                 median %.2f ms\n", c / 1000
    printf "ratio (ours / curl):     %.3f %s\n", o / c, (o <= c ? "(target met)" : "(slower than curl)")
}'
