#!/usr/bin/env bash
# Compares the capture road with another tool on one large capture file.
#
#   bash bench/compare.sh [FILE.pcap] [MEGABYTES]
#
# Without a file, writes one of MEGABYTES (default 600) of the soak test's
# traffic mix (thousands of kept-alive connections) into a temporary folder.
# Then prints, each as MB/s of the file and as a ratio to reassembly alone:
#   - libnids reassembly alone        (engine_bench --reassemble-only)
#   - reassembly and HTTP decoding    (engine_bench --decode-only)
#   - the whole engine writing files  (engine_bench FILE OUT_FOLDER)
#   - tshark --export-objects http    (when tshark is installed)
# Builds the benchmarks first in BUILD (default build-bench, RelWithDebInfo).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build-bench}
jobs=${JOBS:-$(nproc)}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENDRAX_ENGINE_ONLY=ON >/dev/null
cmake --build "$build" -j "$jobs" --target engine_bench make_mixed_pcap >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
file=${1:-}
if [ -z "$file" ]; then
  file="$work/traffic.pcap"
  echo "== writing ${2:-600} MB of mixed traffic =="
  "$build/bench/make_mixed_pcap" "$file" "${2:-600}"
fi
bytes=$(stat -c %s "$file")
echo "file: $file ($((bytes / 1048576)) MiB), cores: $(nproc)"

# Reads the file once so that every run below finds it in the page cache.
cat "$file" >/dev/null

bench=$build/bench/engine_bench
declare -A rate

measure() {  # name, command...: runs it, keeps MB/s from its result line or its wall time
  local name=$1
  shift
  local start end output
  start=$(date +%s.%N)
  if ! output=$("$@" 2>&1); then
    echo "-- $name: not available (${output##*$'\n'})"
    return
  fi
  end=$(date +%s.%N)
  local mbps
  mbps=$(sed -n 's/.*mb_per_s=\([0-9.]*\).*/\1/p' <<<"$output" | tail -n 1)
  [ -n "$mbps" ] || mbps=$(awk -v b="$bytes" -v s="$start" -v e="$end" 'BEGIN { printf "%.1f", b / 1048576 / (e - s) }')
  rate[$name]=$mbps
  echo "-- $name: $mbps MB/s"
  { grep -E "=" <<<"$output" || true; } | tail -n 3 | sed "s/^/   /"
}

measure "reassembly only" "$bench" --reassemble-only "$file"
measure "reassembly and decoding" "$bench" --decode-only "$file"
mkdir -p "$work/engine-out"
measure "whole engine" "$bench" "$file" "$work/engine-out"
if command -v tshark >/dev/null; then
  mkdir -p "$work/tshark-out"
  measure "tshark export-objects http" tshark -r "$file" -q --export-objects "http,$work/tshark-out"
  echo "   tshark exported $(find "$work/tshark-out" -type f | wc -l) objects"
else
  echo "-- tshark: not installed (apt-get install tshark to compare)"
fi

echo "== MB/s and ratio to reassembly only =="
base=${rate["reassembly only"]:-}
for name in "reassembly only" "reassembly and decoding" "whole engine" "tshark export-objects http"; do
  [ -n "${rate[$name]:-}" ] || continue
  awk -v n="$name" -v r="${rate[$name]}" -v b="$base" \
    'BEGIN { printf "%-28s %8.1f MB/s  %5.2fx\n", n, r, (b > 0 ? r / b : 0) }'
done
if [ -n "${rate["whole engine"]:-}" ] && [ -n "${rate["tshark export-objects http"]:-}" ]; then
  awk -v e="${rate["whole engine"]}" -v t="${rate["tshark export-objects http"]}" \
    'BEGIN { printf "whole engine / tshark: %.2fx\n", e / t }'
fi
