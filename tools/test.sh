#!/usr/bin/env bash
# Sets everything up and runs every test: the Windows tests under Wine (ctest) and a short,
# bounded smoke run of every fuzz target over its committed seed corpus. Exits non-zero on failure.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh

# The windows build is signed with a throwaway certificate (made once under build/signing/), so
# that its binaries and package are signed in every test run as a release is (docs/signing.md).
# The variables are set for this build only: the clang build below stays unsigned.
tools/make-test-signing-cert.sh build/signing
(
  export DODADEV_SIGN_PFX=$PWD/build/signing/test-signing.pfx
  DODADEV_SIGN_PASSWORD=$(cat build/signing/test-signing.password)
  export DODADEV_SIGN_PASSWORD
  unset DODADEV_SIGN_TIMESTAMP
  cmake --preset windows
  cmake --build --preset windows
)
# The same code through a second compiler, built only: the tests run on the g++ build above.
(
  unset DODADEV_SIGN_PFX DODADEV_SIGN_PASSWORD DODADEV_SIGN_TIMESTAMP
  cmake --preset windows-clang
  cmake --build --preset windows-clang
)
ctest --preset windows

cmake --preset host-fuzz
cmake --build --preset host-fuzz
tools/fuzz-smoke.sh build/host-fuzz

cmake --preset host-bench
cmake --build --preset host-bench
