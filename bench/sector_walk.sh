#!/usr/bin/env bash
# The sector walk on every core against one thread on one core, and both
# against cat, with the image in the page cache: the Extensive Scan's
# searches (NTFS and FAT32) and File Trace with every type of the catalogue
# chosen, on the 2 GiB dynamic VHDX of bench/ntfs_scan_save.sh, which
# bench/ntfs_image.sh makes when it is missing (about 3 minutes, 4.5 GiB in
# WORKDIR).
#
# Usage:
#   bench/sector_walk.sh [WORKDIR]
#
# Environment:
#   DRAVIK    the dravik binary to time (default: build/dravik)
#   RUNS      runs of each command, taken in turn; the least time counts
#             (default: 7), so that other work on the machine weighs less
#
# It prints, per command, the least elapsed time of RUNS runs:
#   cat                     cat IMAGE >/dev/null: the ceiling
#   every core              the command as it runs (one walk thread a core)
#   one core                the same under taskset -c 0 (one walk thread)
# with cat's time over each (targets: every core >= 0.90 of cat, and never
# slower than one core).
# Only measures: a figure off its target is reported, never an error.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORKDIR=${1:-$ROOT/build/bench-ntfs}
DRAVIK=${DRAVIK:-$ROOT/build/dravik}
RUNS=${RUNS:-7}
IMAGE=$WORKDIR/ntfs-bench.vhdx

[ -x "$DRAVIK" ] || { echo "sector_walk: no dravik at $DRAVIK (run ./run or set DRAVIK)" >&2; exit 1; }
"$ROOT/bench/ntfs_image.sh" "$WORKDIR"
every=$("$DRAVIK" types | cut -f2 | sort -u | paste -sd, -)

# The commands, by name; each is run RUNS times in turn with the others.
declare -A command=(
  [cat]="cat $IMAGE"
  [ntfs]="$DRAVIK scan extensive $IMAGE --fs ntfs --quiet"
  [ntfs1]="taskset -c 0 $DRAVIK scan extensive $IMAGE --fs ntfs --quiet"
  [fat32]="$DRAVIK scan extensive $IMAGE --fs fat32 --quiet"
  [fat321]="taskset -c 0 $DRAVIK scan extensive $IMAGE --fs fat32 --quiet"
  [trace]="$DRAVIK scan trace $IMAGE --quiet --list --types $every"
  [trace1]="taskset -c 0 $DRAVIK scan trace $IMAGE --quiet --list --types $every"
)
order=(cat ntfs ntfs1 fat32 fat321 trace trace1)
declare -A best
cat "$IMAGE" >/dev/null  # warm the cache
t=$(mktemp)
trap 'rm -f "$t"' EXIT
for ((run = 0; run < RUNS; run++)); do
  for name in "${order[@]}"; do
    # shellcheck disable=SC2086  # the command's words
    /usr/bin/time -o "$t" -f '%e' ${command[$name]} >/dev/null 2>&1 || true
    s=$(tail -1 "$t")
    best[$name]=$(awk -v a="${best[$name]:-999}" -v b="$s" 'BEGIN { print (b < a ? b : a) }')
  done
done

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r >= t ? "met" : "MISSED") }'; }
echo "== Sector walk on $(basename "$IMAGE") ($(du -h --apparent-size "$IMAGE" | cut -f1)), $(nproc) cores, least of $RUNS runs, page cache warm"
printf '   %-26s %6s s\n' "cat" "${best[cat]}"
for pair in "ntfs:search --fs ntfs" "fat32:search --fs fat32" "trace:trace, every type"; do
  name=${pair%%:*}
  label=${pair#*:}
  all=${best[$name]}
  one=${best[${name}1]}
  r_all=$(ratio "${best[cat]}" "$all")
  r_one=$(ratio "${best[cat]}" "$one")
  printf '   %-26s %6s s   cat/this = %s  target >= 0.90  %s\n' "$label, every core" "$all" "$r_all" \
    "$(verdict "$r_all" 0.9)"
  printf '   %-26s %6s s   cat/this = %s  every core no slower: %s\n' "$label, one core" "$one" "$r_one" \
    "$(awk -v a="$all" -v b="$one" 'BEGIN { print (a <= b * 1.02 ? "met" : "MISSED") }')"
done
