#!/usr/bin/env bash
# Makes the certificate and CRL fixtures of the certificate-trust tests (tests/crypto) with openssl
# and writes their DER forms to tests/support/certs/. The tests use the committed files; run this
# only to regenerate them. Keys are fresh on every run; names, serial numbers, validity and
# revocation dates are fixed, so the tests stay valid for any run.
#   tests/support/make-cert-fixtures.sh [output-folder]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out=${1:-$here/certs}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
# openssl's chatter goes to a log that is shown only when a step fails.
trap 'status=$?; [ $status -eq 0 ] || cat "$work/openssl.log" >&2; rm -rf "$work"' EXIT
exec 2>"$work/openssl.log"
cd "$work"

# Certificates are valid 2024-2044; the CRLs are issued on 2024-04-01.
not_before=240101000000Z
not_after=440101000000Z
crl_issued=20240401000000Z
crl_next=20440101000000Z
# Two revocation dates: T1 older than T2.
t1=240110080000Z
t2=240315123045Z

cat > ca.cnf <<'CNF'
[ ca ]
default_ca = kv_ca
[ kv_ca ]
dir           = .
database      = $ENV::KV_INDEX
new_certs_dir = ./issued
serial        = ./serial
default_md    = sha256
policy        = kv_policy
unique_subject = no
copy_extensions = none
x509_extensions = kv_user
crl_extensions  = kv_crl
[ kv_policy ]
organizationName = supplied
commonName       = supplied
[ kv_user ]
basicConstraints = CA:FALSE
keyUsage = digitalSignature, keyEncipherment
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ kv_crl ]
authorityKeyIdentifier = keyid
[ req ]
distinguished_name = kv_dn
prompt = no
[ kv_dn ]
CN = unused
[ kv_user_keyed ]
basicConstraints = CA:FALSE
keyUsage = digitalSignature, keyEncipherment
subjectKeyIdentifier = hash
[ kv_root ]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
CNF
mkdir issued
# The config names its database through KV_INDEX; every step that needs another one sets it.
export KV_INDEX=index-issued.txt
: > index-issued.txt

make_ca() {  # name serial
  openssl req -x509 -new -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -sha256 \
    -days 7300 -set_serial "$2" -subj "/O=Orvane Test/CN=Keldra Test $1" \
    -config ca.cnf -extensions kv_root
  openssl x509 -in "$1.pem" -outform DER -out "$out/$(echo "$1" | tr 'A-Z' 'a-z').der"
}
make_ca CA-A 0x01
make_ca CA-B 0x02

# User certificates of CA-A: file name and serial number (hex, two bytes, so that byte order
# matters when the tests pass them least significant byte first).
users="valid:1001 keycompromise:1002 lifted:1003 relisted:1004 noreason:1005 disallowed:1006 otherca:1007 sticky:1008"
for entry in $users; do
  name=${entry%%:*}
  serial=${entry##*:}
  openssl req -new -newkey rsa:2048 -nodes -keyout "user-$name.key" -out "user-$name.csr" \
    -subj "/O=Orvane Test/CN=Keldra User $name" -config ca.cnf
  echo "$serial" > serial
  openssl ca -batch -notext -config ca.cnf -cert CA-A.pem \
    -keyfile CA-A.key -startdate "$not_before" -enddate "$not_after" \
    -in "user-$name.csr" -out "user-$name.pem"
  openssl x509 -in "user-$name.pem" -outform DER -out "$out/user-$name.der"
done

# A revoked row of an openssl index: serial, revocation date[,reason], subject name.
revoked() {
  printf 'R\t%s\t%s\t%s\tunknown\t/O=Orvane Test/CN=Keldra User %s\n' "$not_after" "$2" "$1" "$3"
}

# Wine keeps one CRL per issuer in a store, so CA-A's entries are split over two lists that the
# tests put into two stores: "first" into the store the revocation scan visits first, "second"
# into a later one. The scan carries the newest revocation date from store to store.
#   1002 keyCompromise                       -> revoked
#   1003 removeFromCRL T2 / keyCompromise T1 -> not revoked (the newer entry lifts it)
#   1004 removeFromCRL T1 / keyCompromise T2 -> revoked (the newer entry revokes it again)
#   1005 entry without reason code           -> revoked, reason unspecified
#   1008 keyCompromise T1 / removeFromCRL T2 -> revoked: a store that revoked ends the scan
{
  revoked 1002 "$t1,keyCompromise" keycompromise
  revoked 1003 "$t2,removeFromCRL" lifted
  revoked 1004 "$t1,removeFromCRL" relisted
  revoked 1005 "$t2" noreason
  revoked 1008 "$t1,keyCompromise" sticky
} > index-a-first.txt
{
  revoked 1003 "$t1,keyCompromise" lifted
  revoked 1004 "$t2,keyCompromise" relisted
  revoked 1008 "$t2,removeFromCRL" sticky
} > index-a-second.txt
# CRL of CA-B listing the serial number of a CA-A certificate.
revoked 1007 "$t1,keyCompromise" otherca > index-b.txt

gencrl() {  # index ca output
  KV_INDEX=$1 openssl ca -batch -gencrl -config ca.cnf -cert "$2.pem" -keyfile "$2.key" \
    -crl_lastupdate "$crl_issued" -crl_nextupdate "$crl_next" -out crl.pem
  openssl crl -in crl.pem -outform DER -out "$out/$3"
}
gencrl index-a-first.txt CA-A crl-a-first.der
gencrl index-a-second.txt CA-A crl-a-second.der
gencrl index-b.txt CA-B crl-b.der

# A certificate with its private key for the keystore tests (tests/provider), self-signed: its DER
# form and a PKCS#12 file (password "keyed") that the tests import into the user's "MY" store.
# Old algorithms (3DES, SHA-1 MAC) because Wine 8's PFXImportCertStore reads no others.
openssl req -x509 -new -newkey rsa:2048 -nodes -keyout user-keyed.key -out user-keyed.pem -sha256 \
  -days 7300 -set_serial 0x1009 -subj "/O=Orvane Test/CN=Keldra User keyed" -config ca.cnf -extensions kv_user_keyed
openssl x509 -in user-keyed.pem -outform DER -out "$out/user-keyed.der"
openssl pkcs12 -export -in user-keyed.pem -inkey user-keyed.key -passout pass:keyed \
  -certpbe PBE-SHA1-3DES -keypbe PBE-SHA1-3DES -macalg sha1 -out "$out/user-keyed.pfx"

echo "fixtures written to $out"
