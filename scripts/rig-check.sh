#!/usr/bin/env bash
# Vellumix against the genuine AR488 firmware: the rig in ../shared/tools/ar488-rig runs the firmware
# unchanged on a simulated ATmega328P with a simulated TDS 2024B on its GPIB pins, its serial port on
# a pseudo-terminal where a real adapter appears. For each firmware, with and without the scope
# pausing right after the BMP's byte 4 (offset 11): identify, then capture a BMP that must equal the
# picture the rig's scope sends, byte for byte.
#   scripts/rig-check.sh [BUILD_DIR]     (default: build; needs build/cli/vellumix-cli)
# Skips, saying why, where the shared folder is absent.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
shared=${VELLUMIX_SHARED_DIR:-$(pwd)/../shared}
rig=$shared/tools/ar488-rig
picture=$shared/real-hardcopies/tds2014b_bmp_5.bmp
if [ ! -x "$rig/build.sh" ] || [ ! -f "$picture" ]; then
  echo "rig-check: skipped, $rig or $picture is not there"
  exit 0
fi
cli=$build/cli/vellumix-cli
work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
"$rig/build.sh" "$work" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }

failed=0
for fw in ar488-0.50.16 ar488-0.53.04; do
  for pause in none "-N 11 -P 1500"; do
    tty=$work/$fw-${pause// /}.tty
    args=(-f "$rig/fw/$fw.elf" -b "$picture" -l "$tty" -L "$tty.log")
    if [ "$pause" != none ]; then
      read -r -a extra <<<"$pause"
      args+=("${extra[@]}")
    fi
    "$work/ar488rig" "${args[@]}" >"$tty.out" 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do [ -e "$tty" ] && break; sleep 0.1; done
    what="$fw, pause: $pause"
    start=$(date +%s.%N)
    if ! "$cli" --bus "prologix:$tty" identify >"$work/id.txt" 2>&1; then
      echo "FAIL $what: identify"; cat "$work/id.txt"; failed=1; continue
    fi
    grep -q "Model: TDS 2024B" "$work/id.txt" || { echo "FAIL $what: identified as"; cat "$work/id.txt"; failed=1; }
    if ! "$cli" --bus "prologix:$tty" capture --format BMP -o "$work/shot.bmp" >/dev/null 2>"$work/err.txt"; then
      echo "FAIL $what: capture"; cat "$work/err.txt"; failed=1; continue
    fi
    if cmp -s "$work/shot.bmp" "$picture"; then
      echo "ok   $what: identify and a byte-exact BMP in $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }') s"
    else
      echo "FAIL $what: the BMP differs from the scope's"; failed=1
    fi
    kill "${pids[-1]}" 2>/dev/null || true
  done
done
exit $failed
