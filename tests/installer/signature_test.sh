#!/usr/bin/env bash
# The shipped binaries and the package: each binary's version resource carries the project
# version and names, as Windows reads it (kv_version_info under Wine); and, when the build was
# signed, each binary and the package carry an Authenticode signature that osslsigncode verifies
# against CA_FILE.
#   signature_test.sh WINE_RUN PREFIX VERSION_INFO_EXE SIGNING_STATE CA_FILE VERSION PACKAGE BINARY...
# SIGNING_STATE is the file in which the build records whether it signed (cmake/sign-state.cmake:
# whether DODADEV_SIGN_PFX was set). tools/test.sh signs the windows build with a throwaway
# certificate whose CA file is build/signing/test-signing.pem. When the build did not sign, the
# version checks still run, then the test says so and exits 77 (ctest's SKIP_RETURN_CODE).
set -euo pipefail
[ $# -ge 8 ] || { echo "usage: signature_test.sh WINE_RUN PREFIX VERSION_INFO_EXE SIGNING_STATE CA_FILE VERSION PACKAGE BINARY..." >&2; exit 2; }
wine_run=$1 prefix=$2 version_info=$3 signing_state=$4 ca_file=$5 version=$6 package=$7
shift 7
binaries=("$@")
fail() { echo "FAIL: $*" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
copyright=$(grep -m1 '^Copyright ' "$here/../../LICENSE") || fail "no Copyright line in LICENSE"

# The version resources, all files in one Wine start; paths through drive Z:, which is /.
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "the project version $version is not MAJOR.MINOR.PATCH"
windows_paths=()
for f in "${binaries[@]}"; do
  [ -f "$f" ] || fail "$f is missing"
  windows_paths+=("Z:${f//\//\\}")
done
info=$("$wine_run" --prefix "$prefix" "$version_info" "${windows_paths[@]}" | tr -d '\r') \
  || { echo "$info"; fail "kv_version_info could not read every version resource"; }
failures=0
for i in "${!binaries[@]}"; do
  f=${binaries[$i]} name=$(basename "${binaries[$i]}")
  # This file's name=value lines, from its "file=" line to the next one.
  # (The name goes through the environment: awk -v would read its backslashes as escapes.)
  values=$(echo "$info" | KV_FILE="file=${windows_paths[$i]}" awk '/^file=/ { on = ($0 == ENVIRON["KV_FILE"]); next } on')
  expect() {  # name value
    local got
    got=$(echo "$values" | sed -n "s/^$1=//p")
    if [ "$got" != "$2" ]; then
      echo "$name: $1 is \"$got\", expected \"$2\""
      failures=$((failures + 1))
    fi
  }
  expect FixedFileVersion "$version.0"
  expect FixedProductVersion "$version.0"
  expect FileVersion "$version.0"
  expect ProductVersion "$version"
  expect ProductName DoDadev
  expect CompanyName "DoDadev developers"
  expect LegalCopyright "$copyright"
  expect OriginalFilename "$name"
  expect InternalName "$name"
  case $name in *.dll) expect FixedFileType dll ;; *) expect FixedFileType app ;; esac
  description=$(echo "$values" | sed -n 's/^FileDescription=//p')
  [ -n "$description" ] || { echo "$name: no FileDescription"; failures=$((failures + 1)); }
  echo "$name: version $(echo "$values" | sed -n 's/^FileVersion=//p') ($description)"
done
[ $failures -eq 0 ] || fail "$failures version resource values differ from the project's"

[ -f "$signing_state" ] || fail "$signing_state is missing: the build did not record whether it signed"
state=$(cat "$signing_state")
if [[ $state != signed:* ]]; then
  echo "SKIPPED the signatures: this build was not signed ($signing_state: $state);" \
       "tools/test.sh signs the windows build with a throwaway certificate"
  exit 77
fi
[ -f "$ca_file" ] || fail "the build was signed ($state), but the CA file $ca_file to verify it against does not exist"
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (tools/setup.sh)"
for f in "${binaries[@]}" "$package"; do
  [ -f "$f" ] || fail "$f is missing"
  if ! out=$(osslsigncode verify -CAfile "$ca_file" -in "$f" 2>&1); then
    echo "$out"
    if echo "$out" | grep -qE 'No signature found|has no signature'; then
      fail "$f carries no signature, though the build signs ($signing_state); was it built by a partial build" \
           "before the signing changed? Build everything again with the same DODADEV_SIGN_* variables"
    fi
    fail "$f: osslsigncode verify failed against $ca_file"
  fi
  echo "$(basename "$f"): $(echo "$out" | grep -m1 '^Signature verification:') (signer$(echo "$out" | grep -m1 'Subject:' | sed 's/^[[:space:]]*Subject://'))"
done
