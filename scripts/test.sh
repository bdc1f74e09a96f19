#!/usr/bin/env bash
# Installs what is needed, builds everything, then runs every test:
#   1. the whole project (RelWithDebInfo) and all its tests;
#   2. the engine again under AddressSanitizer + UndefinedBehaviorSanitizer, and its tests;
#   3. the thread pool, downloader, capture writer and engine stop under ThreadSanitizer;
#   4. bounded fuzzing of the parsers.
# Every stage runs; a stage that finds no tests fails.
# Tests that need root and a network namespace skip themselves elsewhere.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

bash scripts/install-deps.sh

werror=OFF
[ "${CI:-}" = "true" ] && werror=ON

echo "== build: project =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENDRAX_WERROR=$werror
cmake --build build -j "$jobs"

echo "== tests: project =="
ctest --test-dir build --output-on-failure --no-tests=error -j "$jobs"

echo "== build: engine with AddressSanitizer + UndefinedBehaviorSanitizer =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVENDRAX_ENGINE_ONLY=ON \
  -DVENDRAX_SANITIZE=address,undefined -DVENDRAX_WERROR=$werror
cmake --build build-asan -j "$jobs"

echo "== tests: engine under ASan + UBSan =="
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure --no-tests=error -j "$jobs" -L engine

echo "== build: pool, downloader and capture writer with ThreadSanitizer =="
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVENDRAX_ENGINE_ONLY=ON \
  -DVENDRAX_SANITIZE=thread -DVENDRAX_WERROR=$werror
cmake --build build-tsan -j "$jobs"
echo "== tests: pool, downloader and capture writer under TSan =="
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan --output-on-failure --no-tests=error -j "$jobs" -L threads

echo "== fuzzing (bounded) =="
bash scripts/fuzz.sh

echo "== all tests passed =="
