#!/usr/bin/env bash
# Makes a throwaway, self-signed code-signing certificate for the test build's signatures
# (tools/test.sh signs build/windows with it; tests/installer/signature_test.sh verifies them):
#   tools/make-test-signing-cert.sh DIR
# writes DIR/test-signing.pfx (certificate and key), DIR/test-signing.password (its password)
# and DIR/test-signing.pem (the certificate alone: the CA file for osslsigncode verify). Does
# nothing when the three files are there already. The password is random, written beside the
# PFX: it protects nothing (it lies next to the key), but the signing takes the same path as a
# release (a PFX and a non-empty password from the environment) and no password string, not even
# a test one, is written in the repository. Never use this certificate for anything shipped.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: make-test-signing-cert.sh DIR" >&2; exit 2; }
dir=$1
pfx=$dir/test-signing.pfx pem=$dir/test-signing.pem password_file=$dir/test-signing.password
if [ -s "$pfx" ] && [ -s "$pem" ] && [ -f "$password_file" ]; then exit 0; fi

mkdir -p "$dir"
work=$(mktemp -d)
# openssl's chatter goes to a log that is shown only when a step fails.
trap 'status=$?; [ $status -eq 0 ] || cat "$work/openssl.log" >&2; rm -rf "$work"' EXIT
umask 077
openssl rand -hex 16 >"$work/password" 2>>"$work/openssl.log"
openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 3650 \
  -subj "/CN=DoDadev test signing (throwaway)" \
  -addext keyUsage=critical,digitalSignature -addext extendedKeyUsage=codeSigning \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>>"$work/openssl.log"
openssl pkcs12 -export -name "DoDadev test signing (throwaway)" \
  -inkey "$work/key.pem" -in "$work/cert.pem" -passout "file:$work/password" \
  -out "$work/test-signing.pfx" 2>>"$work/openssl.log"
# The PFX last: it is what tools/test.sh checks for.
mv "$work/cert.pem" "$pem"
mv "$work/password" "$password_file"
mv "$work/test-signing.pfx" "$pfx"
