#!/usr/bin/env bash
# Builds the demo disk image: a dynamic VHDX holding an MBR disk with a FAT32
# partition and an NTFS partition, each with a few folders and files, some of
# them deleted so that there is something to recover.
#
# Usage: samples/make-demo.sh [OUT.vhdx]      (default: samples/demo.vhdx)
#        KEEP_RAW=disk.raw samples/make-demo.sh  also keeps the raw disk
#
# Needs: qemu-utils, dosfstools, mtools, ntfs-3g, fdisk; root (or FUSE rights)
# to mount the NTFS volume through ntfs-3g.
#
# The contents are fixed: every file is generated from printf/seq, never from
# random data. Volume serials and the MBR disk id are fixed too. Time stamps
# written by mtools and ntfs-3g may still differ from run to run.
set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
OUT=${1:-$SCRIPT_DIR/demo.vhdx}

# Disk layout in 512-byte sectors. Both partitions start on a 1 MiB boundary.
# The FAT32 partition is 33 MiB because with 512-byte clusters that is the
# smallest size that gives the 65525 clusters a reader needs to see FAT32
# rather than FAT16. The NTFS partition is kept small: every 1 MiB that holds
# anything costs a full payload block in the VHDX.
SECTOR=512
FAT_START=2048
FAT_SECTORS=67584          # 33 MiB
NTFS_START=69632
NTFS_SECTORS=8192          # 4 MiB
DISK_SECTORS=$((NTFS_START + NTFS_SECTORS))
FAT_OFFSET=$((FAT_START * SECTOR))

# Fixed time for the source files (mcopy -m keeps it; touch sets it on NTFS).
FIXED_TIME='2024-03-15 10:30:00 UTC'

die() { echo "make-demo: $*" >&2; exit 1; }

# Runs a command with its chatter hidden; shows it only if the command fails.
# (mkfs.fat warns that the file is larger than the volume, mkntfs that the
# target is not a block device: both are expected here.)
quiet() {
  local log
  log=$(mktemp "$WORK/log.XXXXXX")
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    die "failed: $*"
  fi
}

for tool in qemu-img sfdisk mkfs.fat mmd mcopy mdel mdeltree mkntfs ntfs-3g; do
  command -v "$tool" >/dev/null || die "$tool not found (install qemu-utils, fdisk, dosfstools, mtools, ntfs-3g)"
done

WORK=$(mktemp -d "${TMPDIR:-/tmp}/make-demo.XXXXXX")
MNT=$WORK/mnt
NTFS_PID=
unmount_ntfs() {
  if mountpoint -q "$MNT" 2>/dev/null; then
    fusermount -u "$MNT" 2>/dev/null || umount "$MNT"
  fi
  # ntfs-3g runs in the foreground of its own background job: waiting for it
  # makes sure it has flushed and closed the image before anyone reads it.
  if [ -n "$NTFS_PID" ]; then
    wait "$NTFS_PID" 2>/dev/null || true
    NTFS_PID=
  fi
}
cleanup() {
  unmount_ntfs 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

DISK=$WORK/disk.raw
NTFS=$WORK/ntfs.img
SRC=$WORK/src
mkdir -p "$SRC" "$MNT"

# ---------------------------------------------------------------------------
# Source files. Each text line is numbered so that a recovered file can be
# checked line by line.
# ---------------------------------------------------------------------------

# Writes a 64x32 24-bit BMP: a colour gradient, 6198 bytes (13 clusters of
# 512 bytes on the FAT32 volume, so its cluster chain is not trivial).
make_bmp() {
  local out=$1 w=64 h=32 x y
  local data=$((w * 3 * h))
  local file=$((54 + data))
  le32() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))\\x$(printf %02x $((($1 >> 16) & 255)))\\x$(printf %02x $((($1 >> 24) & 255)))"; }
  le16() { printf "\\x$(printf %02x $(($1 & 255)))\\x$(printf %02x $((($1 >> 8) & 255)))"; }
  {
    printf 'BM'; le32 $file; le32 0; le32 54
    le32 40; le32 $w; le32 $h; le16 1; le16 24; le32 0; le32 $data
    le32 2835; le32 2835; le32 0; le32 0
    for ((y = 0; y < h; y++)); do
      for ((x = 0; x < w; x++)); do
        # Blue, green, red.
        printf "\\x$(printf %02x $((x * 4)))\\x$(printf %02x $((y * 8)))\\x$(printf %02x $((255 - x * 2)))"
      done
    done
  } >"$out"
  [ "$(stat -c %s "$out")" -eq "$file" ] || die "BMP generator wrote a wrong size"
}

# Writes COUNT numbered lines with a label.
lines() { seq -f "$2 line %05g: the quick brown fox jumps over the lazy dog" 1 "$1"; }

mkdir -p "$SRC/fat" "$SRC/ntfs"
F=$SRC/fat
printf 'Quarterly report\n\nSales rose in every region this quarter.\nSee the attached figures.\n' >"$F/report.txt"
lines 40 'old-draft' >"$F/old-draft.txt"                    # 2.6 KiB, deleted later
lines 12 'letter-2024' >"$F/letter-2024.txt"
make_bmp "$F/holiday.bmp"
printf 'Shopping: bread, milk, eggs.\nCall the plumber on Monday.\n' >"$F/notes.txt"
lines 8 'meeting' >"$F/Meeting notes March 2024.txt"
lines 20 'cache-one' >"$F/cache1.tmp"                       # deleted with Temp/
lines 30 'cache-two' >"$F/cache2.tmp"                       # deleted with Temp/

