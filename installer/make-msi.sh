#!/usr/bin/env bash
# Builds the DoDadev package from its source (made by the build from DoDadev.wxs.in), then signs
# it when a certificate is given (tools/sign.sh):
#   make-msi.sh DoDadev.wxs VERSION FILE_VERSION OUTPUT.msi
# VERSION is the product's; FILE_VERSION (four fields) the one that the program files carry in
# their version resources.
# wixl makes everything but what it cannot author, which goes in afterwards (msibuild):
# - The major upgrade includes the same version: every build has a product code of its own, and
#   Windows Installer compares only three fields of the version, so a rebuild must replace the
#   installed copy, never land beside it. wixl ignores AllowSameVersionUpgrades; the upgrade row
#   gets VersionMax inclusive (0x200) here. The older product is removed whole before anything of
#   this one is written (RemoveExistingProducts after InstallValidate): its own actions end its
#   servers and take its files and registration.
# - The program files' versions and language in the File table, which wixl leaves empty (and
#   no hash for them): Windows Installer decides by the version whether a repair or an upgrade
#   replaces a file, and inventory tools read it.
# - INSTALLDIR and SERVERSTOPTIMEOUT among the SecureCustomProperties (wixl ignores Secure), so
#   that a managed install passes them from its command line to the execute sequence.
# - InstallExecute right after StopServers: Wine's installer acts on files at once and would
#   otherwise run the deferred StopServers only at InstallFinalize, after the files are gone; on
#   Windows it is a plain checkpoint.
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: make-msi.sh DoDadev.wxs VERSION FILE_VERSION OUTPUT.msi" >&2; exit 2; }
wxs=$1 version=$2 file_version=$3 out=$4
sign=$(cd "$(dirname "$0")/../tools" && pwd)/sign.sh

cd "$(dirname "$wxs")"
rm -f "$out"
mkdir -p "$(dirname "$out")"
wixl -a x64 -D "Version=$version" -o "$out" "$wxs"

tables=$(mktemp -d)
trap 'rm -rf "$tables"' EXIT
# A table as an .idt file that awk rewrites and msibuild imports again (msiinfo writes CRLF).
exported() { msiinfo export "$out" "$1" | tr -d '\r'; }
exported Upgrade \
  | awk -F '\t' -v OFS='\t' 'NR > 3 && $7 == "WIX_UPGRADE_DETECTED" && int($5 / 512) % 2 == 0 { $5 += 512 } { print }' \
  >"$tables/Upgrade.idt"
grep -q $'\t513\t\tWIX_UPGRADE_DETECTED$' "$tables/Upgrade.idt" || { echo "make-msi.sh: unexpected Upgrade table from wixl" >&2; exit 1; }
exported File \
  | awk -F '\t' -v OFS='\t' -v version="$file_version" '
      NR > 3 && $3 ~ /\.(exe|dll)$/ { $5 = version; $6 = 1033; versioned++ } { print }
      END { if (versioned != 5) { print "make-msi.sh: expected 5 program files, found " versioned > "/dev/stderr"; exit 1 } }' \
  >"$tables/File.idt"
# A file with a version is compared by it; a hash is only for files without one.
exported MsiFileHash \
  | awk -F '\t' 'NR == FNR { if (FNR > 3 && $5 != "") versioned[$1] = 1; next } !($1 in versioned) { print }' \
      "$tables/File.idt" - >"$tables/MsiFileHash.idt"
exported Property \
  | awk -F '\t' -v OFS='\t' '$1 == "SecureCustomProperties" { $2 = $2 ";INSTALLDIR;SERVERSTOPTIMEOUT"; found = 1 } { print }
      END { if (!found) { print "make-msi.sh: no SecureCustomProperties from wixl" > "/dev/stderr"; exit 1 } }' \
  >"$tables/Property.idt"
msibuild "$out" -i "$tables/Upgrade.idt" -i "$tables/File.idt" -i "$tables/MsiFileHash.idt" -i "$tables/Property.idt" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('InstallExecute', 1599)"
"$sign" "$out"
