#!/usr/bin/env bash
# Bounded fuzzing of the parsers that read sniffed or foreign bytes.
#
# Builds the libFuzzer targets of tests/fuzz with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on), replays every committed regression input,
# then runs each target for FUZZ_SECONDS (default 12) over a copy of its seed
# corpus, so that a run adds nothing to the repository. Fails when a target
# crashes; the crashing input is kept in BUILD/fuzz-artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-12}
build=${FUZZ_BUILD:-build-fuzz}
jobs=${FUZZ_JOBS:-$(nproc)}
targets=(decoder_fuzz request_key_fuzz inflate_fuzz media_info_fuzz converter_progress_fuzz)

# The libraries under test are compiled with the fuzzer's coverage hooks too,
# so that it is guided by their branches, not only the targets'.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link -DVENDRAX_SANITIZE=address,undefined \
  -DVENDRAX_FUZZ=ON >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
artifacts="$build/fuzz-artifacts"
mkdir -p "$artifacts"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export QT_QPA_PLATFORM=offscreen

for target in "${targets[@]}"; do
  program="$build/tests/fuzz/$target"
  scratch="$work/tmp-$target"
  mkdir -p "$scratch" "$work/corpus-$target"
  regressions="tests/fuzz/regressions/$target"
  if compgen -G "$regressions/*" >/dev/null; then
    echo "== $target: regression inputs =="
    TMPDIR="$scratch" "$program" "$regressions"/* 2>&1 | tail -n 2
  fi
  cp tests/fuzz/corpus/"$target"/* "$work/corpus-$target/"
  echo "== $target: fuzzing for ${seconds}s =="
  if ! TMPDIR="$scratch" "$program" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$artifacts/$target-" "$work/corpus-$target" \
       >"$work/$target.log" 2>&1; then
    tail -n 60 "$work/$target.log"
    echo "fuzz target $target failed; input kept in $artifacts/" >&2
    exit 1
  fi
  grep -E "^stat::number_of_executed_units|^#[0-9]+.*DONE" "$work/$target.log" | tail -n 2 || true
done
echo "== fuzzing: no failures =="
