#!/usr/bin/env bash
# Time of `dravik info` and `dravik partitions` on large sparse VHDX images
# without a partition table, where both commands search the whole disk for
# boot sectors and must pass over the blocks the image does not hold:
#   empty-64T.vhdx   qemu-img create -f vhdx 64T: nothing allocated
#                    (64 MiB blocks, a block table of about a million entries)
#   ends-2T.vhdx     a 2 TiB VHDX (32 MiB blocks) with a 256 MiB FAT32 volume
#                    at 1 MiB (made by mkfs.fat, written by qemu-io) and 1 MiB
#                    of data written at 1 MiB before the end of the disk
#
# Usage:
#   bench/sparse_partitions.sh [WORKDIR]
#
#   WORKDIR   where the images are made and kept between runs (about 350 MiB;
#             default: build/bench-images under the repository)
#
# Environment:
#   DRAVIK  the dravik binary to time (default: build/dravik)
#   RUNS    timed runs per command after one warm-up run (default: 20)
#
# Before the timings, the partitions found are compared with what the images
# hold (none; the FAT32 volume at sector 2048 with the size fsstat reads), so a
# fast but wrong search shows. Prints the fastest and the median time of each
# command against the target of 50 ms. Only measures: it never fails on a figure.

set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORKDIR=${1:-$ROOT/build/bench-images}
DRAVIK=${DRAVIK:-$ROOT/build/dravik}
RUNS=${RUNS:-20}
MiB=$((1024 * 1024))
TARGET_MS=50

die() { echo "sparse_partitions: $*" >&2; exit 1; }

for tool in qemu-img qemu-io mkfs.fat fsstat awk; do
  command -v "$tool" >/dev/null || die "needs $tool"
done
[[ -x $DRAVIK ]] || die "no dravik binary at $DRAVIK (build first, or set DRAVIK)"
mkdir -p "$WORKDIR"
WORKDIR=$(cd "$WORKDIR" && pwd)
EMPTY=$WORKDIR/empty-64T.vhdx
ENDS=$WORKDIR/ends-2T.vhdx
VOLUME=$WORKDIR/ends-2T.fat32

# Made under temporary names and renamed, so an interrupted run never leaves
# a half-made image behind.
if [[ ! -s $EMPTY ]]; then
  qemu-img create -q -f vhdx "$EMPTY.tmp" 64T
  mv "$EMPTY.tmp" "$EMPTY"
fi
if [[ ! -s $ENDS || ! -s $VOLUME ]]; then
  echo "making $ENDS (once) ..." >&2
  rm -f "$VOLUME" "$ENDS.tmp"
  truncate -s 256M "$VOLUME"
  mkfs.fat -F 32 -h 2048 "$VOLUME" >/dev/null
  qemu-img create -q -f vhdx "$ENDS.tmp" 2T
  qemu-io -f vhdx -c "write -q -s $VOLUME $MiB $((256 * MiB))" \
    -c "write -q -P 0x5a $((2 * 1024 * 1024 * MiB - MiB)) $MiB" "$ENDS.tmp"
  mv "$ENDS.tmp" "$ENDS"
fi

# --- correctness: the starts and sizes found, once per run --------------------
fat_sectors=$(fsstat "$VOLUME" | awk -F'[ -]+' '/^Total (Sector )?Range:/ {print $NF + 1; exit}')
check() {  # IMAGE WANT
  local have
  have=$("$DRAVIK" partitions --quiet --json "$1")
  if [[ $have == "$2" ]]; then
    echo "  $(basename "$1"): $have"
  else
    echo "  WARNING: $(basename "$1") gave $have, expected $2" >&2
  fi
}
echo "dravik: $DRAVIK"
echo "partitions found:"
check "$EMPTY" '{"partitions":[]}'
check "$ENDS" "{\"partitions\":[{\"index\":0,\"start\":2048,\"sectors\":$fat_sectors,\"code\":200,\"type\":\"FAT32\"}]}"
echo

# --- timings -------------------------------------------------------------------
# Milliseconds of one run, from bash's own clock (no process started to read it).
run_ms() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  local end=$EPOCHREALTIME
  awk -v a="$start" -v b="$end" 'BEGIN {printf "%.2f\n", (b - a) * 1000}'
}

echo "page cache warm; fastest and median of $RUNS runs after 1 warm-up:"
printf '  %-16s %-12s %9s %9s  %s\n' image command fastest median "target < $TARGET_MS ms"
for image in "$EMPTY" "$ENDS"; do
  for verb in info partitions; do
    "$DRAVIK" "$verb" --quiet "$image" >/dev/null
    times=()
    for ((i = 0; i < RUNS; i++)); do times+=("$(run_ms "$DRAVIK" "$verb" --quiet "$image")"); done
    printf '%s\n' "${times[@]}" | sort -n | awk -v image="$(basename "$image")" -v verb="$verb" -v target="$TARGET_MS" '
      { t[NR] = $1 }
      END {
        median = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
        printf "  %-16s %-12s %6.1f ms %6.1f ms  %s\n", image, verb, t[1], median, (median < target ? "met" : "missed")
      }'
  done
done
