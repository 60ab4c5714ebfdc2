#!/usr/bin/env bash
# The main job: build, install the server and the keystore provider in a private Wine prefix, and
# walk through a real keystore session with dodadev-call. Every step checks its answer and a wrong
# one stops the job with a message and exit code 1. Safe to run again: each run starts from an
# empty demo drive.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source tools/demo-checks.sh
trap 'demo_failed "line $LINENO: \"$BASH_COMMAND\" exited with $?"' ERR

tools/setup.sh
# DODADEV_RUN_BUILD=FOLDER runs the walk with a build of the windows preset in FOLDER (made there
# if need be) and keeps its work beside it, so that it does not meet another run's; by default the
# walk uses build/windows and .kv-work.
if [ -n "${DODADEV_RUN_BUILD:-}" ]; then
  mkdir -p "$DODADEV_RUN_BUILD"
  build=$(cd "$DODADEV_RUN_BUILD" && pwd)
  work=$build/.kv-work
  cmake --preset windows -B "$build" >/dev/null
  cmake --build "$build" --target DoDadev dodadev-call dodadev_provider_testing
else
  build=$root/build/windows
  work=$root/.kv-work
  cmake --preset windows >/dev/null
  cmake --build --preset windows
fi

prefix=$work/demo-prefix
drive_folder=$work/demo-drive
export_folder=$work/demo-export
run() { "$root/tools/wine-run" --prefix "$prefix" "$@"; }
windows_path() { echo "$1" | sed 's|/|\\|g'; }
# The wineserver of the prefix, found as tools/wine-run finds it.
wine_dir=${KV_WINE_DIR:-/usr/lib/wine}
wineserver=$wine_dir/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

# Passwords never go on dodadev-call's command line, where every program sees them: each demo
# password is in a file of the work folder that only this user may read (--secret NAME=file:...),
# or comes through standard input (--secret NAME=stdin). No answer may show one.
demo_password=demo-Passw0rd-1
export_password=export-Passw0rd
fresh_password=a-fresh-Passw0rd
passwords=("$demo_password" "$export_password" "$fresh_password")
secret_file() {  # secret_file NAME VALUE: writes VALUE to $work/NAME.secret (mode 600)
  (umask 077 && printf '%s\n' "$2" >"$work/$1.secret")
  chmod 600 "$work/$1.secret"
}
trap 'rm -f "$work"/*.secret' EXIT

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
call() {  # prints the call and its answer, and keeps the answer for the checks
  printf '\n$ dodadev-call'; printf ' %q' "$@"; printf '\n'
  # Through a file: the server that COM starts inherits the output, so a pipe would never end.
  run 'C:\DoDadev\dodadev-call.exe' --show-request "$@" >"$work/answer.txt" 2>&1 || true
  answer=$(tr -d '\r' <"$work/answer.txt")
  printf '%s\n' "$answer"
  local password
  for password in "${passwords[@]}"; do
    case "$answer" in *"$password"*) demo_failed "a password appears in dodadev-call's output" ;; esac
  done
}

say "Making the private Wine prefix $prefix and mapping the demo drives K: and X:"
mkdir -p "$work"
secret_file demo "$demo_password"
demo_secret="file:Z:$(windows_path "$work/demo.secret")"
run cmd /c exit 0   # makes the prefix on first use
rm -rf "$drive_folder" "$export_folder"; mkdir -p "$drive_folder" "$export_folder"
ln -sfn "$drive_folder" "$prefix/dosdevices/k:"
ln -sfn "$export_folder" "$prefix/dosdevices/x:"
echo "K: is $drive_folder, X: is $export_folder"
# Wine lists the drives (GetLogicalDrives) that it found when its wineserver started: a drive
# linked into dosdevices later can be opened by path but is missing from that list, and the
# keystore provider searches the listed drives. So the wineserver ends here (also one left from
# an earlier run), and the next program starts one that sees K: and X:.
WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true
WINEPREFIX=$prefix "$wineserver" -w

say "Installing into the prefix"
install_dir=$prefix/drive_c/DoDadev
mkdir -p "$install_dir"
# The demo registers the test build of the provider (built for the tests, build/windows/provider/
# testing): it writes with 1,000 PBKDF2 iterations instead of 600,000, so the walk takes seconds.
# The DLL to ship is build/windows/provider/dodadev_provider.dll.
cmake --build --preset windows --target dodadev_provider_testing
cp "$build/server/DoDadev.exe" "$build/provider/testing/dodadev_provider.dll" "$build/client/dodadev-call.exe" \
  "$install_dir/"
