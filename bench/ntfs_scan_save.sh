#!/usr/bin/env bash
# NTFS Quick Scan and save speed of dravik against its peers, on a dynamic
# VHDX holding an NTFS volume with 100,000 small files and about 1 GiB of
# larger ones.
#
# Usage:
#   bench/ntfs_scan_save.sh [WORKDIR]
#
#   WORKDIR   where the image is made and kept between runs
#             (default: build/bench-ntfs under the repository)
#
# Environment:
#   DRAVIK    the dravik binary to time (default: build-bench/dravik, built
#             Release the way bench/run_all.sh builds it when missing)
#   RUNS      timed runs per command after one warm-up run (default: 3); the
#             median is printed
#
# The first run makes, once, through bench/ntfs_image.sh (about 3 minutes):
# a 2 GiB NTFS volume with 100 folders of 1,000 small files and a folder
# "large" of eight 128 MiB files, as a raw MBR disk (for fls) and as a
# dynamic VHDX, and a plain copy of "large" (for cp). About 4.5 GiB in WORKDIR.
#
# Then, from one run, with the files in the page cache:
#   scan      dravik scan quick IMAGE --list --quiet >/dev/null
#             against  7zz l IMAGE >/dev/null          target: no slower
#             and      fls -r -o START RAW >/dev/null  target: 3x faster or more
#   save      dravik scan quick IMAGE --recover DIR --select large --quiet
#             against  cp -r of the plain copy of "large"
#             both into WORKDIR (one file system); MiB/s is the bytes of
#             "large" over the time (dravik's includes its scan)
#                                                      target: 0.8 of cp or more
#   memory    peak resident set of the scan (/usr/bin/time -v)
#                                                      target: under 200 MB
# Before the timings, the saved files are compared with the plain copy.
# Needs mkntfs and ntfs-3g with FUSE, sfdisk, qemu-img, 7zz, fls, python3.
# Only measures: a figure off its target is reported, never an error.

set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORKDIR=${1:-$ROOT/build/bench-ntfs}
RUNS=${RUNS:-3}
source "$ROOT/bench/ntfs_image.sh"
START=$NTFS_BENCH_START
LARGE_FILES=$NTFS_BENCH_LARGE_FILES

source "$ROOT/bench/timing.sh"
bench_needs ntfs_scan_save mkntfs ntfs-3g sfdisk qemu-img 7zz fls python3
bench_gnu_time
bench_release_dravik

mkdir -p "$WORKDIR"
WORKDIR=$(cd "$WORKDIR" && pwd)
IMAGE=$WORKDIR/ntfs-bench.vhdx
RAW=$WORKDIR/ntfs-bench.raw
PLAIN=$WORKDIR/plain/large

ntfs_bench_image "$WORKDIR"

files=$("$DRAVIK" scan quick "$IMAGE" --list --quiet 2>/dev/null | grep -c $'^file\t')
large_bytes=$(du -sb "$PLAIN" | cut -f1)
echo "== image: $IMAGE ($(du -h "$IMAGE" | cut -f1) on disk), $files files listed by dravik"

# Check the save first, so that a fast but wrong save shows.
out=$WORKDIR/out
rm -rf "$out"
"$DRAVIK" scan quick "$IMAGE" --recover "$out/dravik" --select large --quiet >/dev/null 2>&1
if diff -r "$PLAIN" "$out/dravik/large" >/dev/null; then
  echo "   the saved files equal the plain copy"
else
  echo "   WARNING: the saved files differ from the plain copy"
fi

scan_dravik=$(median "$DRAVIK" scan quick "$IMAGE" --list --quiet)
scan_7zz=$(median 7zz l "$IMAGE")
scan_fls=$(median fls -r -o "$START" "$RAW")

save_once() { rm -rf "$out/dravik"; "$DRAVIK" scan quick "$IMAGE" --recover "$out/dravik" --select large --quiet; }
cp_once() { rm -rf "$out/cp"; mkdir -p "$out/cp"; cp -r "$PLAIN" "$out/cp/"; }
save_dravik=$(median save_once)
save_cp=$(median cp_once)
rm -rf "$out"

peak_kb=$(/usr/bin/time -v "$DRAVIK" scan quick "$IMAGE" --list --quiet 2>&1 >/dev/null |
  awk -F: '/Maximum resident set size/ { gsub(/ /, "", $2); print $2 }')

mib() { calc "$large_bytes / 1048576 / $1"; }
verdict() { if awk "BEGIN { exit !($1) }"; then echo "met"; else echo "MISSED"; fi; }

echo
echo "== Quick Scan ($files files; median of $RUNS runs, page cache warm)"
printf '   %-36s %8.3f s\n' "dravik scan quick --list" "$scan_dravik"
printf '   %-36s %8.3f s   dravik/7zz  = %5.2f   target <= 1.00  %s\n' "7zz l" "$scan_7zz" \
  "$(calc "$scan_dravik / $scan_7zz")" "$(verdict "$scan_dravik <= $scan_7zz")"
printf '   %-36s %8.3f s   fls/dravik  = %5.2f   target >= 3.00  %s\n' "fls -r" "$scan_fls" \
  "$(calc "$scan_fls / $scan_dravik")" "$(verdict "$scan_fls >= 3 * $scan_dravik")"
echo
echo "== Save of \"large\" ($((large_bytes / 1048576)) MiB in $LARGE_FILES files; median of $RUNS runs)"
printf '   %-36s %8.3f s  %8.1f MiB/s\n' "dravik scan quick --recover --select" "$save_dravik" "$(mib "$save_dravik")"
printf '   %-36s %8.3f s  %8.1f MiB/s   dravik/cp = %4.2f   target >= 0.80  %s\n' "cp -r" "$save_cp" \
  "$(mib "$save_cp")" "$(calc "$save_cp / $save_dravik")" "$(verdict "$save_cp >= 0.8 * $save_dravik")"
copy_only=$(calc "$save_dravik - $scan_dravik")
printf '   %-36s %8.3f s  %8.1f MiB/s   (dravik'"'"'s save less its scan time, for reference)\n' "  of which writing the files" \
  "$copy_only" "$(mib "$copy_only")"
echo
echo "== Peak memory of the scan"
printf '   %-36s %8.1f MB   target < 200 MB  %s\n' "maximum resident set size" "$(calc "$peak_kb / 1000")" \
  "$(verdict "$peak_kb < 200000")"
