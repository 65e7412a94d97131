#!/usr/bin/env bash
# An SFTP publication against OpenSSH's own client:
#   1. `signposter-cli upload` of a 2 KB page (connect, key exchange, pinned host key, key login, write
#      under a temporary name, rename over the page) against `sftp -b` putting the same page with the same
#      key, both to one local sshd; alternated runs, the medians and their ratio (goal: ours <= 0.9 of
#      theirs);
#   2. the headless monitor with SFTP configured: `signposter-cli monitor` publishes once to the same
#      sshd; its peak resident memory.
# sshd runs unprivileged as the calling user, with host and user keys made for the run.
#
# Usage: bench/sftp_upload_vs_sftp.sh [BUILD_DIR] [RUNS]
#   BUILD_DIR  a Release build holding app/signposter-cli (default build/release)
#   RUNS       timed runs of each program (default 30)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench=sftp_upload_vs_sftp
# shellcheck source=bench/lib.sh
source "$root/bench/lib.sh"
build=${1:-$root/build/release}
runs=${2:-30}
cli=$build/app/signposter-cli

for tool in /usr/sbin/sshd ssh-keygen sftp; do
    command -v "$tool" >/dev/null || { echo "$bench: $tool is not installed (openssh-server, openssh-client)" >&2; exit 2; }
done
if [[ ! -x $cli ]]; then
    echo "$bench: $cli not found; build Release first" >&2
    exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/sp-sftp-bench-XXXXXX")
sshd_pid=
monitor_pid=
cleanup() {
    for pid in $monitor_pid $sshd_pid; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/root" "$work/config" "$work/tmp"
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/user_key"
cp "$work/user_key.pub" "$work/authorized_keys"
user=$(id -un)
port=$((40000 + RANDOM % 20000))
cat >"$work/sshd_config" <<CONFIG
Port $port
ListenAddress 127.0.0.1
HostKey $work/host_key
PidFile none
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
PubkeyAuthentication yes
PermitRootLogin prohibit-password
AuthorizedKeysFile $work/authorized_keys
StrictModes no
LogLevel ERROR
MaxStartups 100
Subsystem sftp internal-sftp -d $work/root
CONFIG
mkdir -p /run/sshd 2>/dev/null || true
/usr/sbin/sshd -D -e -f "$work/sshd_config" 2>"$work/sshd.log" &
sshd_pid=$!
bench_wait_port "$port" || { echo "$bench: sshd did not start:" >&2; cat "$work/sshd.log" >&2; exit 1; }

fingerprint=$(ssh-keygen -l -E sha256 -f "$work/host_key.pub" | awk '{print $2}')
echo "[127.0.0.1]:$port $(cut -d' ' -f1-2 "$work/host_key.pub")" >"$work/known_hosts"
page=$work/page.htm
bench_page "$page"
echo "put $page theirs.htm" >"$work/batch"

export XDG_CONFIG_HOME=$work/config TMPDIR=$work/tmp
"$cli" set Host=127.0.0.1 "Port=$port" "User=$user" Password= RemotePath=/ LastIP=192.0.2.99 \
    Protocol=SFTP "SshHostKey=$fingerprint" "SshKeyFile=$work/user_key" >/dev/null

ours() { SSH_AUTH_SOCK= "$cli" upload "$page" ours.htm; }
theirs() {
    SSH_AUTH_SOCK= sftp -q -b "$work/batch" -i "$work/user_key" -P "$port" -o BatchMode=yes \
        -o IdentitiesOnly=yes -o StrictHostKeyChecking=yes -o "UserKnownHostsFile=$work/known_hosts" \
        -o GlobalKnownHostsFile=/dev/null -F /dev/null "$user@127.0.0.1" >/dev/null
}

# One untimed run each: the page cache and the server's first-connection work.
ours
theirs

ours_times=()
sftp_times=()
bench_alternate ours theirs ours_times sftp_times "$runs"

cmp -s "$page" "$work/root/ours.htm" || { echo "$bench: our copy differs" >&2; exit 1; }
cmp -s "$page" "$work/root/theirs.htm" || { echo "$bench: sftp's copy differs" >&2; exit 1; }

ours_median=$(bench_median "${ours_times[@]}")
sftp_median=$(bench_median "${sftp_times[@]}")
awk -v runs="$runs" -v o="$ours_median" -v c="$sftp_median" 'BEGIN {
    printf "runs each:               %d (alternated, 2048-byte page, sshd on 127.0.0.1, ed25519 key)\n", runs
    printf "signposter-cli upload:   median %.2f ms\n", o / 1000
    printf "sftp -b:                 median %.2f ms\n", c / 1000
    printf "ratio (ours / sftp):     %.3f %s\n", o / c, (o <= 0.9 * c ? "(goal <= 0.9 met)" : "(goal <= 0.9 not met)")
}'

# The monitor publishes the machine's address once (LastIP differs from it), then only watches.
SSH_AUTH_SOCK= "$cli" monitor >/dev/null 2>"$work/monitor.log" &
monitor_pid=$!
for _ in $(seq 100); do
    [[ -s $work/root/ipaddress.htm ]] && break
    sleep 0.1
done
[[ -s $work/root/ipaddress.htm ]] || { echo "$bench: the monitor did not publish:" >&2; cat "$work/monitor.log" >&2; exit 1; }
sleep 2
rss_kb=$(awk '/VmHWM/ {print $2}' "/proc/$monitor_pid/status")
now_kb=$(awk '/VmRSS/ {print $2}' "/proc/$monitor_pid/status")
echo "monitor with SFTP:       peak RSS ${rss_kb} KB after one SFTP publication; ${now_kb} KB now"
