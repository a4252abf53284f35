#!/usr/bin/env bash
# Extensive Scan search speed and memory, from one run each with the image in
# the page cache, on the 2 GiB dynamic VHDX of bench/ntfs_scan_save.sh (an
# NTFS volume with 100,021 files and 1 GiB of larger ones), which
# bench/ntfs_image.sh makes when it is missing (about 3 minutes, 4.5 GiB in WORKDIR).
#
# Usage:
#   bench/extensive_search.sh [WORKDIR]
#
#   WORKDIR   where bench/ntfs_scan_save.sh keeps its image
#             (default: build/bench-ntfs under the repository)
#
# Environment:
#   DRAVIK    the dravik binary to time (default: build/dravik)
#
# It prints:
#   cat                      cat IMAGE >/dev/null: the ceiling
#   search --fs ntfs         dravik scan extensive IMAGE --fs ntfs (search for
#                            boot sectors, MFT and index records over the whole
#                            image, then the analysis); throughput against cat
#                            (target >= 0.8) and peak resident memory (target
#                            well under 200 MB with 100,000 files)
#   search --fs fat32        the same search for FAT structures (none there)
# Only measures: a figure off its target is reported, never an error.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORKDIR=${1:-$ROOT/build/bench-ntfs}
DRAVIK=${DRAVIK:-$ROOT/build/dravik}
IMAGE=$WORKDIR/ntfs-bench.vhdx

[ -x "$DRAVIK" ] || { echo "extensive_search: no dravik at $DRAVIK (run ./run or set DRAVIK)" >&2; exit 1; }
"$ROOT/bench/ntfs_image.sh" "$WORKDIR"

seconds() { /usr/bin/time -f '%e %M' "$@" 2>&1 >/dev/null | tail -1; }

cat "$IMAGE" >/dev/null  # warm the cache
"$DRAVIK" scan extensive "$IMAGE" --fs ntfs --quiet >/dev/null
read -r cat_s _ <<<"$(seconds cat "$IMAGE")"
read -r ntfs_s ntfs_kb <<<"$(seconds "$DRAVIK" scan extensive "$IMAGE" --fs ntfs --quiet)"
read -r fat_s fat_kb <<<"$(seconds "$DRAVIK" scan extensive "$IMAGE" --fs fat32 --quiet || true)"

echo "== Extensive Scan search of $(du -h --apparent-size "$IMAGE" | cut -f1) ($(basename "$IMAGE")), one run each, page cache warm"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r >= t ? "met" : "MISSED") }'; }
r_ntfs=$(ratio "$cat_s" "$ntfs_s")
r_fat=$(ratio "$cat_s" "$fat_s")
printf '   %-22s %6s s\n' "cat" "$cat_s"
printf '   %-22s %6s s   dravik/cat = %s  target >= 0.80  %s   peak %d MB (target < 200 MB)\n' \
  "search --fs ntfs" "$ntfs_s" "$r_ntfs" "$(verdict "$r_ntfs" 0.8)" $((ntfs_kb / 1024))
printf '   %-22s %6s s   dravik/cat = %s  target >= 0.80  %s   peak %d MB\n' \
  "search --fs fat32" "$fat_s" "$r_fat" "$(verdict "$r_fat" 0.8)" $((fat_kb / 1024))
