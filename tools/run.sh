#!/usr/bin/env bash
# The main job. Until the server program exists: build everything and run the text benchmarks.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows
cmake --preset host-bench >/dev/null
cmake --build --preset host-bench
for bench in build/host-bench/bench/bench_*; do
  [ -x "$bench" ] && "$bench"
done
