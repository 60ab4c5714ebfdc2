#!/usr/bin/env bash
# The main job's checks pass a right answer and stop the job, with exit code 1 and a message,
# at a wrong one.
set -u
source "$(dirname "$0")/../../tools/demo-checks.sh"
failures=0
check() {  # check EXPECTED_EXIT COMMAND...: runs one check in a subshell against $answer
  local expected=$1 status
  shift
  (set -e; "$@") >/dev/null 2>/tmp/demo-checks-$$.err
  status=$?
  if [ "$status" != "$expected" ]; then
    echo "FAIL: $* exited $status, expected $expected" >&2
    failures=$((failures + 1))
  elif [ "$expected" != 0 ] && ! grep -q 'run.sh: FAILED: expected' /tmp/demo-checks-$$.err; then
    echo "FAIL: $* gave no clear message" >&2
    failures=$((failures + 1))
  fi
}
answer=$'method result: 0x00000000 S_OK\nret_code: 0x00000000 The operation completed successfully.\nresult:\n<paths><path>K:\\DoDadev Keystore\\signing.lukey</path></paths>'
check 0 expect_code 0x00000000
check 1 expect_code 0x8007052D
check 0 expect_code 0X00000000
check 0 expect_has 'signing.lukey'
check 1 expect_has 'backup.lukey'
check 0 expect_lacks 'backup.lukey'
check 1 expect_lacks 'signing.lukey'
answer='dodadev-call: cannot create LU_proxy_disp: 0x80040154 Class not registered'
check 1 expect_code 0x00000000
rm -f /tmp/demo-checks-$$.err
[ "$failures" = 0 ] && echo "demo checks: all passed"
exit "$failures"