run 'C:\DoDadev\DoDadev.exe' /RegServer && echo "DoDadev.exe /RegServer: done"
run regsvr32 /s 'C:\DoDadev\dodadev_provider.dll' && echo "regsvr32 dodadev_provider.dll: done"

run reg add 'HKCU\Software\Orvane\Keldra\Logging' /v EnableUserModeTrace /t REG_DWORD /d 1 /f >/dev/null
temp_folder=$(run cmd /c echo %TEMP% | tr -d '\r')
trace_file=$(run winepath -u "$temp_folder" | tr -d '\r')/TraceFile.kv
rm -f "$trace_file"

key_id() {  # the id of the key named $1, from the keystore's id links (ids\XX\{GUID}.luid)
  local link
  for link in "$drive_folder/DoDadev Keystore/ids/"*/*.luid; do
    if iconv -f UTF-16LE -t UTF-8 "$link" | grep -qxE "(keys\\\\[0-9A-F]{2}\\\\)?$1\.lukey"; then
      basename "$link" .luid
      return
    fi
  done
}

say "Which drives are there? (expected: K: and X: among them)"
call keystore_drives populated=false types=0
expect_code 0x00000000
expect_has '<path>K:\</path>'
expect_has '<path>X:\</path>'
say "Create a password-protected keystore on K: (expected: it is there afterwards)"
call keystore_create_pwd 'drive=K:\' --secret "password=$demo_secret"
expect_code 0x00000000
call keystore_path 'drive=K:\'
expect_code 0x00000000
expect_has '<path>K:\DoDadev Keystore\keystore.luidx</path>'
say "Create two keys (expected: both are made)"
call keystore_create_key_pwd 'drive=K:\' --secret "password=$demo_secret" name=signing timeout=3600 def_local_key=true
expect_code 0x00000000
call keystore_create_key_pwd 'drive=K:\' --secret password=stdin name=backup timeout=60 def_local_key=false \
  <<<"$demo_password"
expect_code 0x00000000
signing=$(key_id signing)
[ -n "$signing" ] || demo_failed "the key 'signing' has no id link on K:"
echo "(the key 'signing' has the id $signing)"
say "Locate it, rename it, export it (expected: found on K: under its name, then its new name)"
call keystore_locate "id=$signing"
expect_code 0x00000000
expect_has '<path>K:\DoDadev Keystore\keys\'
expect_has '\signing.lukey</path>'
call keystore_rename_key 'drive=K:\' "id=$signing" new_name=release-signing
expect_code 0x00000000
call keystore_locate "id=$signing"
expect_code 0x00000000
expect_has '<path>K:\DoDadev Keystore\keys\'
expect_has '\release-signing.lukey</path>'
call keystore_export_key 'drive=K:\' "id=$signing" 'export_path=X:\release-signing.export' \
  --secret export_password=stdin <<<"$export_password"
expect_code 0x00000000
[ -f "$export_folder/release-signing.export" ] || demo_failed "the export file is not on X:"
say "Delete it, then import it back (expected: not found after the delete, found after the import)"
call keystore_delete_key 'drive=K:\' "id=$signing"
expect_code 0x00000000
call keystore_locate "id=$signing"
expect_code 0x00000000
expect_lacks '<path>'
call keystore_import_pwd 'drive=K:\' 'import_path=X:\release-signing.export' --secret password=stdin \
  <<<"$export_password"
expect_code 0x00000000
call keystore_locate "id=$signing"
expect_code 0x00000000
expect_has '<path>K:\DoDadev Keystore\keys\'
expect_has '\release-signing.lukey</path>'
say "Password history (expected: the current password is refused as a new one, a fresh one is not)"
call keystore_verify_pwd_history 'drive=K:\' --secret "new_password=$demo_secret"
expect_code 0x8007052D
call keystore_verify_pwd_history 'drive=K:\' --secret new_password=stdin <<<"$fresh_password"
expect_code 0x00000000
call keystore_verify_last_pwd 'drive=K:\' --secret "new_password=$demo_secret"
expect_code 0x00000000

say "The trace log ($trace_file)"
sleep 1
iconv -f UTF-16LE -t UTF-8 "$trace_file" | tr -d '\r' | tail -n 40
if iconv -f UTF-16LE -t UTF-8 "$trace_file" | grep -qF -e "$demo_password" -e "$export_password" -e "$fresh_password"; then
  demo_failed "a password reached the trace log"
fi
echo "(no password appears in the trace log)"

WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true
say "Every step gave the expected answer"
