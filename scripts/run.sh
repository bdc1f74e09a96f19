#!/usr/bin/env bash
# Installs what is needed, builds Vendrax and starts it. Arguments go to the
# application. Capturing packets needs root (or the capture capabilities).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target vendrax
exec build/app/vendrax "$@"
