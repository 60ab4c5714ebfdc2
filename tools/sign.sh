#!/usr/bin/env bash
# Authenticode-signs files in place with osslsigncode, when a certificate is given:
#   tools/sign.sh FILE...
#   DODADEV_SIGN_PFX        the PFX (PKCS#12) file with the certificate and its key; when unset or
#                           empty, nothing is signed and the script exits 0 silently
#   DODADEV_SIGN_PASSWORD   its password (may be empty or unset); given to osslsigncode on its
#                           standard input, never on a command line, never printed
#   DODADEV_SIGN_TIMESTAMP  optional RFC 3161 timestamp server URL (osslsigncode -ts)
# Each FILE (a PE file or an MSI package) is signed with SHA-256 under the description "DoDadev".
# A missing PFX or a failed signing stops with a message and exit code 1; the file is then left
# as it was.
set -euo pipefail
[ -n "${DODADEV_SIGN_PFX:-}" ] || exit 0
[ $# -ge 1 ] || { echo "usage: sign.sh FILE..." >&2; exit 2; }
pfx=$DODADEV_SIGN_PFX
if [ ! -f "$pfx" ]; then
  echo "sign.sh: DODADEV_SIGN_PFX names $pfx, which does not exist; unset DODADEV_SIGN_PFX to build unsigned" >&2
  exit 1
fi
command -v osslsigncode >/dev/null || { echo "sign.sh: osslsigncode is not installed (tools/setup.sh)" >&2; exit 1; }
timestamp=()
[ -z "${DODADEV_SIGN_TIMESTAMP:-}" ] || timestamp=(-ts "$DODADEV_SIGN_TIMESTAMP")
# A password goes in on standard input (-readpass -), so that no process list shows it; an empty
# one as -pass "", since osslsigncode refuses to read an empty password.
password=(-readpass -)
[ -n "${DODADEV_SIGN_PASSWORD:-}" ] || password=(-pass "")

for file in "$@"; do
  [ -f "$file" ] || { echo "sign.sh: $file does not exist" >&2; exit 1; }
  tmp=$file.signing.tmp
  rm -f "$tmp"
  if ! log=$(printf '%s' "${DODADEV_SIGN_PASSWORD:-}" | osslsigncode sign -pkcs12 "$pfx" "${password[@]}" \
               -n DoDadev -h sha256 "${timestamp[@]}" -in "$file" -out "$tmp" 2>&1); then
    rm -f "$tmp"
    hint="wrong DODADEV_SIGN_PASSWORD?"
    [ -z "${DODADEV_SIGN_TIMESTAMP:-}" ] || hint+=" timestamp server DODADEV_SIGN_TIMESTAMP unreachable?"
    echo "sign.sh: signing $file with DODADEV_SIGN_PFX=$pfx failed ($hint); osslsigncode said:" >&2
    echo "$log" >&2
    exit 1
  fi
  mv -f "$tmp" "$file"
done
