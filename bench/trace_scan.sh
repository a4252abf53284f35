#!/usr/bin/env bash
# File Trace speed, from one run each with the image in the page cache, on
# the 2 GiB dynamic VHDX of bench/ntfs_scan_save.sh (an NTFS volume with
# 100,021 files and 1 GiB of larger ones), which bench/ntfs_image.sh makes
# when it is missing (about 3 minutes, 4.5 GiB in WORKDIR).
#
# Usage:
#   bench/trace_scan.sh [WORKDIR]
#
# Environment:
#   DRAVIK    the dravik binary to time (default: build/dravik)
#   TYPES     the extensions sought (default: twenty common ones)
#
# It prints:
#   cat                  cat IMAGE >/dev/null: the ceiling
#   scan trace           dravik scan trace IMAGE --types TYPES --list of the
#                        partition; throughput against cat (target >= 0.8)
#   every type           the same with every type of the catalogue chosen
#                        (dravik types), hits inside found files left out as
#                        by default (target >= 0.6)
#   photorec             PhotoRec's search of the raw copy for the same kinds
#                        (photorec /cmd RAW partition_none,options,paranoid_no,
#                        fileopt,everything,disable,KINDS,search), when testdisk is
#                        installed (the script installs it with apt-get when it
#                        can); target: dravik faster
# Only measures: a figure off its target is reported, never an error.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORKDIR=${1:-$ROOT/build/bench-ntfs}
DRAVIK=${DRAVIK:-$ROOT/build/dravik}
TYPES=${TYPES:-.jpg,.png,.gif,.bmp,.tif,.pdf,.zip,.gz,.bz2,.7z,.rar,.doc,.xls,.ppt,.wav,.mp3,.mp4,.avi,.exe,.sqlite}
IMAGE=$WORKDIR/ntfs-bench.vhdx
RAW=$WORKDIR/ntfs-bench.raw

[ -x "$DRAVIK" ] || { echo "trace_scan: no dravik at $DRAVIK (run ./run or set DRAVIK)" >&2; exit 1; }
"$ROOT/bench/ntfs_image.sh" "$WORKDIR"
if ! command -v photorec >/dev/null; then
  apt-get install -y -qq testdisk >/dev/null 2>&1 || true
fi

seconds() {
  local t
  t=$(mktemp)
  /usr/bin/time -o "$t" -f '%e' "$@" >/dev/null 2>&1 || true
  tail -1 "$t"
  rm -f "$t"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

cat "$IMAGE" >/dev/null
"$DRAVIK" scan trace "$IMAGE" --types "$TYPES" --list --quiet >/dev/null
cat_s=$(seconds cat "$IMAGE")
trace_s=$(seconds "$DRAVIK" scan trace "$IMAGE" --types "$TYPES" --list --quiet)
hits=$("$DRAVIK" scan trace "$IMAGE" --types "$TYPES" --list --quiet | wc -l)
r=$(ratio "$cat_s" "$trace_s")
echo "== File Trace of $(du -h --apparent-size "$IMAGE" | cut -f1) ($(basename "$IMAGE")), one run each, page cache warm"
printf '   %-14s %6s s\n' "cat" "$cat_s"
printf '   %-14s %6s s   dravik/cat = %s  target >= 0.80  %s   (%d files found)\n' "scan trace" "$trace_s" "$r" \
  "$(awk -v r="$r" 'BEGIN { print (r >= 0.8 ? "met" : "MISSED") }')" "$hits"
every=$("$DRAVIK" types | cut -f2 | sort -u | paste -sd, -)
every_s=$(seconds "$DRAVIK" scan trace "$IMAGE" --types "$every" --list --quiet)
every_hits=$("$DRAVIK" scan trace "$IMAGE" --types "$every" --list --quiet | wc -l)
r=$(ratio "$cat_s" "$every_s")
printf '   %-14s %6s s   dravik/cat = %s  target >= 0.60  %s   (%d files found)\n' "every type" "$every_s" "$r" \
  "$(awk -v r="$r" 'BEGIN { print (r >= 0.6 ? "met" : "MISSED") }')" "$every_hits"
if command -v photorec >/dev/null && [ -f "$RAW" ]; then
  out=$(mktemp -d "$WORKDIR/photorec.XXXXXX")
  kinds="jpg,enable,png,enable,gif,enable,bmp,enable,tif,enable,pdf,enable,zip,enable,gz,enable,bz2,enable,7z,enable,rar,enable,doc,enable,riff,enable,mp3,enable,mov,enable,exe,enable,sqlite,enable"
  cat "$RAW" >/dev/null
  pr_s=$(cd "$out" && seconds photorec /d "$out/found" /cmd "$RAW" \
    "partition_none,options,paranoid_no,fileopt,everything,disable,$kinds,search")
  rm -rf "$out"
  if awk -v t="${pr_s:-0}" 'BEGIN { exit !(t < 0.05) }'; then
    echo "   photorec       did not run its search (check: photorec /d DIR /cmd $RAW ...)"
  else
    printf '   %-14s %6s s   (the raw copy)   dravik faster: %s\n' "photorec" "$pr_s" \
      "$(awk -v a="$trace_s" -v b="$pr_s" 'BEGIN { print (a < b ? "met" : "MISSED") }')"
  fi
else
  echo "   photorec       not measured (testdisk not installed, or no raw copy)"
fi
