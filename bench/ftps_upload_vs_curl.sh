#!/usr/bin/env bash
# The time of one publication-sized FTPS upload (connect, AUTH TLS, log in, PBSZ/PROT, store a 2 KB page
# over a TLS data connection that resumes the control connection's session, close) by
# `signposter-cli upload` against `curl --ssl-reqd --cacert` of the same file to the same local vsftpd,
# which requires TLS for the login and the data. The two alternate (and swap which goes first every
# round); the medians and their ratio are reported. Target: our median no slower than curl's.
#
# Usage: bench/ftps_upload_vs_curl.sh [BUILD_DIR] [RUNS]      (as root: vsftpd needs a local user)
#   BUILD_DIR  a Release build holding app/signposter-cli (default build/release)
#   RUNS       timed runs of each program (default 30, at least 30 for a report)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench=ftps_upload_vs_curl
# shellcheck source=bench/lib.sh
source "$root/bench/lib.sh"
build=${1:-$root/build/release}
runs=${2:-30}
cli=$build/app/signposter-cli
user=spftpbench
password='bench-pw-7'

fail() {
    echo "ftps_upload_vs_curl: $*" >&2
    exit 2
}
[[ -x $cli ]] || fail "$cli not found; build Release first"
[[ $(id -u) -eq 0 ]] || fail "run as root: vsftpd needs a local system user"
command -v curl >/dev/null || fail "curl is not installed"
[[ -x /usr/sbin/vsftpd ]] || fail "vsftpd is not installed (bash scripts/setup)"
if grep -q 'CMAKE_BUILD_TYPE:STRING=Debug' "$build/CMakeCache.txt" 2>/dev/null; then
    echo "ftps_upload_vs_curl: warning: $build is a Debug build; figures will not be representative" >&2
fi

work=$(mktemp -d /tmp/sp-ftps-bench-XXXXXX)
server_pid=
cleanup() {
    if [[ -n $server_pid ]]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

getent passwd "$user" >/dev/null || useradd --no-create-home --shell /bin/sh "$user"
echo "$user:$password" | chpasswd
home=$(getent passwd "$user" | cut -d: -f6)
mkdir -p "$home" /var/run/vsftpd/empty "$work/root" "$work/config"
chmod 0755 "$work"
chown "$user:" "$work/root"

openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
    -subj "/CN=127.0.0.1" -addext "subjectAltName=IP:127.0.0.1" 2>/dev/null

port=$((40000 + RANDOM % 10000))
pasv=$((port + 1))
cat >"$work/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
local_root=$work/root
pam_service_name=vsftpd
secure_chroot_dir=/var/run/vsftpd/empty
seccomp_sandbox=NO
pasv_enable=YES
pasv_min_port=$pasv
pasv_max_port=$((pasv + 9))
pasv_address=127.0.0.1
delay_failed_login=0
ssl_enable=YES
allow_anon_ssl=NO
force_local_logins_ssl=YES
force_local_data_ssl=YES
ssl_tlsv1=YES
ssl_sslv2=NO
ssl_sslv3=NO
require_ssl_reuse=YES
rsa_cert_file=$work/cert.pem
rsa_private_key_file=$work/key.pem
EOF
/usr/sbin/vsftpd "$work/vsftpd.conf" >"$work/server.log" 2>&1 &
server_pid=$!
bench_wait_port "$port" || fail "vsftpd did not start: $(cat "$work/server.log")"

page=$work/page.htm
bench_page "$page"

export XDG_CONFIG_HOME=$work/config TMPDIR=$work
"$cli" set Host=127.0.0.1 "Port=$port" "User=$user" "Password=$password" Passive=1 FtpSecurity=ExplicitTLS \
    "TlsTrustFile=$work/cert.pem" >/dev/null

ours() { "$cli" upload "$page" ours.htm; }
theirs() {
    curl -q -s -S --ssl-reqd --cacert "$work/cert.pem" --user "$user:$password" -T "$page" \
        "ftp://127.0.0.1:$port/curl.htm"
}

ours
theirs

ours_times=()
curl_times=()
bench_alternate ours theirs ours_times curl_times "$runs"

# vsftpd stores bytes unchanged (its ASCII conversion is off), so both copies must equal the page.
cmp -s "$page" "$work/root/curl.htm" || { echo "ftps_upload_vs_curl: curl's copy differs" >&2; exit 1; }
cmp -s "$page" "$work/root/ours.htm" || { echo "ftps_upload_vs_curl: our copy differs" >&2; exit 1; }

ours_median=$(bench_median "${ours_times[@]}")
curl_median=$(bench_median "${curl_times[@]}")

awk -v runs="$runs" -v o="$ours_median" -v c="$curl_median" 'BEGIN {
    printf "runs each:                    %d (alternated, 2048-byte page, vsftpd with TLS on 127.0.0.1)\n", runs
    printf "signposter-cli upload (FTPS): median %.2f ms\n", o / 1000
    printf "curl --ssl-reqd -T:           median %.2f ms\n", c / 1000
    printf "ratio (ours / curl):          %.3f %s\n", o / c, (o <= c ? "(target met)" : "(slower than curl)")
}'
