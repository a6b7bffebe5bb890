#!/bin/sh
# Runs the board executable with wrong command lines only (a valid one would
# map /dev/mem) and checks that each prints exactly the usage text on
# standard error, nothing on standard output, and exits with status 1.
# Usage: usage_check.sh BOARD_EXECUTABLE [EMULATOR [EMULATOR ARGS...]]
set -u
bin=$1
shift
emulator="$*"  # empty for a native build; no element contains a blank
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
printf 'Usage: varnholt 1|2 1|2 1|2 1|2 1|2 1|2\n' >"$out/want"
failed=0

check() {
  label=$1
  shift
  # shellcheck disable=SC2086
  $emulator "$bin" "$@" >"$out/stdout" 2>"$out/stderr" </dev/null
  status=$?
  if [ "$status" -ne 1 ]; then
    echo "$label: exit status $status, expected 1"
    failed=1
  fi
  if ! cmp -s "$out/stderr" "$out/want"; then
    echo "$label: standard error differs from the usage text:"
    od -c "$out/stderr" | head -5
    failed=1
  fi
  if [ -s "$out/stdout" ]; then
    echo "$label: wrote to standard output"
    failed=1
  fi
}

check "no arguments"
check "five arguments" 1 2 1 2 1
check "seven arguments" 1 2 1 2 1 2 1
check "three in last place" 1 2 1 2 1 3
check "empty argument" 1 2 1 2 1 ""
check "hexadecimal" 0x2 2 1 2 1 2
exit $failed
