#!/usr/bin/env bash
# Live capture against the rate the link can carry: a veth pair between two
# network namespaces of its own (offloads off, RPS on), an HTTP server in one
# and kept-alive clients in the other asking for a set rate of image bodies.
# For each rate of a sweep it runs the step twice, once with the whole engine
# capturing on the clients' end of the link and once with
# "tcpdump -w /dev/null" there instead, and prints a line:
#
#   MiB/s offered, MiB/s fetched, bodies kept byte-exact / fetched,
#   packets the engine's capture dropped (libpcap's counts: kernel buffer +
#   interface), packets tcpdump dropped (kernel)
#
#   bash bench/live.sh [large | small | both]        (as root; default both)
#
# large: bodies of 1 to 4 MiB; small: bodies of 5 to 50 kB. Settings from the
# environment: CLIENTS (8), STEP_SECONDS (3), LARGE_RATES and SMALL_RATES
# (MiB/s, see below), BUILD (build-bench), BENCH_DIR (where kept files go,
# default /dev/shm). tcpdump gets the engine's kernel buffer (32 MiB) and
# snapshot length. Only the addresses 10.213.0.1 and 10.213.0.2, inside the
# namespaces it makes; every step is bounded in time, and the namespaces and
# everything it started are removed at the end, also when interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" = 0 ] || { echo "live.sh needs root (network namespaces)" >&2; exit 1; }
for tool in ip ethtool tcpdump; do
  command -v "$tool" >/dev/null || { echo "live.sh needs $tool (apt-get install iproute2 ethtool tcpdump)" >&2; exit 1; }
done

classes=${1:-both}
clients=${CLIENTS:-8}
step_seconds=${STEP_SECONDS:-3}
large_rates=${LARGE_RATES:-"100 200 300 400 500 600 700 800"}
small_rates=${SMALL_RATES:-"25 50 75 100 150 200 300"}
build=${BUILD:-build-bench}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENDRAX_ENGINE_ONLY=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target live_bench >/dev/null
bin=$(realpath "$build/bench/live_bench")

bench_dir=${BENCH_DIR:-/dev/shm}
[ -d "$bench_dir" ] && [ -w "$bench_dir" ] || bench_dir=${TMPDIR:-/tmp}
work=$(mktemp -d -p "$bench_dir" vendrax-live-XXXXXX)
server_ns=vxlive-srv-$$
client_ns=vxlive-cli-$$
server_address=10.213.0.1
client_address=10.213.0.2
started=()

