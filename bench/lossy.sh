#!/usr/bin/env bash
# Capture over a lossy link, read back by engine_bench. Three network
# namespaces, server -> router -> client, joined by veth pairs with every
# offload off (segments as on a wire). The router drops a share of the
# server's port-80 packets (nftables, numgen random) and queues the rest behind
# a rate limit (tc tbf); tcpdump records on the client's end, where a user's
# machine sniffs; curl fetches ten 5 MB .mp4 files, one after another, from
# an HTTP server (python3 -m http.server). Then each engine_bench given reads
# the same capture and the line tells how many fetched bodies it kept
# byte-exact. A last step fetches 105 images of 1 MiB over the loopback
# interface of a namespace of its own (segments of up to 64 KiB) and does the
# same.
#
#   bash bench/lossy.sh [ENGINE_BENCH ...]       (as root)
#
# Without arguments it builds engine_bench in BUILD (default build-bench) and
# uses that one; give several (an older build, say) to compare them on the
# same captures. ROWS overrides the links, one "loss_percent rate queue_ms"
# a row, separated by commas. REORDER (per mille, default 0) makes the path
# reorder: that share of the server's packets, chosen at random, skips the
# queue of the rest (a retransmission among them overtakes the segments sent
# before it). Only the addresses 10.214.1.0/24 and
# 10.214.2.0/24 inside the namespaces it makes; the namespaces and everything
# it started are removed at the end, also when interrupted.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" = 0 ] || { echo "lossy.sh needs root (network namespaces)" >&2; exit 1; }
for tool in ip ethtool tcpdump nft tc curl /usr/bin/python3; do
  command -v "$tool" >/dev/null ||
    { echo "lossy.sh needs $tool (apt-get install iproute2 ethtool tcpdump nftables curl python3)" >&2; exit 1; }
done

