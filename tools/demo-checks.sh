# The checks of the main job (tools/run.sh), sourced by it: each compares the last answer of
# dodadev-call, kept in $answer, with what the step expects, says so, and stops the job with a
# clear message and exit code 1 when the answer is wrong.

answer=""

demo_failed() {
  printf '\nrun.sh: FAILED: %s\n' "$*" >&2
  exit 1
}

# expect_code CODE: the call's ret_code is CODE (0x00000000, 0x8007052D, ...).
expect_code() {
  local got
  got=$(printf '%s\n' "$answer" | sed -n 's/^ret_code: \(0x[0-9A-Fa-f]*\).*/\1/p' | head -n 1)
  [ "${got,,}" = "${1,,}" ] || demo_failed "expected ret_code $1, got ${got:-no ret_code at all}"
  printf '  (expected ret_code %s: ok)\n' "$1"
}

# expect_has TEXT / expect_lacks TEXT: the answer holds TEXT, or does not.
expect_has() {
  case "$answer" in *"$1"*) printf '  (expected %s in the answer: ok)\n' "$1" ;;
    *) demo_failed "expected $1 in the answer, it is not there" ;; esac
}
expect_lacks() {
  case "$answer" in *"$1"*) demo_failed "expected no $1 in the answer, it is there" ;;
    *) printf '  (expected no %s in the answer: ok)\n' "$1" ;; esac
}
