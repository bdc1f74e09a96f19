#!/usr/bin/env bash
# Compares the capture road with its floor and with another tool on one large
# capture file.
#
#   bash bench/compare.sh [FILE.pcap | mixed | large] [MEGABYTES]
#
# mixed (the default) writes MEGABYTES (default 600) of the soak test's
# traffic mix (thousands of kept-alive connections, mostly small bodies);
# large writes as much traffic of large bodies (images and videos of up to
# 6 MB on 24 connections at a time). The file, and every file the runs keep,
# lie in a temporary folder on tmpfs (BENCH_DIR, default /dev/shm). Then it
# prints, each as MB/s of the file and as a ratio to reassembly alone:
#   - libnids reassembly alone        (engine_bench --reassemble-only)
#   - reassembly and HTTP decoding    (engine_bench --decode-only)
#   - the whole engine writing files  (engine_bench FILE OUT_FOLDER --floor),
#     RUNS times (default 3), each with its floor line, then the minimum and
#     median of engine_s / floor_s
#   - tshark --export-objects http    (installed with apt when missing and
#     run as root; NO_TSHARK_INSTALL=1 leaves it out)
# Builds the benchmarks first in BUILD (default build-bench, RelWithDebInfo).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build-bench}
jobs=${JOBS:-$(nproc)}
runs=${RUNS:-3}

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENDRAX_ENGINE_ONLY=ON >/dev/null
cmake --build "$build" -j "$jobs" --target engine_bench make_mixed_pcap make_traffic_pcap >/dev/null

bench_dir=${BENCH_DIR:-/dev/shm}
[ -d "$bench_dir" ] && [ -w "$bench_dir" ] || bench_dir=${TMPDIR:-/tmp}
work=$(mktemp -d -p "$bench_dir" vendrax-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
file=${1:-mixed}
case "$file" in
  mixed | large)
    kind=$file
    file="$work/$kind.pcap"
    echo "== writing ${2:-600} MB of $kind traffic =="
    if [ "$kind" = mixed ]; then
      "$build/bench/make_mixed_pcap" "$file" "${2:-600}"
    else
      "$build/bench/make_traffic_pcap" "$file" "${2:-600}"
    fi
    ;;
esac
bytes=$(stat -c %s "$file")
echo "file: $file ($((bytes / 1048576)) MiB) on $(stat -f -c %T "$work"), cores: $(nproc), load: $(cut -d' ' -f1-3 /proc/loadavg)"

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
  { grep -E "=" <<<"$output" || true; } | tail -n 4 | sed "s/^/   /"
}

measure "reassembly only" "$bench" --reassemble-only "$file"
measure "reassembly and decoding" "$bench" --decode-only "$file"

echo "-- whole engine and its floor, $runs runs"
ratios=()
engine_rates=()
for run in $(seq "$runs"); do
  rm -rf "$work/engine-out"
  mkdir -p "$work/engine-out"
  output=$("$bench" "$file" "$work/engine-out" --floor)
  line=$(tail -n 1 <<<"$output")
  echo "   $line"
  ratios+=("$(sed -n 's/.*ratio=\([0-9.]*\).*/\1/p' <<<"$line")")
  engine_rates+=("$(sed -n 's/.*mb_per_s=\([0-9.]*\).*/\1/p' <<<"$output" | tail -n 1)")
done
rm -rf "$work/engine-out"
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
minimum() { printf '%s\n' "$@" | sort -g | head -n 1; }
rate["whole engine"]=$(median "${engine_rates[@]}")
echo "   engine / floor: min $(minimum "${ratios[@]}") median $(median "${ratios[@]}")"

if ! command -v tshark >/dev/null && [ "$(id -u)" = 0 ] && [ -z "${NO_TSHARK_INSTALL:-}" ]; then
  echo "-- installing tshark for the comparison"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq tshark >/dev/null || true
fi
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
echo "whole engine / floor: min $(minimum "${ratios[@]}") median $(median "${ratios[@]}") (of $runs runs)"
if [ -n "${rate["tshark export-objects http"]:-}" ]; then
  awk -v e="${rate["whole engine"]}" -v t="${rate["tshark export-objects http"]}" \
    'BEGIN { printf "whole engine / tshark: %.1fx\n", e / t }'
fi