N=$SRC/ntfs
printf 'Project alpha\nOwner: the demo team\n' >"$N/readme.txt"      # resident
lines 60 'alpha-plan' >"$N/plan.txt"                                 # 4 KiB
lines 200 'alpha-old-notes' >"$N/old-notes.txt"                      # 14 KiB, deleted later
lines 3200 'big-log' >"$N/big-log.txt"                               # ~200 KiB
printf 'Track 01 - Opening theme\n' >"$N/track01.txt"
printf 'Track 02 - Rainy afternoon\n' >"$N/track02.txt"
printf 'Un caf\xc3\xa9 au lait, s%s vous pla\xc3\xaet.\n' 'il' >"$N/cafe.txt"
printf 'beta todo: nothing left\n' >"$N/todo.txt"                     # deleted with beta/
lines 120 'beta-results' >"$N/results.csv"                           # deleted with beta/

find "$SRC" -type f -exec touch -d "$FIXED_TIME" {} +

# ---------------------------------------------------------------------------
# Raw disk and partition table.
# ---------------------------------------------------------------------------
truncate -s $((DISK_SECTORS * SECTOR)) "$DISK"
sfdisk --quiet "$DISK" <<EOF
label: dos
label-id: 0x44524156
unit: sectors

start=$FAT_START, size=$FAT_SECTORS, type=c
start=$NTFS_START, size=$NTFS_SECTORS, type=7
EOF

# ---------------------------------------------------------------------------
# FAT32 in partition 1, written in place and filled with mtools.
# ---------------------------------------------------------------------------
quiet mkfs.fat -F 32 -S $SECTOR -s 1 -h $FAT_START -g 255/63 --invariant -i 0x1D0CFA70 \
  -n DEMO-FAT --offset=$FAT_START "$DISK" $((FAT_SECTORS * SECTOR / 1024))

export MTOOLS_SKIP_CHECK=1
FATI=("-i" "$DISK@@$FAT_OFFSET")
mmd "${FATI[@]}" ::/Documents ::/Documents/Letters ::/Photos ::/Temp
mcopy -m "${FATI[@]}" "$F/report.txt" "$F/old-draft.txt" ::/Documents/
mcopy -m "${FATI[@]}" "$F/letter-2024.txt" ::/Documents/Letters/
mcopy -m "${FATI[@]}" "$F/holiday.bmp" ::/Photos/
mcopy -m "${FATI[@]}" "$F/notes.txt" "$F/Meeting notes March 2024.txt" ::/
mcopy -m "${FATI[@]}" "$F/cache1.tmp" "$F/cache2.tmp" ::/Temp/
# Deleting last keeps the freed clusters unused, so the data stays in place.
mdel "${FATI[@]}" ::/Documents/old-draft.txt
mdeltree "${FATI[@]}" ::/Temp

# ---------------------------------------------------------------------------
# NTFS in partition 2: formatted in a separate file (the boot sector gets the
# partition's start as its hidden-sector count), filled through ntfs-3g and
# then copied into place.
# ---------------------------------------------------------------------------
truncate -s $((NTFS_SECTORS * SECTOR)) "$NTFS"
# -T fixes the format time, which also makes the volume serial repeatable.
quiet mkntfs -Q -F -T -s $SECTOR -c 4096 -p $NTFS_START -H 255 -S 63 -L DEMO-NTFS "$NTFS"

[ -c /dev/fuse ] || die "/dev/fuse is missing: cannot mount the NTFS volume with ntfs-3g; no image written"
ntfs-3g -o no_detach "$NTFS" "$MNT" >"$WORK/ntfs-3g.log" 2>&1 &
NTFS_PID=$!
for _ in $(seq 100); do
  mountpoint -q "$MNT" && break
  kill -0 "$NTFS_PID" 2>/dev/null || break
  sleep 0.1
done
mountpoint -q "$MNT" || { cat "$WORK/ntfs-3g.log" >&2; die "cannot mount the NTFS volume with ntfs-3g (needs FUSE and the right to mount); no image written"; }
mkdir -p "$MNT/Projects/alpha" "$MNT/Projects/beta" "$MNT/Music" "$MNT/Archive"
cp "$N/readme.txt" "$N/plan.txt" "$N/old-notes.txt" "$MNT/Projects/alpha/"
cp "$N/todo.txt" "$N/results.csv" "$MNT/Projects/beta/"
cp "$N/track01.txt" "$N/track02.txt" "$MNT/Music/"
cp "$N/big-log.txt" "$MNT/Archive/"
cp "$N/cafe.txt" "$MNT/Café.txt"
find "$MNT" -mindepth 1 -exec touch -h -d "$FIXED_TIME" {} +
sync
# As on FAT32, delete last so that no new file reuses the freed records.
rm "$MNT/Projects/alpha/old-notes.txt"
rm -r "$MNT/Projects/beta"
sync
unmount_ntfs
mountpoint -q "$MNT" && die "NTFS volume is still mounted"

dd if="$NTFS" of="$DISK" bs=$SECTOR seek=$NTFS_START conv=notrunc,sparse status=none

# ---------------------------------------------------------------------------
# Dynamic VHDX with 1 MiB blocks: blocks that are all zero stay unallocated.
# ---------------------------------------------------------------------------
mkdir -p "$(dirname "$OUT")"
rm -f "$OUT"
qemu-img convert -f raw -O vhdx -o subformat=dynamic,block_size=1M "$DISK" "$OUT"
qemu-img compare -q -f raw -F vhdx "$DISK" "$OUT" || die "VHDX does not read back as the raw disk"

if [ -n "${KEEP_RAW:-}" ]; then
  cp --sparse=always "$DISK" "$KEEP_RAW"
fi

echo "wrote $OUT: $(stat -c %s "$OUT") bytes"