benches=("$@")
if [ ${#benches[@]} = 0 ]; then
  build=${BUILD:-build-bench}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENDRAX_ENGINE_ONLY=ON >/dev/null
  cmake --build "$build" -j "$(nproc)" --target engine_bench >/dev/null
  benches=("$build/bench/engine_bench")
fi
for i in "${!benches[@]}"; do
  benches[$i]=$(realpath "${benches[$i]}")
done
rows=${ROWS:-"0 100 50,0.1 100 50,0.5 50 20,0.5 20 10,1 100 50"}

work=$(mktemp -d -p "${BENCH_DIR:-/dev/shm}" vendrax-lossy-XXXXXX)
server_ns=vxloss-srv-$$ router_ns=vxloss-rtr-$$ client_ns=vxloss-cli-$$ loop_ns=vxloss-lo-$$
started=()
cleanup() {
  for pid in "${started[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  for ns in "$server_ns" "$router_ns" "$client_ns" "$loop_ns"; do
    ip netns del "$ns" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wait_for() {  # word, file: until the file holds the word, 10 s at most
  for _ in $(seq 100); do
    grep -q "$1" "$2" 2>/dev/null && return
    sleep 0.1
  done
}

# The served files: random bytes, named by kind.
mkdir -p "$work/site"
for i in $(seq 10); do
  head -c 5000000 /dev/urandom >"$work/site/clip$i.mp4"
done
for i in $(seq 105); do
  head -c 1048576 /dev/urandom >"$work/site/image$i.jpg"
done

for ns in "$server_ns" "$router_ns" "$client_ns" "$loop_ns"; do
  ip netns add "$ns"
  ip netns exec "$ns" ip link set lo up
done
link() {  # namespace, device, address, namespace, device, address
  ip link add vxl-a-$$ type veth peer name vxl-b-$$
  ip link set vxl-a-$$ netns "$1" name "$2"
  ip link set vxl-b-$$ netns "$4" name "$5"
  ip netns exec "$1" ip addr add "$3/24" dev "$2"
  ip netns exec "$4" ip addr add "$6/24" dev "$5"
  for end in "$1 $2" "$4 $5"; do
    set -- $end
    ip netns exec "$1" ip link set "$2" up
    ip netns exec "$1" ethtool -K "$2" rx off tx off tso off gso off gro off >/dev/null 2>&1 || true
  done
}
link "$server_ns" eth0 10.214.1.1 "$router_ns" to-srv 10.214.1.2
link "$client_ns" eth0 10.214.2.2 "$router_ns" to-cli 10.214.2.1
ip netns exec "$server_ns" ip route add default via 10.214.1.2
ip netns exec "$client_ns" ip route add default via 10.214.2.1
ip netns exec "$router_ns" sysctl -qw net.ipv4.ip_forward=1

(cd "$work/site" && exec ip netns exec "$server_ns" timeout 3600 /usr/bin/python3 -m http.server 80 \
  --bind 10.214.1.1 >"$work/server.txt" 2>&1) &
started+=($!)
(cd "$work/site" && exec ip netns exec "$loop_ns" timeout 3600 /usr/bin/python3 -m http.server 80 \
  --bind 127.0.0.1 >"$work/loop-server.txt" 2>&1) &
started+=($!)
sleep 1

# Records what the client's end sees while `curl` fetches the given files from
# `host` in `ns` on `device`, then reads the capture with every engine_bench.
# Prints: bodies fetched, and for each bench the bodies kept byte-exact.
fetch_and_read() {  # ns, device, host, files...
  local ns=$1 device=$2 host=$3
  shift 3
  rm -rf "$work/got" "$work/capture.pcap"
  mkdir -p "$work/got"
  ip netns exec "$ns" timeout 600 tcpdump -i "$device" -n -s 262144 -B 32768 -w "$work/capture.pcap" \
    'tcp port 80' >"$work/tcpdump.txt" 2>&1 &
  local dump=$!
  started+=("$dump")
  wait_for listening "$work/tcpdump.txt"
  sleep 0.5
  local urls=() name
  for name in "$@"; do
    urls+=("http://$host/$name" -o "$work/got/$name")
  done
  ip netns exec "$ns" timeout 600 curl -s --max-time 300 "${urls[@]}" || true
  sleep 1
  kill -INT "$dump" 2>/dev/null || true
  wait "$dump" 2>/dev/null || true
  local fetched=0
  for name in "$@"; do
    cmp -s "$work/got/$name" "$work/site/$name" && fetched=$((fetched + 1))
  done
  local dropped
  dropped=$(sed -n 's/^\([0-9]*\) packets\{0,1\} dropped by kernel.*/\1/p' "$work/tcpdump.txt")
  printf ' %8s %9s' "$fetched" "${dropped:-?}"
  local bench kept
  for bench in "${benches[@]}"; do
    rm -rf "$work/kept"
    mkdir -p "$work/kept"
    "$bench" "$work/capture.pcap" "$work/kept" >/dev/null 2>&1 || true
    kept=0
    sha256sum "$work/kept"/* 2>/dev/null | cut -d' ' -f1 | sort >"$work/kept.txt" || true
    for name in "$@"; do
      grep -qx "$(sha256sum "$work/site/$name" | cut -d' ' -f1)" "$work/kept.txt" && kept=$((kept + 1))
    done
    printf ' %10s' "$kept/$fetched"
  done
  echo
}

echo "cores: $(nproc), load: $(cut -d' ' -f1-3 /proc/loadavg)"
for i in "${!benches[@]}"; do
  echo "bench $((i + 1)): ${benches[$i]}"
done
printf '%-6s %6s %6s %8s %9s' loss rate queue fetched "tcpdump"
for i in "${!benches[@]}"; do printf ' %10s' "kept $((i + 1))"; done
echo
printf '%-6s %6s %6s %8s %9s\n' "%" "Mbit/s" "ms" "" dropped
videos=()
for i in $(seq 10); do videos+=("clip$i.mp4"); done
IFS=, read -ra links <<<"$rows"
for row in "${links[@]}"; do
  read -r loss rate queue <<<"$row"
  in_router() { ip netns exec "$router_ns" "$@"; }
  in_router nft delete table ip vxloss 2>/dev/null || true
  per_100000=$(awk -v l="$loss" 'BEGIN { printf "%d", l * 1000 }')
  in_router nft -f - <<EOF
table ip vxloss {
  chain forward {
    type filter hook forward priority 0; policy accept;
    ip saddr 10.214.1.1 tcp sport 80 numgen random mod 100000 < $per_100000 drop
    ip saddr 10.214.1.1 tcp sport 80 numgen random mod 1000 < ${REORDER:-0} ip dscp set cs1
  }
}
EOF
  in_router tc qdisc del dev to-cli root 2>/dev/null || true
  if [ "${REORDER:-0}" = 0 ]; then
    in_router tc qdisc replace dev to-cli root tbf rate "${rate}mbit" burst 32kbit latency "${queue}ms"
  else  # the packets marked CS1 have a queue of their own, served first
    in_router tc qdisc replace dev to-cli root handle 1: htb default 2 2>/dev/null
    in_router tc class add dev to-cli parent 1: classid 1:1 htb rate "${rate}mbit" prio 0 2>/dev/null
    in_router tc class add dev to-cli parent 1: classid 1:2 htb rate "${rate}mbit" prio 1 2>/dev/null
    in_router tc qdisc add dev to-cli parent 1:2 handle 20: tbf rate "${rate}mbit" burst 32kbit latency "${queue}ms"
    in_router tc filter add dev to-cli parent 1: protocol ip prio 1 u32 match ip tos 0x20 0xfc flowid 1:1
  fi
  printf '%-6s %6s %6s' "$loss" "$rate" "$queue"
  fetch_and_read "$client_ns" eth0 10.214.1.1 "${videos[@]}"
done
images=()
for i in $(seq 105); do images+=("image$i.jpg"); done
printf '%-6s %6s %6s' lo - -
fetch_and_read "$loop_ns" lo 127.0.0.1 "${images[@]}"
