# Records whether this build signs its binaries (tools/sign.sh, DODADEV_SIGN_PFX set in the
# build's environment) and with which certificate file, for kv_sign_after_build (cmake/kv.cmake):
#   cmake -DOUTPUT=FILE -P cmake/sign-state.cmake
# FILE is rewritten only when that changes, so that the binaries, which depend on it, are linked
# and signed again then and only then. It names the PFX by its SHA-256, never holds a password.
# tests/installer/signature_test.sh reads it to know whether the build was signed.
set(pfx "$ENV{DODADEV_SIGN_PFX}")
if(pfx STREQUAL "")
  set(state "unsigned: DODADEV_SIGN_PFX was not set")
elseif(EXISTS "${pfx}")
  file(SHA256 "${pfx}" hash)
  set(state "signed: the PFX in DODADEV_SIGN_PFX has SHA-256 ${hash}")
else()
  set(state "signed: DODADEV_SIGN_PFX names a missing file")
endif()
file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT "${state}\n" @ONLY)
