#!/usr/bin/env bash
# The desktop program's Quick Scan against the command line's, and its
# results page with one very large folder, on the offscreen platform.
#
# Usage:
#   bench/gui_scan.sh [WORKDIR]
#
#   WORKDIR   where the NTFS benchmark image is kept (default: build/bench-ntfs
#             under the repository, shared with bench/ntfs_scan_save.sh);
#             bench/ntfs_image.sh makes it when it is missing (about 3
#             minutes, 4.5 GiB)
#
# Environment:
#   BUILD      the build folder (default: build-bench, configured Release
#              without tests when missing); dravik and dravik_bench_gui are
#              built there first
#   RUNS       timed runs of each after one warm-up run (default: 3); medians
#   PARTITION  the partition scanned (default: 0, the image's NTFS volume)
#
# It prints:
#   command line   dravik scan quick IMAGE --partition N --quiet >/dev/null:
#                  the whole command (opening the image, the partition table,
#                  the scan, the tree and its listing)
#   desktop        dravik_bench_gui scan, a new process each run: from the
#                  Scan click on the partition page (image open, partitions
#                  read) until the results page is current with its folder
#                  tree and list filled
#                                    target: within 1.5x of the command line
#   event loop     the longest gap between two ticks of a 5 ms timer on the
#                  interface thread over the same span (until the results are
#                  painted), the worst of the runs
#                                    target: under 100 ms
#   large folder   dravik_bench_gui folder: 200,000 files in one folder made in
#                  memory: listing, first paint, scrolling to the end, sorting,
#                  checking (figures only)
# Needs Qt 6 Widgets and Test (qt6-base-dev), and what bench/ntfs_image.sh needs.
# Only measures: a figure off its target is reported, never an error.

set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORKDIR=${1:-$ROOT/build/bench-ntfs}
BUILD=${BUILD:-$ROOT/build-bench}
RUNS=${RUNS:-3}
PARTITION=${PARTITION:-0}

if [[ ! -f $BUILD/build.ninja ]]; then
  echo "== configuring $BUILD (Release)"
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDRAVIK_BUILD_TESTS=OFF \
    -DDRAVIK_BUILD_BENCH=ON >/dev/null
fi
echo "== build ($BUILD)"
cmake --build "$BUILD" --target dravik_cli dravik_bench_gui >/dev/null ||
  { echo "gui_scan: cannot build dravik_bench_gui (it needs Qt 6 Widgets and Test)" >&2; exit 1; }
DRAVIK=$BUILD/dravik
GUI=$BUILD/bench/dravik_bench_gui

mkdir -p "$WORKDIR"
WORKDIR=$(cd "$WORKDIR" && pwd)
"$ROOT/bench/ntfs_image.sh" "$WORKDIR"
IMAGE=$WORKDIR/ntfs-bench.vhdx

source "$ROOT/bench/timing.sh"
verdict() { if awk "BEGIN { exit !($1) }"; then echo "met"; else echo "MISSED"; fi; }

# The figure of a "label: N ms" line of the desktop benchmark's output.
figure() { awk -F': ' -v label="$1" '$1 == label { print $2 + 0; exit }'; }

cli_s=$(median "$DRAVIK" scan quick "$IMAGE" --partition "$PARTITION" --quiet)
cli_ms=$(calc "$cli_s * 1000")

export QT_QPA_PLATFORM=offscreen
# Like the command line's, each run is a new process with the first scan it
# makes (a later scan in the same process finds its memory already mapped).
"$GUI" scan "$IMAGE" --partition "$PARTITION" --runs 1 >/dev/null 2>&1 ||
  { echo "gui_scan: the desktop benchmark failed:" >&2; "$GUI" scan "$IMAGE" --partition "$PARTITION" --runs 1 >&2; exit 1; }
gui_out=""
gui_times=()
gap_ms=0
for run in $(seq "$RUNS"); do
  out=$("$GUI" scan "$IMAGE" --partition "$PARTITION" --runs 1 2>/dev/null)
  gui_out+=$(sed -n "s/^run 1: /run $run: /p" <<<"$out")$'\n'
  gui_times+=("$(figure "scan to results" <<<"$out")")
  gap=$(figure "longest event-loop gap" <<<"$out")
  gap_ms=$(calc "(($gap > $gap_ms) ? $gap : $gap_ms)")
done
gui_ms=$(printf '%s\n' "${gui_times[@]}" | sort -g | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')
files=$(awk -F', ' '/^run 1:/ { print $NF + 0 }' <<<"$gui_out")

echo
echo "== Quick Scan of partition $PARTITION of $(basename "$IMAGE") ($files files; median of $RUNS runs, page cache warm)"
printf '%s' "$gui_out" | sed 's/^/   | /'
printf '   %-44s %8.1f ms\n' "command line: dravik scan quick --partition $PARTITION" "$cli_ms"
printf '   %-44s %8.1f ms   desktop/command line = %4.2f   target <= 1.50  %s\n' \
  "desktop: Scan click to filled results page" "$gui_ms" "$(calc "$gui_ms / $cli_ms")" \
  "$(verdict "$gui_ms <= 1.5 * $cli_ms")"
printf '   %-44s %8.1f ms   target < 100 ms  %s\n' "desktop: longest event-loop gap" "$gap_ms" \
  "$(verdict "$gap_ms < 100")"

echo
echo "== Results page with one folder of 200,000 files (made in memory; median of $RUNS runs)"
"$GUI" folder --files 200000 --runs "$RUNS" 2>/dev/null | sed 's/^/   /'
