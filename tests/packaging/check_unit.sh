#!/bin/sh
# Checks the board's systemd unit with systemd-analyze verify, that the
# arguments file gives it six board arguments, that the server speaks the
# notify protocol under the watchdog and the release program runs after it,
# and that its exposure (systemd-analyze security) is 2.0 or below.
#
# Usage: check_unit.sh UNIT ARGUMENTS_FILE EXECUTABLE RELEASE_EXECUTABLE WORK_DIR
#
# The unit runs /usr/sbin/varnholt and /usr/sbin/varnholt-release with
# /etc/default/varnholt, which do not exist on a development machine, and
# verify rejects a unit whose command is missing. So a copy is verified in
# which these paths point to the built executables (never started) and to
# the arguments file of the tree; nothing else is changed. verify reports
# unknown or malformed settings as warnings with status 0, so any output
# fails the check. Skipped (77) without systemd-analyze.
set -eu
unit=$1 args_file=$2 exe=$3 release=$4 work=$5

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The arguments: six, each 1 or 2, in the variable the unit expands.
# shellcheck disable=SC2016 # a literal $VARNHOLT_ARGS
grep -q '^ExecStart=/usr/sbin/varnholt \$VARNHOLT_ARGS$' "$unit" ||
  fail "the unit does not run /usr/sbin/varnholt \$VARNHOLT_ARGS"
grep -q '^EnvironmentFile=/etc/default/varnholt$' "$unit" ||
  fail "the unit does not read /etc/default/varnholt"
grep -q '^ExecStopPost=/usr/sbin/varnholt-release$' "$unit" ||
  fail "the unit does not run /usr/sbin/varnholt-release after the server"
grep -q '^Type=notify$' "$unit" || fail "the unit is not Type=notify"
grep -q '^NotifyAccess=main$' "$unit" || fail "the unit does not take notifications from the server"
grep -Eq '^WatchdogSec=[1-9]' "$unit" || fail "the unit has no watchdog"
grep -Eq '^RestrictAddressFamilies=.*AF_UNIX' "$unit" ||
  fail "the unit forbids the notification socket (AF_UNIX)"
grep -q '^IPAddressDeny=any$' "$unit" || fail "the unit does not deny every address first"
VARNHOLT_ARGS=
# shellcheck disable=SC1090
. "$args_file"
# shellcheck disable=SC2086 # split into the six arguments, as systemd does
set -- $VARNHOLT_ARGS
[ $# -eq 6 ] || fail "$args_file gives $# arguments, not 6: '$VARNHOLT_ARGS'"
for a in "$@"; do
  case $a in 1 | 2) ;; *) fail "$args_file: argument '$a' is neither 1 nor 2" ;; esac
done

if ! command -v systemd-analyze >/dev/null 2>&1; then
  echo "no systemd-analyze: unit not verified"
  exit 77
fi
rm -rf "$work"
mkdir -p "$work"
sed -e "s|^ExecStart=/usr/sbin/varnholt |ExecStart=$exe |" \
  -e "s|^ExecStopPost=/usr/sbin/varnholt-release\$|ExecStopPost=$release|" \
  -e "s|^EnvironmentFile=/etc/default/varnholt\$|EnvironmentFile=$args_file|" \
  "$unit" >"$work/varnholt.service"
status=0
out=$(systemd-analyze verify "$work/varnholt.service" 2>&1) || status=$?
if [ $status -ne 0 ] || [ -n "$out" ]; then
  fail "systemd-analyze verify (status $status): $out"
fi
caps=$(sed -n 's/^CapabilityBoundingSet=//p' "$unit")
[ -n "$caps" ] || fail "the unit has no CapabilityBoundingSet"
for cap in $caps; do
  systemd-analyze capability "$cap" >/dev/null 2>&1 || fail "unknown capability $cap"
done
# Exposure, as systemd-analyze prints it (one decimal): 2.0 at most.
exposure=$(systemd-analyze security --offline=yes "$work/varnholt.service" 2>&1 |
  sed -n 's/^.*Overall exposure level for varnholt.service: \([0-9]*\.[0-9]\).*$/\1/p')
[ -n "$exposure" ] || fail "systemd-analyze security printed no exposure"
awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }' || fail "exposure $exposure, above 2.0"
echo "systemd-analyze verify: no complaint; capabilities: $caps; exposure $exposure"
