#!/usr/bin/env bash
# Time of a whole-disk partition search: `dravik partitions IMAGE --search
# --quiet` on a 64 GiB sparse VHDX without a partition table (a FAT32 volume
# on cylinder 1000 and an NTFS volume at 40 GiB). The search reads two
# sectors of each of its 8354 cylinders and every 1 MiB-aligned sector
# (65536 of them), nearly all of them in absent blocks.
#
# Usage:
#   bench/partition_search.sh [IMAGE]
#
#   IMAGE   the VHDX to search (default: sparse-64g.vhdx of the partition test
#           fixtures, made under build/fixtures/partition when missing)
#
# Environment:
#   DRAVIK  the dravik binary to time (default: build/dravik)
#   RUNS    timed runs after one warm-up run (default: 10)
#
# Prints the seconds of each run, then the fastest and the median. Before the
# timings, the volumes found are compared with the fixture's layout file (when
# the image is the fixture), so a fast but wrong search shows. Only measures:
# it never fails on a figure.

set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DRAVIK=${DRAVIK:-$ROOT/build/dravik}
RUNS=${RUNS:-10}
FIXTURES=$ROOT/build/fixtures/partition
IMAGE=${1:-$FIXTURES/sparse-64g.vhdx}

die() { echo "partition_search: $*" >&2; exit 1; }

[[ -x $DRAVIK ]] || die "no dravik binary at $DRAVIK (build first, or set DRAVIK)"
if [[ $# -eq 0 && ! -s $IMAGE ]]; then
  echo "making the partition fixtures in $FIXTURES (once) ..." >&2
  "$ROOT/tests/fixtures/make-partition-fixtures.sh" "$FIXTURES"
fi
[[ -s $IMAGE ]] || die "no image at $IMAGE"

search() { "$DRAVIK" partitions "$IMAGE" --search --quiet --json; }

# --- correctness: the starts found against the layout, once per run ---------
found=$(search)
layout=${IMAGE%.vhdx}.layout
if [[ -f $layout ]]; then
  want=$(awk '{print $1}' "$layout" | sort -n | tr '\n' ' ')
  have=$(grep -o '"start":[0-9]*' <<<"$found" | cut -d: -f2 | sort -n | tr '\n' ' ')
  if [[ $want == "$have" ]]; then
    echo "found the volumes at: $have"
  else
    echo "WARNING: found starts [$have], the layout has [$want]" >&2
  fi
else
  echo "found: $found"
fi

# --- timings -----------------------------------------------------------------
now() { date +%s.%N; }
search >/dev/null  # warm-up: the image's blocks table in the page cache
times=()
for ((i = 1; i <= RUNS; i++)); do
  start=$(now)
  search >/dev/null
  end=$(now)
  times+=("$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.4f", b - a}')")
  echo "run $i: ${times[-1]} s"
done
printf '%s\n' "${times[@]}" | sort -n | awk -v image="$(basename "$IMAGE")" '
  { t[NR] = $1 }
  END {
    median = NR % 2 ? t[(NR + 1) / 2] : (t[NR / 2] + t[NR / 2 + 1]) / 2
    printf "dravik partitions %s --search: fastest %.4f s, median %.4f s over %d runs\n", image, t[1], median, NR
  }'
