#!/usr/bin/env bash
# Counts the instructions of one XML load and save per input shape at 1 MiB and 16 MiB of UTF-16
# with callgrind, and prints the growth of instructions per code unit (1.00 is linear). Unlike
# wall time, the counts do not depend on the machine's load or caches.
#   xml-linearity.sh [BUILD_DIR of the host-bench configuration]
set -euo pipefail
build=${1:-build/host-bench}
bench="$build/bench/bench_text"
[ -x "$bench" ] || { echo "xml-linearity: build the host-bench preset first ($bench)" >&2; exit 2; }
count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null "$bench" --once "$1" "$2" 2>&1 |
    awk '/refs:/ { gsub(",", "", $4); print $4 }'
}
small=$((512 * 1024)); large=$((8 * 1024 * 1024))
printf '%-12s %16s %16s %8s\n' shape "Ir at 1 MiB" "Ir at 16 MiB" growth
for shape in requests long-text siblings attributes ampersands deep; do
  a=$(count "$shape" "$small"); b=$(count "$shape" "$large")
  awk -v s="$shape" -v a="$a" -v b="$b" -v n1="$small" -v n2="$large" \
    'BEGIN { printf "%-12s %16d %16d %8.2f\n", s, a, b, (b / n2) / (a / n1) }'
done

# A walk by index (get_child / get_attribute for 0, 1, 2, ...) over the entries of one node, at
# 1,000 and 100,000 entries: instructions of the walk alone, and their growth per entry.
walk_count() {
  valgrind --tool=callgrind --callgrind-out-file=/dev/null --toggle-collect='*walk_by_index*' \
    "$bench" --walk "$1" "$2" 2>&1 | awk '/refs:/ { gsub(",", "", $4); print $4 }'
}
printf '\n%-12s %16s %16s %8s\n' walk "Ir at 1,000" "Ir at 100,000" growth
for what in children attributes; do
  a=$(walk_count "$what" 1000); b=$(walk_count "$what" 100000)
  awk -v s="$what" -v a="$a" -v b="$b" 'BEGIN { printf "%-12s %16d %16d %8.2f\n", s, a, b, (b / 100000) / (a / 1000) }'
done
