#!/usr/bin/env bash
# Replays each fuzz target's seed corpus, then fuzzes it briefly (bounded in runs and time).
#   fuzz-smoke.sh BUILD_DIR [seconds per target]
set -euo pipefail
build=${1:?build folder of the host-fuzz configuration}
seconds=${2:-10}
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

targets=$(find "$build/fuzz" -maxdepth 1 -type f -name 'fuzz_*' -perm -u+x | sort)
[ -n "$targets" ] || { echo "fuzz-smoke: no fuzz targets in $build/fuzz" >&2; exit 1; }
passed=0
for target in $targets; do
  name=$(basename "$target")
  corpus="$root/fuzz/corpus/$name"
  [ -d "$corpus" ] || { echo "fuzz-smoke: $name has no seed corpus in fuzz/corpus/$name" >&2; exit 1; }
  mkdir -p "$work/$name"
  echo "fuzz-smoke: $name"
  "$target" -runs=0 "$corpus" 2>"$work/$name.replay.log" || { cat "$work/$name.replay.log"; exit 1; }
  "$target" -max_total_time="$seconds" -runs=2000000 -rss_limit_mb=2048 -print_final_stats=1 \
    "$work/$name" "$corpus" 2>"$work/$name.log" || { tail -n 60 "$work/$name.log"; exit 1; }
  grep -E '^stat::number_of_executed_units' "$work/$name.log" || true
  passed=$((passed + 1))
done
echo "fuzz-smoke: $passed passed, 0 failed"
