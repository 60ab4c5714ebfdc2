#!/usr/bin/env bash
# Checks every project include against the table of who may use whom in docs/architecture.md
# (between the "include-rules" markers), the way the layers are drawn there:
#   | `proxy/` | `types/` `win/` `xml/` ... |
# A folder may always include its own files. An entry may also name one file
# (`proxy/dodadev_h.h`). `dodadev/...` is the provider SDK's folder, include/.
# Folders the table does not name (tests/, bench/, tools/) are not checked.
#
#   tools/check-includes.sh [ROOT]     exit 0: every include keeps the rules; 1: a list of
#                                      "file:line: ..." for each that does not; 2: no table
set -euo pipefail

root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
table=$root/docs/architecture.md
[[ -f $table ]] || { echo "check-includes: $table is missing" >&2; exit 2; }

rules=$(awk '/<!-- include-rules -->/ { on = 1; next } /<!-- \/include-rules -->/ { on = 0 }
             on && /^\| `/ { print }' "$table")
[[ -n $rules ]] || { echo "check-includes: no include-rules table in $table" >&2; exit 2; }

declare -A allowed
folders=()
while IFS= read -r row; do
  folder=$(cut -d'|' -f2 <<<"$row" | tr -d ' `')
  uses=$(cut -d'|' -f3 <<<"$row" | tr -d '`' | sed 's/—//g')
  folders+=("$folder")
  allowed[$folder]=" ${folder} ${uses} "
done <<<"$rules"

# The folder part of an include as the table names it: "types/owners.h" -> types/,
# "dodadev/keystore_provider.h" -> include/.
folder_of() {
  case $1 in
    dodadev/*) echo include/ ;;
    */*) echo "${1%%/*}/" ;;
    *) echo "" ;;
  esac
}

failures=0
for folder in "${folders[@]}"; do
  [[ -d $root/$folder ]] || continue
  while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    included=$(sed -E 's/^[^#]*#[[:space:]]*include[[:space:]]*[<"]([^>"]+)[>"].*/\1/' <<<"${rest#*:}")
    target=$(folder_of "$included")
    [[ -n $target ]] || continue
    # Only the project's own folders are ruled; <gtest/...>, <sys/...> and the like are not.
    [[ -d $root/${target%/} ]] || continue
    case ${allowed[$folder]} in
      *" $target "* | *" $included "*) ;;
      *)
        echo "${file#"$root"/}:$line: includes $included, but $folder may use only:${allowed[$folder]}"
        failures=$((failures + 1))
        ;;
    esac
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"][^>"]+/' "$root/$folder" \
             --include='*.h' --include='*.c' --include='*.cpp' --include='*.rc' --include='*.idl' || true)
done

if ((failures > 0)); then
  echo "check-includes: $failures include(s) break the rules of docs/architecture.md" >&2
  exit 1
fi
echo "check-includes: every include keeps the rules of docs/architecture.md (${#folders[@]} folders)"
