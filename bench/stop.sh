#!/usr/bin/env bash
# The window's Stop while the data folder's storage hangs in the removal of
# the empty folders: stop_bench times ROUNDS (100) Stops, each of a new
# period of monitoring whose site folder lies on a disk that hangs, and ends
# with the line
#
#   stop_ms worst=N median=N p90=N over500=N of N
#
#   bash bench/stop.sh [STOP_BENCH ...]      (as root)
#
# Without arguments it builds stop_bench in BUILD (default build-bench,
# RelWithDebInfo) and runs that one; give several (builds of other commits,
# say) to compare them. Each program runs RUNS times (default 1), taking
# turns with the others. Every run has a mount namespace of its own, where
# the disk is mounted, and a network namespace of its own, whose loopback
# interface the periods capture on and where nothing passes. Its data folder
# is a temporary folder in BENCH_DIR (default /dev/shm), removed at its end.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "$(id -u)" = 0 ] || { echo "stop.sh needs root (mount and network namespaces)" >&2; exit 1; }
command -v ip >/dev/null || { echo "stop.sh needs ip (apt-get install iproute2)" >&2; exit 1; }
[ -e /dev/fuse ] || { echo "stop.sh needs /dev/fuse (modprobe fuse)" >&2; exit 1; }

rounds=${ROUNDS:-100}
runs=${RUNS:-1}
benches=("$@")
if [ ${#benches[@]} = 0 ]; then
  build=${BUILD:-build-bench}
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVENDRAX_ENGINE_ONLY=OFF >/dev/null
  cmake --build "$build" -j "$(nproc)" --target stop_bench >/dev/null
  benches=("$build/bench/stop_bench")
fi
for i in "${!benches[@]}"; do
  benches[i]=$(realpath "${benches[i]}")
done

bench_dir=${BENCH_DIR:-/dev/shm}
[ -d "$bench_dir" ] && [ -w "$bench_dir" ] || bench_dir=${TMPDIR:-/tmp}

echo "cores: $(nproc), load: $(cut -d' ' -f1-3 /proc/loadavg), $rounds rounds a run, data folder on $(stat -f -c %T "$bench_dir")"
for run in $(seq "$runs"); do
  for bench in "${benches[@]}"; do
    echo "== $bench (run $run) =="
    TMPDIR=$bench_dir unshare --mount --propagation private --net \
      sh -c 'ip link set lo up && exec "$@"' stop_bench "$bench" "$rounds"
  done
done
