#!/bin/bash
# Runs inside the Debian 12 container that scripts/check-host-package boots,
# as a oneshot service ordered after varnholt.service (the packaged unit with
# varnholt-sim in the board executable's place). Writes NAME=VALUE lines to
# /root/service-result, which check-host-package compares with what it
# expects, and powers the container off.
#
# Every step waits for the state it needs (up to a limit), never for a
# fixed time: a slow machine takes longer, a fast one is not held up.
exec >/root/service-result 2>&1
show() { systemctl show -p "$1" --value varnholt; }

# wait_for SECONDS COMMAND...: runs COMMAND every 0.1 s until it succeeds or
# SECONDS have passed; the result of the last run.
wait_for() {
  local limit=$(($1 * 10))
  shift
  for ((i = 0; i < limit; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  "$@"
}
status_is() { [ "$(show StatusText)" = "$1" ]; }
restarted() { [ "$(show NRestarts)" = "$1" ] && [ "$(systemctl is-active varnholt)" = active ]; }
state_is() { [ "$(show ActiveState)" = "$1" ]; }
journal_count() { journalctl -b -u varnholt -o cat | grep -c -- "$1"; }

# Active (the server said READY=1) and the first status line sent.
wait_for 10 status_is idle
echo "active=$(systemctl is-active varnholt)"
echo "type=$(show Type) watchdog=$(show WatchdogUSec) status_text=$(show StatusText)"
pid=$(show MainPID)
echo "uid=$(awk '/^Uid:/ { print $2 }' /proc/$pid/status)"
echo "cap_eff=$(sed -n 's/^CapEff:[[:space:]]*//p' /proc/$pid/status)"
echo "no_new_privs=$(sed -n 's/^NoNewPrivs:[[:space:]]*//p' /proc/$pid/status)"
echo "rt_limit=$(awk '/^Max realtime priority/ { print $4 }' /proc/$pid/limits)"
for t in /proc/$pid/task/*; do
  read -ra stat <"$t/stat"
  echo "thread=policy ${stat[40]} priority ${stat[39]}"
done
w() { nsenter -t "$pid" -m sh -c "touch $1 2>/dev/null && echo yes || echo no"; }
echo "write_run_varnholt=$(w /run/varnholt/probe) write_run=$(w /run/probe)"
echo "write_etc=$(w /etc/probe) write_usr=$(w /usr/probe) write_var=$(w /var/probe)"
echo "journal_serving=$(journal_count 'serving on 127.0.0.1 port 1024')"
systemctl stop varnholt
echo "stop_result=$(show Result)"

# A crash: restarted, with the release program run after it. (start returns
# once the server has said READY=1.)
systemctl start varnholt
p1=$(show MainPID)
kill -9 "$p1"
wait_for 10 restarted 1
echo "crash_restarts=$(show NRestarts) crash_active=$(systemctl is-active varnholt) crash_new_pid=$([ "$(show MainPID)" != "$p1" ] && echo yes)"
echo "crash_released=$(journal_count '^release program run')"

# A server that no longer runs: its pings stop, the watchdog kills it (2 s,
# then SIGKILL after the stop time-out) and it is restarted.
p2=$(show MainPID)
kill -STOP "$p2"
wait_for 30 restarted 2
echo "watchdog_restarts=$(show NRestarts) watchdog_active=$(systemctl is-active varnholt) watchdog_new_pid=$([ "$(show MainPID)" != "$p2" ] && echo yes)"
echo "watchdog_journal=$(journal_count 'Watchdog timeout')"

# Wrong arguments: the usage, five restarts, then given up.
systemctl stop varnholt
sed -i 's/^VARNHOLT_ARGS=.*/VARNHOLT_ARGS="1 1 1"/' /etc/default/varnholt
systemctl reset-failed varnholt
systemctl start varnholt
wait_for 30 state_is failed
echo "bad_args_state=$(show ActiveState) bad_args_restarts=$(show NRestarts)"
echo "bad_args_usage=$(journal_count '^Usage: varnholt-sim')"
echo "done=yes"
systemctl poweroff
