#!/usr/bin/env bash
# The package under Wine, in a prefix of its own: a silent install of an older build, an upgrade
# while its server runs, a repair and a silent uninstall while servers run, each followed by a
# call through the installed dodadev-call. After the uninstall the registry and drive C: must be
# as they were before the first install. Prints how long each msiexec run took.
#   msi_test.sh WINE_RUN PREFIX PACKAGE OLDER_PACKAGE
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: msi_test.sh WINE_RUN PREFIX PACKAGE OLDER_PACKAGE" >&2; exit 2; }
wine_run=$1 prefix=$2 package=$3 older=$4
export WINEPREFIX=$prefix
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)
run() { "$wine_run" --prefix "$prefix" "$@"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
program_files='C:\Program Files\DoDadev'
folder=$prefix/drive_c/'Program Files'/DoDadev

# Waits until every process of the prefix has ended and the wineserver has written the registry
# out; a server left running makes this time out.
settle() { timeout 60 "$wineserver" -w || fail "processes still run in the prefix after $1"; }
server_log=$prefix.server.log
on_exit() {
  local code=$?
  if [ $code -ne 0 ] && [ -s "$server_log" ]; then echo "what the started servers wrote:"; cat "$server_log"; fi
  "$wineserver" -k 2>/dev/null || true
  return $code
}
trap on_exit EXIT

# The registry (without the times Wine stamps on keys) and the file names of drive C:, leaving
# out what Wine itself changes from one start to the next (temporary folders, the display
# adapter's driver date) and the empty container keys and the package cache folder that Wine's
# installer makes on first use and Windows has from the start; anything of ours beneath them
# still shows.
installer_containers='Classes\\\\Installer\\\\(Features|Products|UpgradeCodes)'
installer_containers+='|Microsoft\\\\Windows\\\\CurrentVersion\\\\Installer\\\\(UpgradeCodes|UserData\\\\S-1-5-18\\\\(Components|Products))'
snapshot() {
  settle "$2"
  cat "$prefix/system.reg" "$prefix/user.reg" "$prefix/userdef.reg" \
    | sed -E 's/^(\[.*\]) [0-9]+$/\1/; /^#time=/d' \
    | grep -vE "^\$|^\"DriverDateData\"=|^\\[Software\\\\\\\\($installer_containers)\\]\$" >"$1.reg"
  (cd "$prefix/drive_c" && find . -path './users/*/Temp' -prune -o -path './windows/temp' -prune -o -print \
    | grep -vx './windows/Installer' | sort) >"$1.files"
}

seconds_since() { echo "$(date +%s.%N) $1" | awk '{printf "%.1f", $1 - $2}'; }
msiexec() {  # what ... : runs msiexec silently, prints its time
  local what=$1 start; shift
  start=$(date +%s.%N)
  run msiexec "$@" /qn || fail "msiexec $* answered $?"
  echo "$what: $(seconds_since "$start") s"
}

call() {  # what : a call through the installed client, which COM answers from the server
  run "$program_files\\dodadev-call.exe" keystore_drives populated=false types=0 >/dev/null \
    || fail "the call through the installed dodadev-call failed $1"
}

# A server started from Program Files, left running; its exit code tells how it ended.
start_server() {
  run "$program_files\\DoDadev.exe" >>"$server_log" 2>&1 &
  server_job=$!
  sleep 2
  kill -0 "$server_job" 2>/dev/null || fail "the installed DoDadev.exe did not keep running"
}
server_ended_cleanly() {
  local code=0
  kill -0 "$server_job" 2>/dev/null && fail "DoDadev.exe still runs after $1"
  wait "$server_job" || code=$?
  [ "$code" -eq 0 ] || fail "DoDadev.exe ended with $code during $1, not through WM_QUIT"
}

installed_versions() {  # DisplayVersion of every Uninstall entry named DoDadev
  run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' \
    | awk 'function flush() { if (name == "DoDadev") print version; name = version = "" }
           /^HKEY/ { flush() } $1 == "DisplayName" { name = $3 } $1 == "DisplayVersion" { version = $3 }
           END { flush() }'
}

rm -rf "$prefix" "$server_log"
"$wineserver" -k 2>/dev/null || true
run cmd /c exit 0
snapshot "$prefix.before" "making the prefix"

msiexec "install of the older package" /i "$(run winepath -w "$older" | tr -d '\r')"
[ "$(installed_versions)" = 0.0.1 ] || fail "the older package is not listed as installed"
start_server
call "after the install"   # answered by the server just started

msiexec "upgrade over a running server" /i "$(run winepath -w "$package" | tr -d '\r')"
server_ended_cleanly "the upgrade"
versions=$(installed_versions)
[ "$versions" != 0.0.1 ] && [ "$(echo "$versions" | wc -l)" -eq 1 ] || fail "installed after the upgrade: $versions"
start_server
call "after the upgrade"

# Wine 8's msiexec has no working /f; these properties repair as /famus would.
msiexec "repair with a running server" /i "$(run winepath -w "$package" | tr -d '\r')" REINSTALL=ALL REINSTALLMODE=amus
server_ended_cleanly "the repair"
call "after the repair"   # leaves a server that COM started running

msiexec "uninstall with a running server" /x "$(run winepath -w "$package" | tr -d '\r')"
[ ! -e "$folder" ] || fail "Program Files\\DoDadev is still there after the uninstall"
snapshot "$prefix.after" "the uninstall"

same=yes
diff -u "$prefix.before.reg" "$prefix.after.reg" || { echo "the registry differs from before the install"; same=no; }
diff -u "$prefix.before.files" "$prefix.after.files" || { echo "drive C: differs from before the install"; same=no; }
[ $same = yes ] || fail "the uninstall left something behind"
echo "the registry and drive C: are as before the install"
