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
#   bash bench/live.sh [large | small | both | burst]   (as root; default both)
#
# large: bodies of 1 to 4 MiB; small: bodies of 5 to 50 kB. burst: BURSTS
# (10) rounds of BURST_CONNECTIONS (50) new connections at once, each for one
# body of 1 to 4 MiB (a page that starts many short videos), one line a round
# with the round's number in place of the rate offered.
# Settings from the environment: CLIENTS (8), STEP_SECONDS (3), LARGE_RATES
# and SMALL_RATES (MiB/s, see below), BUILD (build-bench), BENCH_DIR (where
# kept files go, default /dev/shm). tcpdump gets the engine's kernel buffer
# (sized for the link, see mediacap/nids/kernel_buffer.hpp) and snapshot
# length.
#
# LOAD puts work beside the capture for the whole run, one or both of:
#   thumbnails  the videos page's work on new videos, through the program's
#               own code (bench/thumbnail_load): the probe and the thumbnail
#               of THUMBNAIL_VIDEOS (50) copies of a 10 s 1920x1080 H.264
#               video, round after round (builds the Qt part too);
#   stress      stress-ng --cpu STRESS_CPUS (6), at normal priority.
# e.g. LOAD="thumbnails stress" bash bench/live.sh burst
#
# Only the addresses 10.213.0.1 and 10.213.0.2, inside the namespaces it
# makes; every step is bounded in time, and the namespaces and everything it
# started are removed at the end, also when interrupted.
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
bursts=${BURSTS:-10}
burst_connections=${BURST_CONNECTIONS:-50}
build=${BUILD:-build-bench}
load=${LOAD:-}
load_thumbnails=false
load_stress=false
for word in $load; do
  case "$word" in
    thumbnails) load_thumbnails=true ;;
    stress) load_stress=true ;;
    *) echo "LOAD takes thumbnails and stress, not $word" >&2; exit 1 ;;
  esac
done
if $load_stress; then
  command -v stress-ng >/dev/null || { echo "LOAD=stress needs stress-ng (apt-get install stress-ng)" >&2; exit 1; }
fi

engine_only=ON
targets=(live_bench)
if $load_thumbnails; then
  engine_only=OFF
  targets+=(thumbnail_load)
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENDRAX_ENGINE_ONLY=$engine_only >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >/dev/null
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
buffer_kib=$(in_client "$bin" buffer veth-cli)

if $load_thumbnails; then
  ffmpeg -hide_banner -loglevel error -y -f lavfi -i testsrc=duration=10:size=1920x1080:rate=25 \
    -c:v libx264 -pix_fmt yuv420p "$work/video.mp4"
  timeout 3600 "$(realpath "$build/bench/thumbnail_load")" "$work/video.mp4" "${THUMBNAIL_VIDEOS:-50}" \
    >"$work/thumbnails.txt" 2>&1 &
  thumbnail_load=$!
  started+=("$thumbnail_load")
  wait_for loading "$work/thumbnails.txt"
fi
if $load_stress; then
  timeout 3600 stress-ng --cpu "${STRESS_CPUS:-6}" --quiet >/dev/null 2>&1 &
  started+=($!)
fi

value() {  # key, text: the number after "key="
  sed -n "s/.*\b$1=\([0-9.]*\).*/\1/p" <<<"$2" | tail -n 1
}

# Starts `command...` in the clients' namespace with its output in `file`,
# waits until it prints `word` and a second more (libpcap opens the device
# after that), runs live_bench with the arguments in $fetch_arguments (fetch
# or burst: the result line into $fetched, the list of bodies into
# $work/list.txt), lets the capture take what the kernel buffer still holds,
# then ends it.
capture_a_fetch() {  # word, file, command...
  local word=$1 file=$2
  shift 2
  ip netns exec "$client_ns" timeout $((step_seconds + 120)) "$@" >"$file" 2>&1 &
  local pid=$!
  started+=("$pid")
  wait_for "$word" "$file"
  sleep 1
  fetched=$(in_client timeout $((step_seconds + 60)) "$bin" "${fetch_arguments[@]}" "$work/list.txt")
  sleep 2
  kill -INT "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

step() {  # class, rate (or round), low, high
  local class=$1 rate=$2 low=$3 high=$4 fetched
  fetch_arguments=(fetch "$server_address" 80 "$clients" "$rate" "$step_seconds" "$low" "$high")
  [ "$class" = burst ] && fetch_arguments=(burst "$server_address" 80 "$burst_connections" "$low" "$high")
  # The engine, then tcpdump on the same link at the same rate.
  local out=$work/kept
  rm -rf "$out"
  mkdir -p "$out"
  capture_a_fetch ready "$work/capture.txt" "$bin" capture veth-cli "$out"
  local engine_fetch=$fetched capture_line check_line
  capture_line=$(tail -n 1 "$work/capture.txt")
  [ -z "${LIVE_DEBUG:-}" ] || echo "  $capture_line" >&2
  check_line=$("$bin" check "$out" "$work/list.txt")
  rm -rf "$out"
  capture_a_fetch listening "$work/tcpdump.txt" \
    tcpdump -i veth-cli -n -B "$buffer_kib" -s 262144 -w /dev/null 'tcp port 80'
  local dump_drops
  dump_drops=$(sed -n 's/^\([0-9]*\) packets\{0,1\} dropped by kernel.*/\1/p' "$work/tcpdump.txt")

  local drops=$(($(value dropped "$capture_line") + $(value interface_dropped "$capture_line")))
  printf '%-6s %8s %8s %8s %15s %12s %10s %10s\n' "$class" "$rate" "$(value mib_per_s "$engine_fetch")" \
    "$(value mib_per_s "$fetched")" "$(value kept_exact "$check_line")/$(value fetched "$check_line")" \
    "$drops" "${dump_drops:-?}" "$(value received "$capture_line")"
}

echo "cores: $(nproc), load: $(cut -d' ' -f1-3 /proc/loadavg), clients: $clients, $step_seconds s a step, kept files on $(stat -f -c %T "$work")"
echo "kernel buffer: $((buffer_kib / 1024)) MiB, beside the capture: ${load:-nothing}"
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
if [ "$classes" = burst ]; then
  for round in $(seq "$bursts"); do
    step burst "$round" 1048576 4194304
  done
fi
if $load_thumbnails; then
  kill -TERM "$thumbnail_load" 2>/dev/null || true
  wait "$thumbnail_load" 2>/dev/null || true
  echo "thumbnail work beside: $(tail -n 1 "$work/thumbnails.txt")"
fi
