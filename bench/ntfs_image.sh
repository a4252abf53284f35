#!/usr/bin/env bash
# Makes, once, the NTFS benchmark image that bench/ntfs_scan_save.sh,
# bench/gui_scan.sh, bench/extensive_search.sh and bench/trace_scan.sh time:
# a 2 GiB NTFS volume (mkntfs) filled through an ntfs-3g FUSE mount with 100
# folders of 1,000 small files and a folder "large" of eight 128 MiB files;
# an MBR disk around it, kept raw (for fls and PhotoRec) and converted to a
# dynamic VHDX (qemu-img); and a plain copy of "large" taken from the mount,
# for cp. About 3 minutes and 4.5 GiB in WORKDIR.
#
# Usage:
#   bench/ntfs_image.sh [WORKDIR]     (default: build/bench-ntfs under the repository)
#
# or sourced, for the names and sizes below and ntfs_bench_image WORKDIR.
# Either way nothing is made when the three results are already there.
# Needs mkntfs and ntfs-3g with FUSE, sfdisk, qemu-img, python3.

NTFS_BENCH_START=2048  # first sector of the partition
NTFS_BENCH_VOLUME_BYTES=$((2 * 1024 * 1024 * 1024))
NTFS_BENCH_FOLDERS=100
NTFS_BENCH_FILES_PER_FOLDER=1000
NTFS_BENCH_LARGE_FILES=8
NTFS_BENCH_LARGE_MIB=128

# ntfs_bench_image WORKDIR: makes WORKDIR/ntfs-bench.vhdx, WORKDIR/ntfs-bench.raw
# and WORKDIR/plain/large unless all three are there.
ntfs_bench_image() (
  set -euo pipefail
  local workdir=$1
  local image=$workdir/ntfs-bench.vhdx raw=$workdir/ntfs-bench.raw plain=$workdir/plain/large
  [[ -s $image && -s $raw && -d $plain ]] && exit 0
  for tool in mkntfs ntfs-3g sfdisk qemu-img python3; do
    command -v "$tool" >/dev/null || { echo "ntfs_image: needs $tool" >&2; exit 1; }
  done
  echo "== making $image (once)"
  local work=$workdir/make
  rm -rf "$work" "$workdir/plain" "$image" "$raw"
  mkdir -p "$work/mnt" "$workdir/plain"
  truncate -s "$NTFS_BENCH_VOLUME_BYTES" "$work/volume"
  mkntfs -Q -F -q -p "$NTFS_BENCH_START" -H 255 -S 63 -L BENCH "$work/volume" 2>/dev/null
  ntfs-3g -o no_detach "$work/volume" "$work/mnt" 2>"$work/ntfs-3g.log" &
  local pid=$!
  for _ in $(seq 100); do mountpoint -q "$work/mnt" && break; sleep 0.1; done
  mountpoint -q "$work/mnt" || { cat "$work/ntfs-3g.log" >&2; echo "ntfs_image: cannot mount" >&2; exit 1; }

  echo "   $((NTFS_BENCH_FOLDERS * NTFS_BENCH_FILES_PER_FOLDER)) small files..."
  python3 - "$work/mnt" "$NTFS_BENCH_FOLDERS" "$NTFS_BENCH_FILES_PER_FOLDER" <<'PY'
import os, sys
root, folders, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for d in range(folders):
    folder = os.path.join(root, "small", "f%03d" % d)
    os.makedirs(folder)
    for i in range(per):
        with open(os.path.join(folder, "file%04d.txt" % i), "wb") as f:
            f.write(b"small file %d of folder %d\n" % (i, d))
PY
  echo "   $NTFS_BENCH_LARGE_FILES files of $NTFS_BENCH_LARGE_MIB MiB..."
  mkdir -p "$work/mnt/large"
  for i in $(seq 1 "$NTFS_BENCH_LARGE_FILES"); do
    head -c $((NTFS_BENCH_LARGE_MIB * 1024 * 1024)) /dev/urandom > "$work/mnt/large/large$i.bin"
  done
  cp -r "$work/mnt/large" "$workdir/plain/"
  umount "$work/mnt"
  wait "$pid"

  truncate -s $((NTFS_BENCH_VOLUME_BYTES + (NTFS_BENCH_START + 2048) * 512)) "$work/disk.raw"
  printf 'label: dos\n%s,%s,7\n' "$NTFS_BENCH_START" $((NTFS_BENCH_VOLUME_BYTES / 512)) | sfdisk -q "$work/disk.raw"
  dd if="$work/volume" of="$work/disk.raw" bs=4M seek=$((NTFS_BENCH_START * 512)) oflag=seek_bytes \
    conv=notrunc,sparse status=none
  rm "$work/volume"
  qemu-img convert -f raw -O vhdx -o subformat=dynamic "$work/disk.raw" "$work/image.vhdx"
  mv "$work/disk.raw" "$raw"
  mv "$work/image.vhdx" "$image"
  rm -rf "$work"
)

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  set -euo pipefail
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  workdir=${1:-$root/build/bench-ntfs}
  mkdir -p "$workdir"
  ntfs_bench_image "$(cd "$workdir" && pwd)"
fi
