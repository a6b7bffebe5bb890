#!/usr/bin/env bash
# gr-hpsdr, a Protocol 1 client written for real radios, against the
# simulated board, once for each direction (gr_hpsdr_check.py beside this
# file): a scene carrier above two receivers must come out at its positive
# offsets, and the client's upper-sideband tone must be heard above the
# transmit frequency.
#   gr_hpsdr_test.sh BUILD_DIR
# The client finds the radio only by a limited broadcast on a named
# interface, so board and client run in a network namespace of their own
# with a veth pair that leads nowhere else (this needs root). Exits 0 when
# both directions pass, 77 when the test cannot run here (not root, no
# namespace, no gr-hpsdr), 1 when a check fails.
set -uo pipefail

build=$(cd "${1:?usage: gr_hpsdr_test.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
sim=$build/bin/varnholt-sim
python=/usr/bin/python3 # Debian's Python: the one with the GNU Radio modules

skip() {
  echo "skipped: $*"
  exit 77
}

if [ -z "${GR_HPSDR_NETNS:-}" ]; then
  [ -x "$sim" ] || {
    echo "no $sim" >&2
    exit 1
  }
  [ "$(id -u)" -eq 0 ] || skip "a network namespace with a veth pair needs root"
  "$python" -c 'import hpsdr' 2>/dev/null || skip "gr-hpsdr is not installed (Debian packages gr-hpsdr, gnuradio)"
  command -v ip >/dev/null || skip "ip (iproute2) is not installed"
  unshare -n true 2>/dev/null || skip "cannot create a network namespace here"
  exec unshare -n env GR_HPSDR_NETNS=1 "$0" "$@"
fi

# Inside the namespace: loopback, and v0 (10.77.0.1/24) paired with v1.
# The limited broadcast needs a route; it comes back to the board's socket
# on 0.0.0.0.
ip link set lo up &&
  ip link add v0 type veth peer name v1 &&
  ip addr add 10.77.0.1/24 brd + dev v0 &&
  ip link set v0 up && ip link set v1 up &&
  ip route add default dev v0 || skip "cannot set up the veth pair"

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# run_direction NAME SCENE: one simulated board with the scene, one
# flowgraph; the status of the flowgraph's checks.
run_direction() {
  local name=$1 scene=$2
  printf '%b' "$scene" >"$work/$name.scene"
  "$sim" --bind 0.0.0.0 --port 1024 --scene "$work/$name.scene" 1 1 1 1 1 1 \
    >"$work/$name.sim.out" 2>"$work/$name.sim.err" &
  sim_pid=$!
  local i
  for ((i = 0; i < 100; ++i)); do
    grep -q 'serving on' "$work/$name.sim.out" && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.05
  done
  if ! grep -q 'serving on' "$work/$name.sim.out"; then
    cat "$work/$name.sim.err" >&2
    echo "$name: the simulated board did not start" >&2
    return 1
  fi
  echo "-- $name"
  local status=0
  timeout 60 "$python" "$here/gr_hpsdr_check.py" "$name" v0 2>"$work/$name.err" || status=$?
  if [ "$status" -ne 0 ]; then
    tail -n 20 "$work/$name.err" >&2
    echo "$name: gr-hpsdr did not see what a real radio shows (status $status)" >&2
  fi
  kill "$sim_pid" 2>/dev/null
  wait "$sim_pid" 2>/dev/null
  sim_pid=
  return "$status"
}

status=0
run_direction rx 'noise -110\n7215000 -40\n' || status=1
run_direction tx 'noise -120\n' || status=1
exit "$status"
