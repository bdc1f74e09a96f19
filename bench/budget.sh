#!/usr/bin/env bash
# The memory budget under hostile traffic, read from capture files: for each
# case of make_budget_pcap, the peak resident size of engine_bench's whole
# engine, and for "holders" the bodies kept byte-exact out of those sent.
#
#   bench/budget.sh BUILD [CASE...]    CASE: holders, holders-fast, waves, heads
#
# SCRATCH (default /dev/shm/budget-bench) holds the captures and what is
# kept; GENERATOR_BUILD the build whose make_budget_pcap writes them
# (default BUILD). Captures already there are reused; the kept files are
# removed after each run.
set -euo pipefail
build=$(realpath "$1")
shift
generator=$(realpath "${GENERATOR_BUILD:-$build}")/bench/make_budget_pcap
scratch=${SCRATCH:-/dev/shm/budget-bench}
mkdir -p "$scratch"
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(holders holders-fast waves heads)

for name in "${cases[@]}"; do
  kind=${name%-fast}
  file="$scratch/$name.pcap"
  if [ ! -f "$file" ]; then
    if [ "$kind" = "$name" ]; then "$generator" "$kind" "$file" >"$scratch/$name.expected"
    else "$generator" "$kind" "$file" --fast-clock >"$scratch/$name.expected"; fi
  fi
  out="$scratch/kept-$name"
  rm -rf "$out"
  "$build/bench/engine_bench" "$file" "$out" >"$scratch/$name.result" 2>"$scratch/$name.stderr"
  peak=$(sed -n 's/^mb_per_s=.* peak_kb=\([0-9]*\).*/\1/p' "$scratch/$name.result")
  kept=0 expected=0
  while read -r _ n size crc; do
    expected=$((expected + 1))
    if [ -f "$out/$n" ] && [ "$(stat -c %s "$out/$n")" = "$size" ] &&
       [ "$(python3 -c 'import sys,zlib; print(zlib.crc32(open(sys.argv[1],"rb").read()))' "$out/$n")" = "$crc" ]; then
      kept=$((kept + 1))
    fi
  done <"$scratch/$name.expected"
  rm -rf "$out"
  echo "$name: kept $kept of $expected, peak $((peak / 1024)) MiB, $(grep -c 'gave up' "$scratch/$name.stderr" || true) lines on stderr"
done
