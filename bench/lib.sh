# Shared by the benchmark scripts (sourced): a publication-sized page, waiting for a local server, timing
# alternated runs and their medians. Each script sets `bench` to its own name for the error messages.

# A page of the size the publisher uploads (2048 bytes), with the CR LF line ends it writes.
bench_page() {
    : >"$1"
    while (($(stat -c %s "$1") < 2048)); do
        printf '<p>This machine is now at 192.0.2.7; follow the link if not redirected.</p>\r\n' >>"$1"
    done
    truncate -s 2048 "$1"
}

# Waits (at most 5 s) until something accepts connections on 127.0.0.1:PORT.
bench_wait_port() {
    for _ in $(seq 50); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# Microseconds taken by one run of a function; a failed run ends the benchmark.
bench_time_us() {
    local start=${EPOCHREALTIME/[.,]/} end
    if ! "$1"; then
        echo "$bench: $1 failed" >&2
        exit 1
    fi
    end=${EPOCHREALTIME/[.,]/}
    echo $((end - start))
}

# bench_alternate A B TIMES_A TIMES_B RUNS: RUNS timed runs of each function, swapping which goes first
# every round so that drift in the machine's load hits both alike; the times go into the named arrays.
bench_alternate() {
    local first=$1 second=$2 runs=$5 i
    local -n first_times=$3 second_times=$4
    for ((i = 0; i < runs; i++)); do
        if ((i % 2 == 0)); then
            first_times+=("$(bench_time_us "$first")")
            second_times+=("$(bench_time_us "$second")")
        else
            second_times+=("$(bench_time_us "$second")")
            first_times+=("$(bench_time_us "$first")")
        fi
    done
}

bench_median() {
    printf '%s\n' "$@" | sort -n |
        awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

# For the address-event benchmarks: builds the Release signposter-cli (and whatever else `bench_targets`
# names), or takes the programs of the tree BUILD names as they are; then runs the calling script again
# (with its arguments) in a private network namespace, where it finds `cli`, a veth pair spbench0/spbench1
# with 10.77.1.1/24 on spbench0, a `work` folder that holds the settings and the page, and a cleanup on exit
# that stops `monitor_pid`, `server_pid` and `bench_pids` (set by the script) and removes the folder.
bench_in_private_network() {
    if [[ "${SIGNPOSTER_BENCH_INSIDE:-}" != 1 ]]; then
        if [[ -z "${BUILD:-}" ]]; then
            cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DSIGNPOSTER_BUILD_TESTS=OFF >/dev/null
            # shellcheck disable=SC2086 # a list of targets
            cmake --build build/release --target ${bench_targets:-signposter-cli} >/dev/null
        fi
        exec env SIGNPOSTER_BENCH_INSIDE=1 unshare -n "$0" "$@"
    fi
    cli="$(cd "${BUILD:-build/release}" && pwd)/app/signposter-cli"
    ip link set lo up
    ip link add spbench0 type veth peer name spbench1
    ip link set spbench1 up
    ip link set spbench0 up
    ip addr add 10.77.1.1/24 dev spbench0
    work=$(mktemp -d /tmp/signposter-bench.XXXXXX)
    server_pid=
    monitor_pid=
    bench_pids=()
    trap bench_cleanup EXIT
    export XDG_CONFIG_HOME="$work/config" TMPDIR="$work"
    # Descriptor 9: a FIFO nobody writes, whose read time-out is a pause without a fork.
    mkfifo "$work/pause"
    exec 9<>"$work/pause"
}

# bench_wait_for FILE START WHAT TEXT [LATER_TEXT]: waits until FILE holds TEXT (and LATER_TEXT after it),
# at most 5 s after START (microseconds, from EPOCHREALTIME); otherwise ends the benchmark saying WHAT did
# not happen, with the monitor's output. Reads with builtins only: a forked grep every few milliseconds
# would be most of what is measured.
bench_wait_for() {
    local file=$1 start=$2 what=$3 text=$4 later=${5:-} content=
    until [[ "$content" == *"$text"*"$later"* ]]; do
        [[ -f "$file" ]] && IFS= read -r -d '' content <"$file" || true
        if ((${EPOCHREALTIME/[.,]/} - start > 5000000)); then
            echo "$bench: $what within 5 s" >&2
            cat "$work/monitor.out" "$work/monitor.err" >&2
            exit 1
        fi
        read -r -t 0.002 -u 9 || true
    done
}

bench_cleanup() {
    # A server ended by its signal reports it: that is no failure of the benchmark.
    [[ -n "$monitor_pid" ]] && kill -INT "$monitor_pid" 2>/dev/null && wait "$monitor_pid" 2>/dev/null || true
    [[ -n "$server_pid" ]] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null || true
    local pid
    for pid in "${bench_pids[@]}"; do
        kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
