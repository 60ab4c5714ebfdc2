#!/usr/bin/env bash
# Builds the DoDadev package from its source (made by the build from DoDadev.wxs.in), then signs
# it when a certificate is given (tools/sign.sh):
#   make-msi.sh DoDadev.wxs VERSION OUTPUT.msi
# wixl makes the files, the feature and the major upgrade; it cannot author these custom
# actions, so they go in afterwards as table rows (msibuild). All of them are deferred and run
# as the installer's own account (not impersonated), as per-machine registration needs:
#
#   when              action                what it runs
#   installed already StopServers           dodadev-stop-servers "<folder>\DoDadev.exe": WM_QUIT
#                                           to every server started from there, then waits
#   removing          UnregProvider         regsvr32 /s /u dodadev_provider.dll (failure ignored)
#   removing          UnregServer           DoDadev.exe /UnregServer (failure ignored)
#   installing        RegServer             DoDadev.exe /RegServer
#   installing        RegProvider           regsvr32 /s dodadev_provider.dll
#
# Each one has a rollback partner that undoes it. InstallExecute runs the first three before
# the files are touched: Wine's installer acts on files at once and would otherwise run deferred
# actions only at InstallFinalize, after the files are gone; on Windows it is a plain checkpoint.
# A major upgrade removes the older product first (RemoveExistingProducts after InstallValidate),
# whose own actions end its servers and remove its registration.
set -euo pipefail
[ $# -eq 3 ] || { echo "usage: make-msi.sh DoDadev.wxs VERSION OUTPUT.msi" >&2; exit 2; }
wxs=$1 version=$2 out=$3
sign=$(cd "$(dirname "$0")/../tools" && pwd)/sign.sh

cd "$(dirname "$wxs")"
rm -f "$out"
wixl -a x64 -D "Version=$version" -o "$out" "$wxs"

# Custom action types: 18 runs an installed file, 34 a command line in a folder; with
# 0x400 deferred, 0x800 not impersonated, 0x100 rollback, 0x40 exit code ignored.
deferred=$((0x400 | 0x800))
server='"[INSTALLDIR]DoDadev.exe"'
regsvr32='"[System64Folder]regsvr32.exe" /s'
provider='"[INSTALLDIR]dodadev_provider.dll"'
queries=()
action() {  # name type source target condition sequence
  queries+=(-q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('$1', $2, '$3', '$4')")
  queries+=(-q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('$1', '$5', $6)")
}
remove='REMOVE="ALL"' install='NOT REMOVE="ALL"'
action StopServers           $((18 | deferred))                 dodadev_stop_servers.exe "$server"  Installed 1501
action UnregProviderRollback $((34 | deferred | 0x100 | 0x40))  INSTALLDIR "$regsvr32 $provider"     "$remove" 1502
action UnregProvider         $((34 | deferred | 0x40))          INSTALLDIR "$regsvr32 /u $provider"  "$remove" 1503
action UnregServerRollback   $((18 | deferred | 0x100 | 0x40))  DoDadev.exe /RegServer             "$remove" 1504
action UnregServer           $((18 | deferred | 0x40))          DoDadev.exe /UnregServer           "$remove" 1505
queries+=(-q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('InstallExecute', 1506)")
action RegServerRollback     $((18 | deferred | 0x100 | 0x40))  DoDadev.exe /UnregServer           "$install" 4001
action RegServer             $((18 | deferred))                 DoDadev.exe /RegServer             "$install" 4002
action RegProviderRollback   $((34 | deferred | 0x100 | 0x40))  INSTALLDIR "$regsvr32 /u $provider"  "$install" 4003
action RegProvider           $((34 | deferred))                 INSTALLDIR "$regsvr32 $provider"     "$install" 4004
msibuild "$out" "${queries[@]}"
"$sign" "$out"
