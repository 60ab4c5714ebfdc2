#!/usr/bin/env bash
# The include rules hold for the tree as it is, and a wrong include planted in a copy of the
# tree is found and named (file, line and what the folder may use).
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
check=$root/tools/check-includes.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

"$check" "$root" >"$work/out" 2>&1 || fail "the tree breaks its own rules: $(cat "$work/out")"

# folder | file planted there | its include line | exit expected
plants=(
  "xml|xml/planted.cpp|#include \"server/server_entry.h\"|1"
  "types|types/planted.h|#include \"xml/kv_xml.h\"|1"
  "provider|provider/planted.cpp|#include \"proxy/lu_proxy_disp.h\"|1"
  "client|client/planted.cpp|#include \"proxy/server_link.h\"|1"
  "samples|samples/planted.c|#  include <types/kv_string.h>|1"
  "crypto|crypto/planted.cpp|#include \"trace/trace.h\"|0"
  "client|client/planted.cpp|#include \"proxy/dodadev_h.h\"|0"
  "provider|provider/planted.cpp|#include <gtest/gtest.h>|0"
)
# One copy of the tree; each row plants its file, is checked, and takes the file away again.
copy=$work/tree
mkdir -p "$copy/docs"
cp "$root/docs/architecture.md" "$copy/docs/"
for d in types win xml trace crypto proxy server provider client checker installer samples include fuzz; do
  [[ -d $root/$d ]] && cp -r "$root/$d" "$copy/"
done
for row in "${plants[@]}"; do
  IFS='|' read -r folder file line expected <<<"$row"
  printf '// planted\n%s\n' "$line" >"$copy/$file"
  "$check" "$copy" >"$work/out" 2>&1
  status=$?
  rm -f "$copy/$file"
  if [[ $status != "$expected" ]]; then
    fail "$file with '$line': exit $status, expected $expected: $(cat "$work/out")"
  elif [[ $expected == 1 ]] && ! grep -q "^$file:2: includes .*, but $folder/ may use only" "$work/out"; then
    fail "$file with '$line': the report does not name the file and line: $(cat "$work/out")"
  fi
done

rm -f "$copy/docs/architecture.md"
"$check" "$copy" >/dev/null 2>&1
[[ $? == 2 ]] || fail "a tree without docs/architecture.md was not refused with exit 2"
exit $((failures > 0))
