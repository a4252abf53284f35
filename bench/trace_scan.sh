#!/usr/bin/env bash
# File Trace against PhotoRec on the trace fixture's disk, then File Trace
# speed, from one run each with the image in the page cache, on the 2 GiB
# dynamic VHDX of bench/ntfs_scan_save.sh (an NTFS volume with
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
# It prints, first, a table for the disk of tests/fixtures/make-trace-fixtures.sh
# (made in WORKDIR/trace-corpus; its manifest names each file's type, first
# sector, size and checksum), searched by dravik scan trace --whole-disk with
# every type of the catalogue and by PhotoRec on the raw copy, written out
# in full so that reading it costs every reader the same (photorec /cmd RAW
# partition_none,fileopt,everything,enable,blocksize,512,wholespace,search),
# per tool:
#   found                files with a found file at their first sector
#   right type           of those, named with the file's own extension; and
#                        the types all of whose files are (target >= 47 of 49
#                        types, scaled to the manifest's count)
#   saved exactly        saved bytes equal to the original; PhotoRec's also
#                        once cut to the original's size
#   false finds          found files at sectors where no file of the manifest
#                        begins; dravik's also with --keep-inner-hits, the
#                        count before hits inside found files were left out
#                        (target: at most half of that)
#   every type           dravik's throughput against cat on the raw copy,
#                        ten runs each (target >= 0.6), and PhotoRec's
# Targets are scaled from 51 files: found >= 49/51, saved exactly >= 42/51.
# Then:
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
every=$("$DRAVIK" types | cut -f2 | sort -u | paste -sd, -)

# The corpus: the trace fixture's disk and its raw copy.
corpus=$WORKDIR/trace-corpus
mkdir -p "$WORKDIR"
"$ROOT/tests/fixtures/make-trace-fixtures.sh" "$corpus"
[ "$corpus/trace.raw" -nt "$corpus/trace.vhdx" ] ||
  qemu-img convert -S 0 -f vhdx -O raw "$corpus/trace.vhdx" "$corpus/trace.raw"  # every byte written
runs=$(mktemp -d "$WORKDIR/trace-runs.XXXXXX")
trap 'rm -rf "$runs"' EXIT
# Dravik: the listing gives each found file's first sector and name, the
# recovered folder its bytes (the same numbering in both runs).
"$DRAVIK" scan trace --quiet --whole-disk --list --types "$every" "$corpus/trace.vhdx" >"$runs/dravik.list"
"$DRAVIK" scan trace --quiet --whole-disk --list --keep-inner-hits --types "$every" "$corpus/trace.vhdx" \
  >"$runs/dravik-inner.list"
