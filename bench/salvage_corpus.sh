#!/usr/bin/env bash
# Salvage from damaged containers: dravik against 7-Zip and qemu-img + Sleuth
# Kit on a corpus of VHDX and VHD images, each with one structure broken.
#
# Usage:
#   bench/salvage_corpus.sh [WORKDIR]
#
#   WORKDIR   where everything is made (default: a new folder from mktemp);
#             at the end only salvage_table.md, the two manifests and the
#             per-case logs are left in it (KEEP=1 keeps everything)
#
# Environment:
#   DRAVIK    the dravik binary (default: build/dravik, else
#             build/src/cli/dravik); copied into WORKDIR at the start, so a
#             rebuild during the run does not mix two binaries
#   JOBS      cases run at the same time (default: 2)
#   TIMEOUT   seconds allowed to each tool run (default: 120)
#   KEEP      1 keeps the disks, containers and every tool's output
#   ONLY      an extended regular expression: only the cases whose
#             "DISK KIND CASE" matches it run (e.g. ONLY='fat vhdx bat')
#
# What it does:
#   1. Two 64 MiB raw disks, each with an MBR (sfdisk) and one partition from
#      sector 2048 to the end: one NTFS (mkntfs, filled through an ntfs-3g FUSE
#      mount, or with ntfscp into the root folder when FUSE cannot be used),
#      one FAT32 (mkfs.fat, filled with mtools). The files (about 180 a disk,
#      1 byte to 3 MiB, folders three deep) come from python3's random with a
#      fixed seed; NAME.manifest lists each as PATH<TAB>SHA256.
#   2. Each disk wrapped by qemu-img as a dynamic VHDX with 2 MiB blocks
#      (qemu-img would pick 8 MiB for a disk this small; 2 MiB gives the
#      block table 32 entries to damage), a dynamic VHD and a fixed VHD.
#   3. Damaged copies, one structure broken in each (see the case list below
#      and damage.py), plus each container undamaged as a control.
#   4. Each case given to
#        dravik    scan quick IMAGE --recover OUT --report REPORT; when that
#                  saves no file and the CLI knows --as-raw, again with
#                  --as-raw ("road" says which worked); the image's SHA-256 is
#                  taken before and after (it must not change);
#        7-Zip     7zz x -y -oOUT IMAGE; when no file of the manifest comes
#                  out, the largest file extracted is extracted in turn (two
#                  more levels at most);
#        qemu-img  qemu-img convert -O raw IMAGE (format probed, as a user
#        + tsk     would), mmls for the partition's start (2048 when mmls
#                  finds none), tsk_recover -e -o START.
#   5. Counts, per tool, the manifest's files found byte-identical (SHA-256)
#      at their path under the output (below whatever top folder the tool
#      adds), those found at their path with other bytes ("differ"), and for
#      dravik how many of the files not identical its report names.
#   Prints the Markdown table and writes it to WORKDIR/salvage_table.md.
# About three minutes with two jobs. Only measures: a tool that saves nothing
# is a figure, not an error; the script fails only when it cannot make the
# corpus or a tool is missing.

set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
JOBS=${JOBS:-2}
TIMEOUT=${TIMEOUT:-120}
KEEP=${KEEP:-0}
ONLY=${ONLY:-}
MiB=$((1024 * 1024))
START=2048                               # first sector of each partition
DISK_BYTES=$((64 * MiB))
PART_SECTORS=$((DISK_BYTES / 512 - START))
# Largest file any tool may write (ulimit -f, KiB): far above the largest
# legitimate output (a 64 MiB raw disk), low enough that a container claiming
# an absurd size cannot fill the file system.
FILE_LIMIT_KIB=$((256 * 1024))

die() { echo "salvage_corpus: $*" >&2; exit 1; }

for tool in python3 sfdisk mkntfs ntfscp mkfs.fat mmd mcopy qemu-img 7zz mmls tsk_recover sha256sum timeout; do
  command -v "$tool" >/dev/null || die "needs $tool"
done
if [[ -z ${DRAVIK:-} ]]; then
  for candidate in "$ROOT/build/dravik" "$ROOT/build/src/cli/dravik"; do
    [[ -x $candidate ]] && { DRAVIK=$candidate; break; }
  done