cleanup() {
  # Each is a `timeout`, which passes the signal on to its command.
  for pid in "${started[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  ip netns del "$server_ns" 2>/dev/null || true
  ip netns del "$client_ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Not for commands sent to the background: `ip netns exec` itself must be
# the background process, so that its id is the command's own.
in_server() { ip netns exec "$server_ns" "$@"; }
in_client() { ip netns exec "$client_ns" "$@"; }

ip netns add "$server_ns"
ip netns add "$client_ns"
ip link add vxs-$$ type veth peer name vxc-$$
ip link set vxs-$$ netns "$server_ns" name veth-srv
ip link set vxc-$$ netns "$client_ns" name veth-cli
in_server ip addr add "$server_address/24" dev veth-srv
in_client ip addr add "$client_address/24" dev veth-cli
all_cpus=$(printf '%x' $(((1 << $(nproc)) - 1)))
for side in server client; do
  dev=veth-cli
  [ "$side" = server ] && dev=veth-srv
  run="in_$side"
  $run ip link set lo up
  $run ip link set "$dev" up
  # Segments as they go on a wire: no segmentation or receive offloads, no
  # checksum offloads. Received packets are spread over every core.
  $run ethtool -K "$dev" rx off tx off tso off gso off gro off >/dev/null 2>&1 ||
    echo "note: not every offload of $dev could be switched off"
  $run sh -c "echo $all_cpus > /sys/class/net/$dev/queues/rx-0/rps_cpus"
  [ -z "${LIVE_DEBUG:-}" ] || echo "  rps of $dev: $($run cat /sys/class/net/$dev/queues/rx-0/rps_cpus)" >&2
done

wait_for() {  # word, file: until the file holds the word, 10 s at most
  for _ in $(seq 100); do
    grep -q "$1" "$2" 2>/dev/null && return
    sleep 0.1
  done
}

ip netns exec "$server_ns" timeout 3600 "$bin" serve "$server_address" 80 >"$work/server.txt" 2>&1 &
started+=($!)
wait_for serving "$work/server.txt"

value() {  # key, text: the number after "key="
  sed -n "s/.*\b$1=\([0-9.]*\).*/\1/p" <<<"$2" | tail -n 1
}

# Starts `command...` in the clients' namespace with its output in `file`,
# waits until it prints `word` and a second more (libpcap opens the device
# after that), fetches `rate` MiB/s of bodies of `low` to `high` bytes (the
# result line into $fetched, the list of bodies into $work/list.txt), lets
# the capture take what the kernel buffer still holds, then ends it.
capture_a_fetch() {  # word, file, rate, low, high, command...
  local word=$1 file=$2 rate=$3 low=$4 high=$5
  shift 5
  ip netns exec "$client_ns" timeout $((step_seconds + 120)) "$@" >"$file" 2>&1 &
  local pid=$!
  started+=("$pid")
  wait_for "$word" "$file"
  sleep 1
  fetched=$(in_client timeout $((step_seconds + 60)) "$bin" fetch "$server_address" 80 "$clients" "$rate" \
    "$step_seconds" "$low" "$high" "$work/list.txt")
  sleep 2
  kill -INT "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

step() {  # class, rate, low, high
  local class=$1 rate=$2 low=$3 high=$4 fetched
  # The engine, then tcpdump on the same link at the same rate.
  local out=$work/kept
  rm -rf "$out"
  mkdir -p "$out"
  capture_a_fetch ready "$work/capture.txt" "$rate" "$low" "$high" "$bin" capture veth-cli "$out"
  local engine_fetch=$fetched capture_line check_line
  capture_line=$(tail -n 1 "$work/capture.txt")
  [ -z "${LIVE_DEBUG:-}" ] || echo "  $capture_line" >&2
  check_line=$("$bin" check "$out" "$work/list.txt")
  rm -rf "$out"
  capture_a_fetch listening "$work/tcpdump.txt" "$rate" "$low" "$high" \
    tcpdump -i veth-cli -n -B 32768 -s 262144 -w /dev/null 'tcp port 80'
  local dump_drops
  dump_drops=$(sed -n 's/^\([0-9]*\) packets\{0,1\} dropped by kernel.*/\1/p' "$work/tcpdump.txt")

  local drops=$(($(value dropped "$capture_line") + $(value interface_dropped "$capture_line")))
  printf '%-6s %8s %8s %8s %15s %12s %10s %10s\n' "$class" "$rate" "$(value mib_per_s "$engine_fetch")" \
    "$(value mib_per_s "$fetched")" "$(value kept_exact "$check_line")/$(value fetched "$check_line")" \
    "$drops" "${dump_drops:-?}" "$(value received "$capture_line")"
}

echo "cores: $(nproc), load: $(cut -d' ' -f1-3 /proc/loadavg), clients: $clients, $step_seconds s a step, kept files on $(stat -f -c %T "$work")"
printf '%-6s %8s %8s %8s %15s %12s %10s %10s\n' class offered fetched fetched "kept/fetched" "engine" "tcpdump" "engine"
printf '%-6s %8s %8s %8s %15s %12s %10s %10s\n' "" "MiB/s" "MiB/s" "(tcpdump)" "(byte-exact)" "dropped" "dropped" "received"
if [ "$classes" = large ] || [ "$classes" = both ]; then
  for rate in $large_rates; do
    step large "$rate" 1048576 4194304
  done
fi
if [ "$classes" = small ] || [ "$classes" = both ]; then
  for rate in $small_rates; do
    step small "$rate" 5000 50000
  done
fi
