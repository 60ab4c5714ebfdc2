#!/usr/bin/env bash
# tools/wine-run makes a prefix only where it may: in a missing or empty folder, or in one it made
# itself. Stand-ins for wine64 and wineserver make the test fast and keep real Wine out of it.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fake="$work/wine"
mkdir -p "$fake"
# wineboot writes a file into the prefix (and fails when asked to); anything else is "run".
cat >"$fake/wine64" <<'SCRIPT'
#!/usr/bin/env bash
if [ "$1" = wineboot ]; then
  [ -z "${FAKE_WINEBOOT_FAILS:-}" ] || exit 1
  echo booted >"$WINEPREFIX/system.reg"
  exit 0
fi
echo "ran $*"
SCRIPT
printf '#!/bin/sh\nexit 0\n' >"$fake/wineserver"
chmod +x "$fake/wine64" "$fake/wineserver"
export KV_WINE_DIR="$fake"

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
run() { "$root/tools/wine-run" --prefix "$1" program.exe 2>"$work/stderr"; }

# Refused: a folder holding someone's file, and a file; both stay as they were.
mkdir "$work/kept"
echo mine >"$work/kept/notes.txt"
echo mine >"$work/plain-file"
for dir in "$work/kept" "$work/plain-file"; do
  if run "$dir" >/dev/null; then fail "$dir was accepted"; fi
  grep -q "refusing" "$work/stderr" || fail "no reason given for $dir"
done
[ "$(cat "$work/kept/notes.txt")" = mine ] && [ "$(ls -A "$work/kept")" = notes.txt ] || fail "kept/ was changed"
[ "$(cat "$work/plain-file")" = mine ] || fail "plain-file was changed"

# Made: in a missing folder and in an empty one, then used as it is.
mkdir "$work/empty"
for dir in "$work/missing" "$work/empty"; do
  [ "$(run "$dir")" = "ran program.exe" ] || fail "$dir: program did not run"
  [ -f "$dir/.kv-ready" ] && [ -f "$dir/system.reg" ] && [ ! -e "$dir/.kv-making" ] || fail "$dir: not made"
  echo later >"$dir/user.reg"
  [ "$(run "$dir")" = "ran program.exe" ] && [ -f "$dir/user.reg" ] || fail "$dir: ready prefix was remade"
done

# An interrupted making is the script's own: it is made again from the start.
if FAKE_WINEBOOT_FAILS=1 run "$work/broken" >/dev/null; then fail "failed wineboot was not reported"; fi
[ -f "$work/broken/.kv-making" ] && [ ! -f "$work/broken/.kv-ready" ] || fail "interrupted prefix not marked"
echo half >"$work/broken/half-written"
[ "$(run "$work/broken")" = "ran program.exe" ] || fail "interrupted prefix not remade"
[ -f "$work/broken/.kv-ready" ] && [ ! -e "$work/broken/half-written" ] || fail "interrupted prefix not cleared"

[ "$failures" -eq 0 ] && echo "wine_run_test: all passed"
exit "$failures"
