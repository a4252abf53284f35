#!/usr/bin/env bash
# Checks that two builds of dravik keep the same scans in the same snapshot
# bytes: each makes snapshots of Quick Scans (FAT16, FAT32 at 512 B, 4 KiB and
# 32 KiB clusters, NTFS in a VHD and a VHDX, both partitions of the large
# disk) and of Extensive Scan extractions (NTFS and FAT, one volume of two),
# and the files are compared byte for byte. Run it before and after a change
# to how records are held.
#
# Usage: scripts/snapshot-bytes.sh OLD_DRAVIK NEW_DRAVIK [FIXTURES]
#   FIXTURES  the build's fixture folder (default: build/fixtures)
set -euo pipefail

old=$1
new=$2
fixtures=${3:-build/fixtures}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

make_snapshots() {
  local dravik=$1 out=$2
  mkdir -p "$out"
  quick() { "$dravik" scan quick "$fixtures/$1" --partition "${3:-0}" --quiet --save-snapshot "$out/$2" >/dev/null 2>&1; }
  extensive() { "$dravik" scan extensive "$fixtures/$1" --fs "$3" --pick "${4:-1}" --quiet --save-snapshot "$out/$2" >/dev/null 2>&1; }
  quick fat/fat16.vhd fat16
  quick fat/fat32.vhdx fat32
  quick fat/fat32-4k.vhd fat32-4k
  quick fat/fat16-32k.raw fat16-32k
  quick ntfs/ntfs.vhd ntfs
  quick ntfs/ntfs.vhdx ntfs-vhdx
  quick large/large.vhdx large-0 0
  quick large/large.vhdx large-1 1
  extensive extensive/ntfsok.vhd extensive-ntfs ntfs
  extensive extensive/ntfspair.vhd extensive-ntfspair ntfs
  extensive extensive/ntfslost.vhd extensive-ntfslost ntfs
  extensive extensive/noroot.vhd extensive-noroot fat32
  extensive extensive/twin.vhd extensive-twin-1 fat32 1
  extensive extensive/twin.vhd extensive-twin-2 fat32 2
  extensive fat/fat16.vhd extensive-fat16 fat16
}

make_snapshots "$old" "$work/old"
make_snapshots "$new" "$work/new"
status=0
for file in "$work"/old/*.dvsf; do
  name=$(basename "$file")
  if cmp -s "$file" "$work/new/$name"; then
    echo "same       $name ($(stat -c %s "$file") bytes)"
  else
    echo "DIFFERENT  $name"
    status=1
  fi
done
exit $status