"$DRAVIK" scan trace --quiet --whole-disk --types "$every" --recover "$runs/dravik" "$corpus/trace.vhdx" >/dev/null
: >"$runs/dravik.found"
while IFS=$'\t' read -r _ sector path; do
  name=${path##*/}
  printf '%s\t%s\t%s\n' "$sector" "$name" "$runs/dravik/$name" >>"$runs/dravik.found"
done <"$runs/dravik.list"
# PhotoRec names each file f<first sector>[_<name>].<extension>.
: >"$runs/photorec.found"
if command -v photorec >/dev/null; then
  cat "$corpus/trace.raw" >/dev/null
  corpus_pr=$(cd "$runs" && seconds photorec /log /d "$runs/photorec" /cmd "$corpus/trace.raw" \
    partition_none,fileopt,everything,enable,blocksize,512,wholespace,search)
  for f in "$runs"/photorec.*/f*; do
    [ -f "$f" ] || continue
    name=${f##*/}
    sector=${name#f}
    sector=${sector%%[._]*}
    printf '%s\t%s\t%s\n' "$((10#$sector))" "$name" "$f" >>"$runs/photorec.found"
  done
fi
python3 - "$corpus/trace.manifest" "$runs" <<'PY'
import hashlib, os, sys
manifest, runs = sys.argv[1], sys.argv[2]
files = []
for line in open(manifest):
    ext, sector, place, size, sha, name = line.rstrip("\n").split("\t")
    files.append((ext.lower(), int(sector), int(size), sha, name))
starts = {f[1] for f in files}
types = sorted({f[0] for f in files})

def digest(path, limit=None):
    with open(path, "rb") as fh:
        return hashlib.sha256(fh.read() if limit is None else fh.read(limit)).hexdigest()

def measure(tool):
    found = {}
    for line in open(os.path.join(runs, tool + ".found")):
        sector, name, path = line.rstrip("\n").split("\t")
        found[int(sector)] = (name, path)
    at = right = exact = cut = 0
    wrong, missed, inexact = [], [], []
    type_ok = {t: True for t in types}
    for ext, sector, size, sha, name in files:
        hit = found.get(sector)
        if hit is None:
            missed.append(name)
            type_ok[ext] = False
            continue
        at += 1
        if hit[0].lower().endswith(ext):
            right += 1
        else:
            wrong.append(name + "->" + hit[0].rsplit(".", 1)[-1])
            type_ok[ext] = False
        if digest(hit[1]) == sha:
            exact += 1
        else:
            inexact.append(name)
        if digest(hit[1], size) == sha:
            cut += 1
    false = sum(1 for s in found if s not in starts)
    return dict(at=at, right=right, types=sum(type_ok.values()), exact=exact, cut=cut, false=false,
                wrong=wrong, missed=missed, inexact=inexact, count=len(found))

n, t = len(files), len(types)
d = measure("dravik")
p = measure("photorec")
inner = sum(1 for line in open(os.path.join(runs, "dravik-inner.list")) if int(line.split("\t")[1]) not in starts)
met = lambda ok: "met" if ok else "MISSED"
need_found = -(-49 * n // 51)
need_exact = -(-42 * n // 51)
need_types = -(-47 * t // 49)
print(f"== File Trace against PhotoRec: {n} files of {t} types (tests/fixtures/make-trace-fixtures.sh)")
print(f"   {'':34} {'dravik':>8} {'photorec':>9}   target (dravik)")
print(f"   {'found at their first sector':34} {d['at']:>8} {p['at']:>9}   >= {need_found}  {met(d['at'] >= need_found)}")
print(f"   {'  with the right extension':34} {d['right']:>8} {p['right']:>9}")
print(f"   {'types with every file right':34} {d['types']:>8} {p['types']:>9}   >= {need_types} of {t}  "
      f"{met(d['types'] >= need_types)}")
print(f"   {'saved bytes equal the original':34} {d['exact']:>8} {p['exact']:>9}   >= {need_exact}  "
      f"{met(d['exact'] >= need_exact)}")
print(f"   {'  once cut to the original size':34} {d['cut']:>8} {p['cut']:>9}")
print(f"   {'false finds (no file begins there)':34} {d['false']:>8} {p['false']:>9}   <= {inner // 2} "
      f"(half of {inner} with inner hits kept)  {met(d['false'] <= inner // 2)}")
for tool, m in (("dravik", d), ("photorec", p)):
    if m["missed"]: print(f"   {tool} missed: {' '.join(m['missed'])}")
    if m["wrong"]: print(f"   {tool} wrong type: {' '.join(m['wrong'])}")
    if m["inexact"]: print(f"   {tool} not exact: {' '.join(m['inexact'])}")
PY
cat "$corpus/trace.raw" >/dev/null
corpus_cat=$(seconds sh -c "for i in 1 2 3 4 5 6 7 8 9 10; do cat '$corpus/trace.raw' >/dev/null; done")
corpus_trace=$(seconds sh -c "for i in 1 2 3 4 5 6 7 8 9 10; do '$DRAVIK' scan trace --quiet --whole-disk --list \
  --types '$every' '$corpus/trace.raw' >/dev/null; done")
r=$(ratio "$corpus_cat" "$corpus_trace")
printf '   %-34s dravik/cat = %s  target >= 0.60  %s  (ten runs of the raw copy: cat %s s, dravik %s s)\n' \
  "every type" "$r" "$(awk -v r="$r" 'BEGIN { print (r >= 0.6 ? "met" : "MISSED") }')" "$corpus_cat" "$corpus_trace"
[ -z "${corpus_pr:-}" ] || printf '   %-34s photorec/cat = %s (one run: %s s)\n' "" \
  "$(ratio "$(awk -v t="$corpus_cat" 'BEGIN { print t / 10 }')" "$corpus_pr")" "$corpus_pr"
echo

"$ROOT/bench/ntfs_image.sh" "$WORKDIR"


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
