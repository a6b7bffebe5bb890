#!/bin/bash
# Instruction counts of the server's hot paths: every case of
# instruction_count, counted under valgrind (callgrind, host build) and under
# qemu-arm with the counting plugin (the board's build, Cortex-A9 model).
# Prints a Markdown table: instructions per unit beside fifo_read, those of
# fifo_read, and thousands per second at the unit's rate. The counts are
# deterministic: a rerun prints the same table.
#
#   bench/count/count.sh [NATIVE_BUILD [ARM_BUILD]]     (default build, build-arm)
#
# Needs build/bin/instruction_count and build/bin/libqemu_insn_count.so
# (cmake --build build --target instruction_count qemu_insn_count) and
# build-arm/bin/instruction_count; a missing build leaves its columns empty.
set -euo pipefail

native=${1:-build}
arm=${2:-build-arm}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cases=(
  "batch 0 1 0|stream batch, 48 kHz x 1"
  "batch 0 1 1|stream batch, 48 kHz x 1, codec"
  "batch 2 4 0|stream batch, 192 kHz x 4"
  "batch 2 4 1|stream batch, 192 kHz x 4, codec"
  "batch 3 4 0|stream batch, 384 kHz x 4"
  "batch 3 4 1|stream batch, 384 kHz x 4, codec"
  "batch 3 8 0|stream batch, 384 kHz x 8"
  "batch 3 8 1|stream batch, 384 kHz x 8, codec"
  "ep2 idle|EP2 datagram, not keyed"
  "ep2 mox|EP2 datagram, MOX"
  "ep2 mox-codec|EP2 datagram, MOX + codec"
  "keyer idle|keyer tick, idle"
  "keyer dot|keyer tick, dot held"
)

# x86 under callgrind: prints "units per_second total fifo_read fake".
count_x86() {
  local out=$tmp/cg.out
  local report
  report=$(valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out" \
    "$native/bin/instruction_count" "$@" 2>/dev/null)
  callgrind_annotate --auto=no --threshold=100 "$out" 2>/dev/null | awk -v report="$report" '
    /PROGRAM TOTALS/ { gsub(",", "", $1); total = $1 }
    /:fifo_read\(/ { gsub(",", "", $1); fifo += $1 }
    /count_fake::|:count_begin|:count_end/ { gsub(",", "", $1); fake += $1 }
    END { split(report, r, " "); print r[2], r[4], total, fifo + 0, fake + 0 }'
}

# ARM under qemu-arm with the plugin: the same five figures.
count_arm() {
  local report counts
  report=$(qemu-arm -cpu cortex-a9 -L /usr/arm-linux-gnueabihf \
    -plugin "$native/bin/libqemu_insn_count.so,part=fifo_read,part=count_fake" \
    "$arm/bin/instruction_count" "$@" 2>"$tmp/qemu.err")
  counts=$(grep '^instructions ' "$tmp/qemu.err")
  awk -v report="$report" -v counts="$counts" 'BEGIN {
    split(report, r, " "); split(counts, c, "[ =]")
    print r[2], r[4], c[2], c[4], c[6] }'
}

per_unit() {  # units per_second total fifo fake -> "beside fifo_read" "fifo_read" "k per second"
  awk -v u="$1" -v s="$2" -v t="$3" -v f="$4" -v k="$5" 'BEGIN {
    b = (t - f - k) / u; printf "%.0f|%.0f|%.0f", b, f / u, (b + f / u) * s / 1000 }'
}

echo "| path | ARM beside fifo_read | ARM fifo_read | ARM k/s | x86 beside fifo_read | x86 fifo_read | x86 k/s |"
echo "|---|---:|---:|---:|---:|---:|---:|"
for c in "${cases[@]}"; do
  args=${c%%|*}
  name=${c#*|}
  read -r -a argv <<<"$args"
  arm_cols="||"
  x86_cols="||"
  if [ -x "$arm/bin/instruction_count" ]; then
    read -r -a counts < <(count_arm "${argv[@]}")
    arm_cols=$(per_unit "${counts[@]}")
  fi
  if [ -x "$native/bin/instruction_count" ]; then
    read -r -a counts < <(count_x86 "${argv[@]}")
    x86_cols=$(per_unit "${counts[@]}")
  fi
  echo "| $name | ${arm_cols//|/ | } | ${x86_cols//|/ | } |"
done
