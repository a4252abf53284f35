#!/usr/bin/env bash
# ext4 Quick Scan speed and memory of dravik against its peers, on a dynamic
# VHDX holding an ext4 volume of 200,000 small files.
#
# Usage:
#   bench/ext_scan.sh [WORKDIR]
#
#   WORKDIR   where the image is made and kept between runs
#             (default: build/bench-ext under the repository)
#
# Environment:
#   DRAVIK    the dravik binary to time (default: build-bench/dravik, built
#             Release the way bench/run_all.sh builds it when missing)
#   RUNS      timed runs per command after one warm-up run (default: 3); the
#             median is printed
#
# The first run makes, once (about a minute): 200 folders of 1,000 files of
# 10 to 1,009 bytes, put into a 2 GiB ext4 volume (4 KiB blocks) by
# mke2fs -d without mounting, kept raw (for fls and 7zz) and as a dynamic
# VHDX at sector 0, as WSL 2 makes its disks.
#
# Then, from one run, with the files in the page cache:
#   scan      dravik scan quick IMAGE --list --quiet >/dev/null
#             against  7zz l RAW >/dev/null          target: no slower
#             and      fls -r -p RAW >/dev/null      target: no slower
#   memory    peak resident set of the scan (/usr/bin/time -v)
#                                                    target: under 200 MB
# Before the timings, the scan's count of live files is compared with fls's
# and 7-Zip's (a 7zz that refused the volume would time nothing).
# Needs mke2fs (e2fsprogs), qemu-img, 7zz, fls, python3.
# Only measures: a figure off its target is reported, never an error.

set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORKDIR=${1:-$ROOT/build/bench-ext}
RUNS=${RUNS:-3}
FOLDERS=200
PER_FOLDER=1000

source "$ROOT/bench/timing.sh"
bench_needs ext_scan mke2fs qemu-img 7zz fls python3
bench_gnu_time
bench_release_dravik

mkdir -p "$WORKDIR"
WORKDIR=$(cd "$WORKDIR" && pwd)
RAW=$WORKDIR/ext-bench.raw
IMAGE=$WORKDIR/ext-bench.vhdx

if [[ ! -f $IMAGE ]]; then
  echo "== image ($FOLDERS x $PER_FOLDER files)"
  rm -rf "$WORKDIR/src" && mkdir -p "$WORKDIR/src"
  python3 - "$WORKDIR/src" "$FOLDERS" "$PER_FOLDER" <<'EOF'
import os, sys
root, folders, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for f in range(folders):
    d = os.path.join(root, "folder-%03d" % f)
    os.mkdir(d)
    for i in range(per):
        with open(os.path.join(d, "file-%04d.txt" % i), "wb") as out:
            out.write(b"x" * (10 + (f * per + i) % 1000))
EOF
  rm -f "$RAW"
  mke2fs -q -F -t ext4 -b 4096 -N 220000 -d "$WORKDIR/src" "$RAW" 2G
  qemu-img convert -f raw -O vhdx -o subformat=dynamic "$RAW" "$IMAGE"
  rm -rf "$WORKDIR/src"
fi

ours=$("$DRAVIK" scan quick "$IMAGE" --list --quiet 2>/dev/null | awk -F'\t' '$1 == "file" && $2 == "live"' | wc -l)
theirs=$(fls -r -p -u "$RAW" | awk '$1 ~ /^r\/r/ && $0 !~ /\$OrphanFiles/' | wc -l)
sevens=$(7zz l -slt "$RAW" | grep -c '^Folder = -' || true)
echo "live files listed: dravik $ours, fls $theirs, 7zz $sevens"

scan=$(median "$DRAVIK" scan quick "$IMAGE" --list --quiet)
zip=$(median 7zz l "$RAW")
sleuth=$(median fls -r -p "$RAW")
rss=$(/usr/bin/time -v "$DRAVIK" scan quick "$IMAGE" --list --quiet 2>&1 >/dev/null |
      awk -F': ' '/Maximum resident set size/ { print int($2 / 1024) }')

printf 'scan      dravik %6.2f s   7zz %6.2f s   fls %6.2f s   (targets: no slower than either)\n' \
  "$scan" "$zip" "$sleuth"
printf 'memory    dravik peak %d MB   (target: under 200 MB)\n' "$rss"
