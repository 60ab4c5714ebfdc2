#!/usr/bin/env bash
# The main job: build, install the server and the keystore provider in a private Wine prefix, and
# walk through a real keystore session with dodadev-call. Safe to run again: each run starts
# from an empty demo drive.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

tools/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows

build=$root/build/windows
work=$root/.kv-work
prefix=$work/demo-prefix
drive_folder=$work/demo-drive
export_folder=$work/demo-export
run() { "$root/tools/wine-run" --prefix "$prefix" "$@"; }
windows_path() { echo "$1" | sed 's|/|\\|g'; }

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
call() {
  printf '\n$ dodadev-call'; printf ' %q' "$@"; printf '\n'
  run 'C:\DoDadev\dodadev-call.exe' --show-request "$@" || true
}

say "Installing into the private Wine prefix $prefix"
mkdir -p "$work"
run cmd /c exit 0   # makes the prefix on first use
WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true   # a server left from an earlier run
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

say "Mapping the demo drive K: to $drive_folder"
rm -rf "$drive_folder" "$export_folder"; mkdir -p "$drive_folder" "$export_folder"
ln -sfn "$drive_folder" "$prefix/dosdevices/k:"
ln -sfn "$export_folder" "$prefix/dosdevices/x:"
run reg add 'HKCU\Software\Orvane\Keldra\Logging' /v EnableUserModeTrace /t REG_DWORD /d 1 /f >/dev/null
temp_folder=$(run cmd /c echo %TEMP% | tr -d '\r')
trace_file=$(run winepath -u "$temp_folder" | tr -d '\r')/TraceFile.kv
rm -f "$trace_file"

key_id() {  # the id of the key named $1, from the keystore's id links
  local link
  for link in "$drive_folder/DoDadev Keystore/ids/"*.luid; do
    if iconv -f UTF-16LE -t UTF-8 "$link" | grep -qx "$1.lukey"; then basename "$link" .luid; return; fi
  done
}

say "Which drives are there?"
call keystore_drives populated=false types=0
say "Create a password-protected keystore on K:"
call keystore_create_pwd 'drive=K:\' password=demo-Passw0rd-1
call keystore_path 'drive=K:\'
say "Create two keys"
call keystore_create_key_pwd 'drive=K:\' password=demo-Passw0rd-1 name=signing timeout=3600 def_local_key=true
call keystore_create_key_pwd 'drive=K:\' password=demo-Passw0rd-1 name=backup timeout=60 def_local_key=false
signing=$(key_id signing)
echo "(the key 'signing' has the id $signing)"
say "Locate it, rename it, export it"
call keystore_locate "id=$signing"
call keystore_rename_key 'drive=K:\' "id=$signing" new_name=release-signing
call keystore_locate "id=$signing"
call keystore_export_key 'drive=K:\' "id=$signing" 'export_path=X:\release-signing.export' export_password=export-Passw0rd
say "Delete it, then import it back"
call keystore_delete_key 'drive=K:\' "id=$signing"
call keystore_locate "id=$signing"
call keystore_import_pwd 'drive=K:\' 'import_path=X:\release-signing.export' password=export-Passw0rd
call keystore_locate "id=$signing"
say "Password history"
call keystore_verify_pwd_history 'drive=K:\' new_password=demo-Passw0rd-1
call keystore_verify_pwd_history 'drive=K:\' new_password=a-fresh-Passw0rd
call keystore_verify_last_pwd 'drive=K:\' new_password=demo-Passw0rd-1

say "The trace log ($trace_file)"
sleep 1
iconv -f UTF-16LE -t UTF-8 "$trace_file" | tr -d '\r' | tail -n 40
if iconv -f UTF-16LE -t UTF-8 "$trace_file" | grep -q -e 'demo-Passw0rd' -e 'export-Passw0rd' -e 'a-fresh-Passw0rd'; then
  echo "A password reached the trace log!" >&2
  exit 1
fi
echo "(no password appears in the trace log)"

WINEPREFIX=$prefix /usr/lib/wine/wineserver -k 2>/dev/null || true