fi
# The binary may be momentarily missing while it is being rebuilt.
for _ in $(seq 24); do
  [[ -n ${DRAVIK:-} && -x $DRAVIK ]] && break
  echo "salvage_corpus: waiting for a dravik binary (set DRAVIK to choose one)" >&2
  sleep 5
  for candidate in "$ROOT/build/dravik" "$ROOT/build/src/cli/dravik"; do
    [[ -x $candidate ]] && { DRAVIK=$candidate; break; }
  done
done
[[ -n ${DRAVIK:-} && -x $DRAVIK ]] || die "no dravik binary (build first, or set DRAVIK)"

if [[ $# -ge 1 ]]; then
  WORK=$1
  mkdir -p "$WORK"
else
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/salvage-corpus.XXXXXX")
fi
WORK=$(cd "$WORK" && pwd)
BULKY=(tools bin src disks containers run rows)
for d in "${BULKY[@]}" logs; do rm -rf "${WORK:?}/$d"; done
mkdir -p "$WORK"/{tools,bin,src,disks,containers,run,rows,logs}

source "$ROOT/tests/fixtures/ntfs-mount.sh"
cleanup() {
  local status=$?
  ntfs_unmount
  local pids
  pids=$(jobs -pr)
  [[ -n $pids ]] && kill $pids 2>/dev/null
  wait 2>/dev/null
  if [[ $KEEP != 1 ]]; then
    for d in "${BULKY[@]}"; do rm -rf "${WORK:?}/$d"; done
  fi
  exit "$status"
}
trap cleanup EXIT

cp "$DRAVIK" "$WORK/bin/dravik"
DRAVIK_RUN=$WORK/bin/dravik
AS_RAW=0
if "$DRAVIK_RUN" scan --help 2>&1 | grep -- '--as-raw' >/dev/null; then AS_RAW=1; fi  # no -q: an early exit would fail the pipe

# ---------------------------------------------------------------------------
# Helpers in python3, written once into WORK/tools.

# gen.py ROOT MANIFEST ORDER SEED [flat]: writes the file tree under ROOT,
# its manifest, and in ORDER the paths in the order they were written (the
# FAT volume is filled in that order, so its layout is the same every run).
cat >"$WORK/tools/gen.py" <<'PY'
import hashlib, math, os, random, sys

root, manifest, order, seed = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
flat = len(sys.argv) > 5 and sys.argv[5] == "flat"
rng = random.Random(seed)
MiB = 1024 * 1024
COUNT = 180
BUDGET = 36 * MiB          # leaves room for the file system's own structures

folders = ["", "Documents", "Documents/Reports", "Documents/Reports/Quarterly",
           "Photos", "Photos/Holiday 2023", "Photos/Holiday 2023/Day Three",
           "Source Code", "Source Code/Library", "Source Code/Library/Internal",
           "Archive", "Archive/Old Mail"]
stems = ["Report", "Invoice", "Picture", "Notes", "Backup", "Dataset", "Letter", "Sheet", "Module"]
exts = [".txt", ".bin", ".dat", ".jpg", ".docx", ".csv", ".log"]
words = b"alpha beta gamma delta sector cluster volume record index block table disk".split()

def text(size):
    out = bytearray()
    while len(out) < size:
        out += b" ".join(rng.choice(words) for _ in range(10)) + b"\n"
    return bytes(out[:size])

# Edge sizes first (one byte, around a sector, a cluster, the largest), then
# sizes spread evenly on a log scale from 1 byte to 3 MiB.
sizes = [1, 2, 511, 512, 513, 4095, 4096, 4097, 65537, 3 * MiB]
while len(sizes) < COUNT:
    sizes.append(max(1, int(math.exp(rng.uniform(0, math.log(3 * MiB))))))
total = 0
entries = []
for i, size in enumerate(sizes):
    size = min(size, max(1, BUDGET - total))
    total += size
    folder = rng.choice(folders)
    name = "%s-%03d%s" % (rng.choice(stems), i, rng.choice(exts))
    rel = "/".join(p for p in (folder, name) if p)
    if flat:
        rel = rel.replace("/", "_")
    kind = rng.randrange(3)
    if kind == 0:
        data = rng.randbytes(size)
    elif kind == 1:
        data = text(size)
    else:
        data = (text(size // 2) + rng.randbytes(size - size // 2))[:size]
    full = os.path.join(root, rel)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as f:
        f.write(data)
    entries.append((rel, hashlib.sha256(data).hexdigest()))
with open(order, "w") as f:
    for rel, _ in entries:
        f.write(rel + "\n")
with open(manifest, "w") as f:
    for rel, digest in sorted(entries):
        f.write("%s\t%s\n" % (rel, digest))
PY

# damage.py KIND CASE FILE: breaks one structure of the container in place
# and says on standard output what it changed. Fails when the structure is
# not where it should be, so a case never passes off an intact image as
# damaged.
cat >"$WORK/tools/damage.py" <<'PY'
import os, random, struct, sys, uuid

kind, case, path = sys.argv[1:4]
rng = random.Random(7)
KiB = 1024

def fail(message):
    sys.exit("damage.py: %s: %s" % (path, message))

f = open(path, "r+b")
size = os.path.getsize(path)

def read(offset, length):
    f.seek(offset)
    return f.read(length)

def write(offset, data):
    f.seek(offset)
    f.write(data)

def zero(offset, length):
    write(offset, bytes(length))

def cut(fraction):
    new = int(size * fraction) // 512 * 512
    f.truncate(new)
    print("cut from %d to %d bytes" % (size, new))

def tenth(indices):
    """A tenth (at least one) of the given entry indices, drawn with a fixed seed."""
    if not indices:
        fail("no present block to damage")
    return sorted(rng.sample(indices, max(1, len(indices) // 10)))

if case == "control":
    print("unchanged")

elif kind == "vhdx":
    if read(0, 8) != b"vhdxfile":
        fail("no VHDX file type identifier")
    REGION = 192 * KiB, 256 * KiB
    BAT_GUID = uuid.UUID("2DC27766-F623-4200-9D64-115E9BFD4A08").bytes_le
    META_GUID = uuid.UUID("8B7CA206-4790-4B9A-B8FE-575F050F886E").bytes_le
    FILE_PARAMETERS = uuid.UUID("CAA16737-FA36-4D43-B3B6-33F0AA44E76B").bytes_le
    VIRTUAL_SIZE = uuid.UUID("2FA54224-CD1B-4876-B211-5DBED83BF4B8").bytes_le
    LOGICAL_SECTOR = uuid.UUID("8141BF1D-A96F-4709-BA47-F233A8FAAB5F").bytes_le

    table = read(REGION[0], 64 * KiB)
    if table[:4] != b"regi":
        fail("no region table at 192 KiB")
    regions = {}
    for i in range(struct.unpack_from("<I", table, 8)[0]):
        guid, offset, length, _ = struct.unpack_from("<16sQII", table, 16 + 32 * i)
        regions[guid] = (offset, length)
    if BAT_GUID not in regions or META_GUID not in regions:
        fail("region table lacks the BAT or the metadata region")
    meta_offset, meta_length = regions[META_GUID]
    bat_offset, bat_length = regions[BAT_GUID]

    meta = read(meta_offset, 64 * KiB)
    if meta[:8] != b"metadata":
        fail("no metadata table at %d" % meta_offset)
    items = {}
    for i in range(struct.unpack_from("<H", meta, 10)[0]):
        guid, offset, length = struct.unpack_from("<16sII", meta, 32 + 32 * i)
        items[guid] = (meta_offset + offset, length)
    for needed in (FILE_PARAMETERS, VIRTUAL_SIZE, LOGICAL_SECTOR):
        if needed not in items:
            fail("metadata lacks an item the disk needs")
    block_size = struct.unpack("<I", read(items[FILE_PARAMETERS][0], 4))[0]
    virtual_size = struct.unpack("<Q", read(items[VIRTUAL_SIZE][0], 8))[0]
    sector = struct.unpack("<I", read(items[LOGICAL_SECTOR][0], 4))[0]
    # Payload block i sits at BAT index i + i // chunk ratio: after every
    # chunk-ratio payload entries comes one sector-bitmap entry.
    chunk_ratio = (1 << 23) * sector // block_size
    payload_blocks = -(-virtual_size // block_size)
    payload_index = [i + i // chunk_ratio for i in range(payload_blocks)]
    bat = read(bat_offset, 8 * (payload_index[-1] + 1))
    present = [j for j in payload_index if struct.unpack_from("<Q", bat, 8 * j)[0] & 7 in (6, 7)]

    if case == "headers":
        zero(64 * KiB, 128 * KiB)
        print("zeroed both header slots (64 KiB to 192 KiB)")
    elif case == "ftid":
        zero(0, 8)
        print("zeroed the file type identifier")
    elif case == "region1":
        zero(REGION[0], 64 * KiB)
        print("zeroed region table 1 (192 KiB, 64 KiB)")
    elif case == "regions":
        zero(REGION[0], 128 * KiB)
        print("zeroed both region tables (192 KiB and 256 KiB)")
    elif case == "metadata-table":
        zero(meta_offset, 64 * KiB)
        print("zeroed the metadata table at %d" % meta_offset)
    elif case == "meta-blocksize":
        write(items[FILE_PARAMETERS][0], struct.pack("<I", 1 * 1024 * KiB))
        print("block size %d -> 1 MiB (at %d)" % (block_size, items[FILE_PARAMETERS][0]))
    elif case == "meta-virtualsize":
        write(items[VIRTUAL_SIZE][0], struct.pack("<Q", 1 << 62))
        print("virtual size %d -> 2^62 (at %d)" % (virtual_size, items[VIRTUAL_SIZE][0]))
    elif case == "bat-zero10":
        chosen = tenth(present)
        for j in chosen:
            zero(bat_offset + 8 * j, 8)
        print("zeroed BAT entries %s of %d present" % (chosen, len(present)))
    elif case == "bat-random10":
        chosen = tenth(present)
        for j in chosen:
            write(bat_offset + 8 * j, rng.randbytes(8))
        print("random values in BAT entries %s of %d present" % (chosen, len(present)))
    elif case == "bat-all":
        zero(bat_offset, bat_length)
        print("zeroed the whole BAT region (%d bytes at %d; %d blocks were present)"
              % (bat_length, bat_offset, len(present)))
    elif case == "cut70":
        cut(0.7)
    elif case == "cut40":
        cut(0.4)
    else:
        fail("unknown case " + case)

elif kind == "vhd-dynamic":
    footer = read(0, 512)
    if footer[:8] != b"conectix" or read(size - 512, 8) != b"conectix":
        fail("no footer and copy")
    header_offset = struct.unpack_from(">Q", footer, 16)[0]
    header = read(header_offset, 1024)
    if header[:8] != b"cxsparse":
        fail("no dynamic header at %d" % header_offset)
    table_offset = struct.unpack_from(">Q", header, 16)[0]
    entries = struct.unpack_from(">I", header, 28)[0]
    bat = read(table_offset, 4 * entries)
    present = [i for i in range(entries) if struct.unpack_from(">I", bat, 4 * i)[0] != 0xFFFFFFFF]
    if case == "footer":
        zero(size - 512, 512)
        print("zeroed the footer at the end")
    elif case == "footers":
        zero(size - 512, 512)
        zero(0, 512)
        print("zeroed the footer at the end and its copy at 0")
    elif case == "dynheader":
        zero(header_offset, 1024)
        print("zeroed the dynamic header at %d" % header_offset)
    elif case == "bat-all":
        zero(table_offset, 4 * entries)
        print("zeroed all %d BAT entries at %d (%d were present)" % (entries, table_offset, len(present)))
    elif case == "bat-zero10":
        chosen = tenth(present)
        for i in chosen:
            zero(table_offset + 4 * i, 4)
        print("zeroed BAT entries %s of %d present" % (chosen, len(present)))
    elif case == "cut70":
        cut(0.7)
    else:
        fail("unknown case " + case)

elif kind == "vhd-fixed":
    if read(size - 512, 8) != b"conectix":
        fail("no footer at the end")
    if case == "footer":
        zero(size - 512, 512)
        print("zeroed the footer")
    elif case == "cut70":
        cut(0.7)
    else:
        fail("unknown case " + case)
else:
    fail("unknown kind " + kind)
f.close()
PY

# count.py MANIFEST OUT [REPORT]: prints "identical differ located named
# notidentical" for the manifest's files under OUT. The files are looked for
# below the top folder that places the most manifest paths (a tool may add
# its own folders above the volume's root); "located" counts paths found
# there at all, "named" the files not identical that REPORT (dravik's save
# report) names, "-" without a report.
cat >"$WORK/tools/count.py" <<'PY'
import collections, hashlib, json, os, sys

manifest_path, out = sys.argv[1], sys.argv[2]
report_path = sys.argv[3] if len(sys.argv) > 3 else None
manifest = [line.rstrip("\n").split("\t") for line in open(manifest_path, encoding="utf-8") if line.strip()]

present = {}
for dirpath, _, files in os.walk(out):
    for name in files:
        full = os.path.join(dirpath, name)
        if os.path.isfile(full) and not os.path.islink(full):
            present[os.path.relpath(full, out).replace(os.sep, "/")] = full
by_name = collections.defaultdict(list)
for rel in present:
    by_name[rel.rsplit("/", 1)[-1]].append(rel)

votes = collections.Counter()
for rel, _ in manifest:
    for candidate in by_name.get(rel.rsplit("/", 1)[-1], []):
        if candidate == rel or candidate.endswith("/" + rel):
            votes[candidate[: len(candidate) - len(rel)]] += 1
prefix = min(votes, key=lambda p: (-votes[p], len(p))) if votes else ""

def sha256(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()

identical = differ = 0
not_identical = []
for rel, digest in manifest:
    full = present.get(prefix + rel)
    if full is None:
        not_identical.append(rel)
    elif sha256(full) == digest:
        identical += 1
    else:
        differ += 1
        not_identical.append(rel)

named = "-"
if report_path and os.path.isfile(report_path):
    try:
        report = json.load(open(report_path, encoding="utf-8"))
    except ValueError:
        report = {}
    listed = set()
    for key in ("files", "problems"):
        for item in report.get(key, []) if isinstance(report, dict) else []:
            p = item.get("path") if isinstance(item, dict) else None
            if isinstance(p, str):
                p = p.replace("\\", "/").lstrip("/")
                if p.endswith(".partial"):
                    p = p[: -len(".partial")]
                listed.add(p)
    def is_named(rel):
        return any(p == rel or p.endswith("/" + rel) for p in listed)
    named = sum(1 for rel in not_identical if is_named(rel))
print(identical, differ, votes[prefix] if votes else 0, named, len(not_identical))
PY

# ---------------------------------------------------------------------------
# 1. The source disks.

echo "== making the source disks in $WORK"
VOL=$WORK/disks/volume

# NTFS: the volume is made in a file of the partition's size (so its boot
# sector copy lands in its last sector) and written into the disk afterwards.
truncate -s $((PART_SECTORS * 512)) "$VOL"
mkntfs -Q -F -q -p "$START" -H 255 -S 63 -L SALVAGE "$VOL" >"$WORK/logs/mkntfs.log" 2>&1 ||
  { cat "$WORK/logs/mkntfs.log" >&2; die "mkntfs failed"; }
NTFS_FILL=fuse
if ! (ntfs_mount "$VOL" "$WORK/disks/probe" && ntfs_unmount) >/dev/null 2>&1; then
  NTFS_FILL=ntfscp
fi
if [[ $NTFS_FILL == fuse ]]; then
  # Written straight into the mount, one file after the other.
  ntfs_mount "$VOL" "$WORK/disks/mnt"
  python3 "$WORK/tools/gen.py" "$WORK/disks/mnt" "$WORK/ntfs.manifest" "$WORK/src/ntfs.order" 20240611
  ntfs_unmount
else
  # ntfscp makes files but no folders: the tree is laid out flat in the root.
  echo "   (ntfs-3g cannot mount here: files written flat with ntfscp)"
  python3 "$WORK/tools/gen.py" "$WORK/src/ntfs" "$WORK/ntfs.manifest" "$WORK/src/ntfs.order" 20240611 flat
  while IFS= read -r rel; do
    ntfscp -q "$VOL" "$WORK/src/ntfs/$rel" "$rel"
  done <"$WORK/src/ntfs.order"
fi
rmdir "$WORK/disks/probe" "$WORK/disks/mnt" 2>/dev/null || true
truncate -s "$DISK_BYTES" "$WORK/disks/ntfs.raw"
printf 'label: dos\n%s,%s,7\n' "$START" "$PART_SECTORS" | sfdisk -q "$WORK/disks/ntfs.raw"
dd if="$VOL" of="$WORK/disks/ntfs.raw" bs=1M seek=$((START * 512)) oflag=seek_bytes \
  conv=notrunc,sparse status=none
rm "$VOL"

# FAT32: 512-byte clusters, so a 63 MiB volume has the clusters FAT32 needs.
python3 "$WORK/tools/gen.py" "$WORK/src/fat" "$WORK/fat.manifest" "$WORK/src/fat.order" 20240612
truncate -s $((PART_SECTORS * 512)) "$VOL"
mkfs.fat -F 32 -s 1 -i 5A1FA6E0 -n SALVAGE "$VOL" >"$WORK/logs/mkfs.fat.log" 2>&1 ||
  { cat "$WORK/logs/mkfs.fat.log" >&2; die "mkfs.fat failed"; }
export MTOOLS_SKIP_CHECK=1
declare -A made_folder=()
while IFS= read -r rel; do
  folder=
  IFS=/ read -ra parts <<<"$(dirname "$rel")"
  for part in "${parts[@]}"; do
    [[ $part == . ]] && continue
    folder+=/$part
    [[ -n ${made_folder[$folder]:-} ]] && continue
    mmd -i "$VOL" "::$folder"
    made_folder[$folder]=1
  done
  mcopy -Q -i "$VOL" "$WORK/src/fat/$rel" "::/$rel"
done <"$WORK/src/fat.order"
truncate -s "$DISK_BYTES" "$WORK/disks/fat.raw"
printf 'label: dos\n%s,%s,c\n' "$START" "$PART_SECTORS" | sfdisk -q "$WORK/disks/fat.raw"
dd if="$VOL" of="$WORK/disks/fat.raw" bs=1M seek=$((START * 512)) oflag=seek_bytes \
  conv=notrunc,sparse status=none
rm -rf "$VOL" "$WORK/src"
echo "   ntfs: $(wc -l <"$WORK/ntfs.manifest") files ($NTFS_FILL), fat: $(wc -l <"$WORK/fat.manifest") files"

# ---------------------------------------------------------------------------
# 2. The containers.

for disk in ntfs fat; do
  qemu-img convert -f raw -O vhdx -o subformat=dynamic,block_size=2M "$WORK/disks/$disk.raw" "$WORK/containers/$disk.vhdx"
  qemu-img convert -f raw -O vpc -o subformat=dynamic "$WORK/disks/$disk.raw" "$WORK/containers/$disk-dynamic.vhd"
  qemu-img convert -f raw -O vpc -o subformat=fixed "$WORK/disks/$disk.raw" "$WORK/containers/$disk-fixed.vhd"
done
[[ $KEEP == 1 ]] || rm -f "$WORK"/disks/*.raw

# ---------------------------------------------------------------------------
# 3. and 4. The cases: DISK KIND CASE DESCRIPTION.

CASES=()
for disk in ntfs fat; do
  CASES+=(
    "$disk|vhdx|control|undamaged (control)"
    "$disk|vhdx|headers|both headers zeroed"
    "$disk|vhdx|ftid|file type identifier zeroed"
    "$disk|vhdx|region1|region table 1 zeroed"
    "$disk|vhdx|regions|both region tables zeroed"
    "$disk|vhdx|metadata-table|metadata table zeroed"
    "$disk|vhdx|meta-blocksize|metadata: block size 1 MiB"
    "$disk|vhdx|meta-virtualsize|metadata: virtual size 2^62"
    "$disk|vhdx|bat-zero10|10 % of present BAT entries zeroed"
    "$disk|vhdx|bat-random10|10 % of present BAT entries random"
    "$disk|vhdx|bat-all|whole BAT zeroed"
    "$disk|vhdx|cut70|cut at 70 %"
    "$disk|vhdx|cut40|cut at 40 %"
    "$disk|vhd-dynamic|control|undamaged (control)"
    "$disk|vhd-dynamic|footer|footer zeroed"
    "$disk|vhd-dynamic|footers|footer and its copy zeroed"
    "$disk|vhd-dynamic|dynheader|dynamic header zeroed"
    "$disk|vhd-dynamic|bat-all|whole BAT zeroed"
    "$disk|vhd-dynamic|bat-zero10|10 % of present BAT entries zeroed"
    "$disk|vhd-dynamic|cut70|cut at 70 %"
    "$disk|vhd-fixed|control|undamaged (control)"
    "$disk|vhd-fixed|footer|footer zeroed"
    "$disk|vhd-fixed|cut70|cut at 70 %"
  )
done

container_of() {  # DISK KIND -> path
  case $2 in
    vhdx) echo "$WORK/containers/$1.vhdx" ;;
    vhd-dynamic) echo "$WORK/containers/$1-dynamic.vhd" ;;
    vhd-fixed) echo "$WORK/containers/$1-fixed.vhd" ;;
  esac
}

# limited SECONDS LOG COMMAND...: runs the command with a time limit and a
# limit on the size of every file it writes, its output appended to LOG;
# returns its exit status.
limited() {
  local seconds=$1 log=$2
  shift 2
  local rc=0
  echo "\$ $*" >>"$log"
  (ulimit -f "$FILE_LIMIT_KIB"; exec timeout "$seconds" "$@") </dev/null >>"$log" 2>&1 || rc=$?
  echo "[exit $rc]" >>"$log"
  return "$rc"
}

file_count() { find "$1" -type f 2>/dev/null | wc -l; }

# cell IDENTICAL DIFFER: a tool's cell, "N" or "N (+K differ)".
cell() { if [[ $2 -gt 0 ]]; then echo "$1 (+$2 differ)"; else echo "$1"; fi; }

run_case() {
  local index=$1 disk=$2 kind=$3 damage=$4 what=$5
  local dir=$WORK/run/$index log
  log=$WORK/logs/$(printf '%02d' "$index")-$disk-$kind-$damage.log
  local manifest=$WORK/$disk.manifest
  local files
  files=$(wc -l <"$manifest")
  local source ext
  source=$(container_of "$disk" "$kind")
  ext=${source##*.}
  local image=$dir/image.$ext
  mkdir -p "$dir"
  cp --sparse=always "$source" "$image"
  { echo "== $disk $kind $damage: $what"; python3 "$WORK/tools/damage.py" "$kind" "$damage" "$image"; } >>"$log"

  # dravik: Quick Scan of partition 0, then the raw road when nothing came out.
  local before after intact road=none rc
  before=$(sha256sum "$image" | cut -d' ' -f1)
  rc=0; limited "$TIMEOUT" "$log" "$DRAVIK_RUN" scan quick "$image" --recover "$dir/dravik" \
    --report "$dir/dravik.json" --quiet || rc=$?
  local timed_out=""
  [[ $rc == 124 ]] && timed_out=" timeout"
  if [[ $(file_count "$dir/dravik") -gt 0 ]]; then
    road=quick
  elif [[ $AS_RAW == 1 ]]; then
    rm -rf "$dir/dravik" "$dir/dravik.json"
    rc=0; limited "$TIMEOUT" "$log" "$DRAVIK_RUN" scan quick "$image" --as-raw --recover "$dir/dravik" \
      --report "$dir/dravik.json" --quiet || rc=$?
    [[ $rc == 124 ]] && timed_out="$timed_out timeout"
    [[ $(file_count "$dir/dravik") -gt 0 ]] && road=as-raw
  fi
  road=$road$timed_out
  after=$(sha256sum "$image" | cut -d' ' -f1)
  if [[ $before == "$after" ]]; then intact=yes; else intact=CHANGED; fi
  local d_identical d_differ d_located d_named d_rest
  read -r d_identical d_differ d_located d_named d_rest < <(
    python3 "$WORK/tools/count.py" "$manifest" "$dir/dravik" "$dir/dravik.json")
  [[ -f $dir/dravik.json ]] && { echo "report:"; cat "$dir/dravik.json"; echo; } >>"$log"
  [[ $KEEP == 1 ]] || rm -rf "$dir/dravik"

  # 7-Zip: the image, then (when no manifest file came out) the largest file
  # extracted, two levels at most.
  local z_identical z_differ z_located z_named z_rest level inner last=$dir/7zip/level1
  limited "$TIMEOUT" "$log" 7zz x -y -bd "-o$last" "$image" || true
  for level in 2 3; do
    read -r z_identical z_differ z_located z_named z_rest < <(
      python3 "$WORK/tools/count.py" "$manifest" "$dir/7zip")
    [[ $z_located -gt 0 ]] && break
    inner=$( (find "$last" -type f -size +1M -printf '%s\t%p\n' 2>/dev/null || true) | sort -rn | head -1 | cut -f2-)
    [[ -n $inner ]] || break
    last=$dir/7zip/level$level
    limited "$TIMEOUT" "$log" 7zz x -y -bd "-o$last" "$inner" || true
  done
  read -r z_identical z_differ z_located z_named z_rest < <(
    python3 "$WORK/tools/count.py" "$manifest" "$dir/7zip")
  [[ $KEEP == 1 ]] || rm -rf "$dir/7zip"

  # qemu-img + Sleuth Kit.
  local t_identical=0 t_differ=0 t_located t_named t_rest note="" format start
  format=$( (timeout "$TIMEOUT" qemu-img info --output=json "$image" 2>/dev/null || true) |
    python3 -c 'import json,sys
try: print(json.load(sys.stdin)["format"])
except Exception: print("?")')
  case $format in
    vhdx) [[ $kind == vhdx ]] || note="read as $format" ;;
    vpc) [[ $kind == vhd-* ]] || note="read as $format" ;;
    \?) ;;                      # qemu-img cannot open it: the convert says so
    *) note="read as $format" ;;
  esac
  if limited "$TIMEOUT" "$log" qemu-img convert -O raw "$image" "$dir/disk.raw"; then
    start=$(mmls "$dir/disk.raw" 2>>"$log" | awk '$2 ~ /^[0-9]+:[0-9]+$/ { print $3 + 0; exit }') || true
    if [[ -z $start ]]; then
      start=$START
      note="${note:+$note, }no table: start $START"
    fi
    limited "$TIMEOUT" "$log" tsk_recover -e -o "$start" "$dir/disk.raw" "$dir/tsk" || true
    read -r t_identical t_differ t_located t_named t_rest < <(
      python3 "$WORK/tools/count.py" "$manifest" "$dir/tsk")
  else
    note="${note:+$note, }convert failed"
  fi
  [[ $KEEP == 1 ]] || rm -rf "$dir"

  local tsk
  tsk=$(cell "$t_identical" "$t_differ")
  printf '| %s %s: %s | %s | %s | %s | %s | %s | %s | %s |\n' \
    "$disk" "$kind" "$what" "$files" "$(cell "$d_identical" "$d_differ")" \
    "$d_named of $d_rest" "$road" "$intact" "$(cell "$z_identical" "$z_differ")" \
    "$tsk${note:+ ($note)}" >"$WORK/rows/$(printf '%02d' "$index")"
}

echo "== ${#CASES[@]} cases, $JOBS at a time (dravik: $DRAVIK; --as-raw: $([[ $AS_RAW == 1 ]] && echo yes || echo no))"
began=$SECONDS
index=0
for entry in "${CASES[@]}"; do
  index=$((index + 1))
  IFS='|' read -r disk kind damage what <<<"$entry"
  [[ -z $ONLY || "$disk $kind $damage" =~ $ONLY ]] || continue
  while [[ $(jobs -pr | wc -l) -ge $JOBS ]]; do wait -n || true; done
  run_case "$index" "$disk" "$kind" "$damage" "$what" &
done
wait || true

# ---------------------------------------------------------------------------
# 5. The table.

{
  echo "Files recovered byte-identical (SHA-256 against the manifest) at their path."
  echo "\"differ\": at their path with other bytes. \"named\": of the files dravik did"
  echo "not save identical, how many its --report lists. \"road\": the Quick Scan"
  echo "that saved files (quick, as-raw; none). \"image\": unchanged by dravik."
  echo
  echo "| case | files | dravik | dravik named | road | image | 7-Zip | qemu-img + tsk |"
  echo "|---|---|---|---|---|---|---|---|"
  index=0
  for entry in "${CASES[@]}"; do
    index=$((index + 1))
    row=$WORK/rows/$(printf '%02d' "$index")
    IFS='|' read -r disk kind damage what <<<"$entry"
    [[ -z $ONLY || "$disk $kind $damage" =~ $ONLY ]] || continue
    if [[ -s $row ]]; then
      cat "$row"
    else
      echo "| $disk $kind: $what | | case did not finish (see logs) | | | | | |"
    fi
  done
} >"$WORK/salvage_table.md"
cat "$WORK/salvage_table.md"
echo
echo "$((SECONDS - began)) s for the cases; table in $WORK/salvage_table.md, logs in $WORK/logs"
# Reading must never write: an image dravik changed is a fault, not a figure.
changed=$(cat "$WORK"/rows/* 2>/dev/null | grep -c '| CHANGED |' || true)
[[ $changed -eq 0 ]] || die "dravik changed $changed of the images it read"
