#!/usr/bin/env bash
# Whole-disk read throughput of `dravik cat` against two peers, on a dynamic
# VHD and a dynamic VHDX that each hold about 1.2 GiB of allocated data with
# absent blocks between, and on a VHDX that `qemu-img convert -O vhdx` made
# from 1.5 GiB of random data (16 MiB blocks, every one allocated, lying in
# the file in disk order).
#
# Usage:
#   bench/cat_throughput.sh [WORKDIR]
#
#   WORKDIR   where the images are made and kept between runs
#             (default: build/bench-images under the repository)
#
# Environment:
#   DRAVIK    the dravik binary to time (default: build/dravik)
#   RUNS      timed runs per command after one warm-up run (default: 10)
#   COLD=1    drop the image's pages from the page cache before every run
#             (GNU dd iflag=nocache), to time reads from the storage instead;
#             needs hyperfine. On a VM the host's cache makes these figures noisy.
#
# For each image it times, with the file in the page cache (unless COLD=1):
#   dravik    dravik cat IMAGE >/dev/null
#   cat       cat IMAGE >/dev/null   (the same file read as it lies: the ceiling)
#   qemu-img  qemu-img convert -n -f FMT IMAGE --target-image-opts driver=null-co,...
#             qemu-img's whole-image read, written to its discarding null driver.
#             (qemu-img dd cannot write to /dev/null or a pipe: it insists on
#             creating and sizing its output, and a tmpfs file would add a copy
#             the others do not pay.)
# MiB/s is the image FILE's size over the time, the same yardstick for all three
# tools, so the ratios are plain time ratios. The virtual disk is larger than
# the file (its absent blocks read as zeros), which dravik and qemu-img both
# produce and cat does not.
#
# Before the timings, dravik's output is compared byte for byte with
# qemu-img's raw conversion of the same image, so a fast but wrong read shows.
#
# The images take about 4 GiB in WORKDIR; the comparison needs about 1.5 GiB
# more while it runs, in /dev/shm when it has room, else in WORKDIR. This
# script only measures: it never fails on a figure.

set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORKDIR=${1:-$ROOT/build/bench-images}
DRAVIK=${DRAVIK:-$ROOT/build/dravik}
RUNS=${RUNS:-10}
COLD=${COLD:-0}

MiB=$((1024 * 1024))
VIRTUAL_MIB=1536

die() { echo "cat_throughput: $*" >&2; exit 1; }

for tool in qemu-img openssl cmp awk; do
  command -v "$tool" >/dev/null || die "needs $tool"
done
[[ $COLD != 1 ]] || command -v hyperfine >/dev/null || die "COLD=1 needs hyperfine"
[[ -x $DRAVIK ]] || die "no dravik binary at $DRAVIK (build first, or set DRAVIK)"
mkdir -p "$WORKDIR"
WORKDIR=$(cd "$WORKDIR" && pwd)

# Writes LENGTH MiB of keyed pseudo-random bytes at OFFSET MiB of FILE. The
# stream is repeatable (AES-CTR over zeros) and has no zero runs, so every
# block it touches is allocated in the converted images. The generator is
# endless and ends on SIGPIPE once head has enough, hence the || true.
noise() { openssl enc -aes-128-ctr -nosalt -K "$1" -iv 0 -in /dev/zero 2>/dev/null || true; }
write_noise() {
  local file=$1 offset_mib=$2 length_mib=$3 key=$4
  noise "$key" | head -c $((length_mib * MiB)) |
    dd of="$file" bs=1M seek="$offset_mib" conv=notrunc iflag=fullblock status=none
}

# The raw layout (1536 MiB):
#   0    .. 640  MiB  data
#   640  .. 896  MiB  never written: absent blocks
#   896  .. 1472 MiB  data
#   1500 MiB + 12345 bytes, 100 KiB of data: a partly written block
# so 1216 MiB of data in all, and the reads cross absent blocks and a block
# whose start is zeros.
make_images() {
  local raw=$WORKDIR/cat-source.raw
  echo "making the images in $WORKDIR (once) ..." >&2
  rm -f "$raw" "$WORKDIR"/cat.vhd* "$WORKDIR"/cat.tmp.*
  truncate -s "${VIRTUAL_MIB}M" "$raw"
  write_noise "$raw" 0 640 0123456789abcdef0123456789abcdef
  write_noise "$raw" 896 576 fedcba9876543210fedcba9876543210
  noise 00112233445566778899aabbccddeeff | head -c $((100 * 1024)) |
    dd of="$raw" bs=1 seek=$((1500 * MiB + 12345)) conv=notrunc status=none
  # force_size keeps the VHD's size exact instead of rounding it to a CHS geometry.
  qemu-img convert -q -f raw -O vpc -o subformat=dynamic,force_size=on "$raw" "$WORKDIR/cat.tmp.vhd"
  qemu-img convert -q -f raw -O vhdx -o subformat=dynamic "$raw" "$WORKDIR/cat.tmp.vhdx"
  rm -f "$raw"
  mv "$WORKDIR/cat.tmp.vhd" "$WORKDIR/cat.vhd"
  mv "$WORKDIR/cat.tmp.vhdx" "$WORKDIR/cat.vhdx"
}

# 1536 MiB of noise, converted with qemu-img's defaults.
make_random_image() {
  local raw=$WORKDIR/cat-random.raw
  echo "making the random image in $WORKDIR (once) ..." >&2
  rm -f "$raw" "$WORKDIR"/cat-random.tmp.vhdx
  noise 0f1e2d3c4b5a69788796a5b4c3d2e1f0 | head -c $((VIRTUAL_MIB * MiB)) > "$raw"
  qemu-img convert -q -f raw -O vhdx "$raw" "$WORKDIR/cat-random.tmp.vhdx"
  rm -f "$raw"
  mv "$WORKDIR/cat-random.tmp.vhdx" "$WORKDIR/cat-random.vhdx"
}

[[ -s $WORKDIR/cat.vhd && -s $WORKDIR/cat.vhdx ]] || make_images
[[ -s $WORKDIR/cat-random.vhdx ]] || make_random_image

VHD=$WORKDIR/cat.vhd
VHDX=$WORKDIR/cat.vhdx
RANDOM_VHDX=$WORKDIR/cat-random.vhdx
IMAGES=("$VHD" "$VHDX" "$RANDOM_VHDX")
format_of() { [[ $1 == *.vhdx ]] && echo vhdx || echo vpc; }
file_bytes() { stat -c %s "$1"; }
virtual_bytes() {
  qemu-img info -f "$(format_of "$1")" --output=json "$1" | awk -F'[:,]' '/"virtual-size"/ {gsub(/ /, "", $2); print $2; exit}'
}
qemu_read_cmd() {
  echo "qemu-img convert -n -f $(format_of "$1") '$1' --target-image-opts driver=null-co,size=$(virtual_bytes "$1")"
}

# --- correctness: dravik's bytes against qemu-img's, once per run -----------
# dravik cat writes through a pipe here, which takes kernel copies as
# /dev/null does.
# The raw copy goes to memory when there is room for it, to spare the disk.
check_dir() {
  local avail_kib
  avail_kib=$(df -Pk /dev/shm 2>/dev/null | awk 'NR == 2 {print $4}')
  if [[ -w /dev/shm && ${avail_kib:-0} -gt $((3 * 1024 * 1024)) ]]; then echo /dev/shm; else echo "$WORKDIR"; fi
}
CHECK_RAW=$(check_dir)/dravik-bench-check.$$.raw
trap 'rm -f "$CHECK_RAW"' EXIT

verify() {
  local image=$1 raw=$CHECK_RAW
  rm -f "$raw"
  qemu-img convert -q -f "$(format_of "$image")" -O raw "$image" "$raw"
  local verdict
  if cmp -s "$raw" <("$DRAVIK" cat "$image"); then
    verdict="identical to qemu-img's raw conversion ($(virtual_bytes "$image") bytes)"
  else
    verdict="DIFFERS from qemu-img's raw conversion: $(cmp "$raw" <("$DRAVIK" cat "$image") 2>&1 | head -1)"
  fi
  rm -f "$raw"
  echo "$verdict"
}

# --- timing --------------------------------------------------------------------
# Mean seconds of RUNS runs of a command reading IMAGE after one warm-up,
# output to /dev/null. Paths in the command are single-quoted, which both
# hyperfine's word splitting and eval understand.
time_command() {
  local image=$1 cmd=$2
  if command -v hyperfine >/dev/null; then
    local csv prepare=()
    csv=$(mktemp)
    if [[ $COLD == 1 ]]; then prepare=(--prepare "dd 'if=$image' iflag=nocache count=0 status=none"); fi
    # A plain name keeps commas in the command out of the CSV.
    hyperfine -N --style none --warmup 1 --runs "$RUNS" "${prepare[@]}" --export-csv "$csv" -n timed "$cmd" >/dev/null
    awk -F, 'NR == 2 {print $2}' "$csv"
    rm -f "$csv"
  else
    local i start end
    eval "$cmd" >/dev/null
    start=$(date +%s.%N)
    for ((i = 0; i < RUNS; i++)); do eval "$cmd" >/dev/null; done
    end=$(date +%s.%N)
    awk -v s="$start" -v e="$end" -v n="$RUNS" 'BEGIN {printf "%.6f\n", (e - s) / n}'
  fi
}

echo "dravik:   $DRAVIK"
echo "images:   $WORKDIR"
for image in "${IMAGES[@]}"; do
  printf '  %-16s file %6.1f MiB, virtual disk %6.1f MiB\n' "$(basename "$image")" \
    "$(awk -v b="$(file_bytes "$image")" 'BEGIN {print b / 1048576}')" \
    "$(awk -v b="$(virtual_bytes "$image")" 'BEGIN {print b / 1048576}')"
done
echo
echo "correctness (dravik cat against qemu-img convert -O raw):"
for image in "${IMAGES[@]}"; do
  printf '  %-16s %s\n' "$(basename "$image")" "$(verify "$image")"
done
echo

# Warm the page cache so all three tools read from memory.
cat "${IMAGES[@]}" >/dev/null

declare -A SECONDS_OF
for image in "${IMAGES[@]}"; do
  name=$(basename "$image")
  SECONDS_OF[$name/dravik]=$(time_command "$image" "'$DRAVIK' cat '$image'")
  SECONDS_OF[$name/cat]=$(time_command "$image" "cat '$image'")
  SECONDS_OF[$name/qemu-img]=$(time_command "$image" "$(qemu_read_cmd "$image")")
done

cache="page cache warm"
if [[ $COLD == 1 ]]; then cache="image dropped from the page cache before each run"; fi
echo "throughput, $cache, mean of $RUNS runs after 1 warm-up (MiB/s = image file MiB / s):"
printf '  %-16s %-9s %9s %9s\n' image tool seconds MiB/s
for image in "${IMAGES[@]}"; do
  name=$(basename "$image")
  for tool in dravik cat qemu-img; do
    awk -v n="$name" -v t="$tool" -v s="${SECONDS_OF[$name/$tool]}" -v b="$(file_bytes "$image")" \
      'BEGIN {printf "  %-16s %-9s %9.3f %9.0f\n", n, t, s, b / 1048576 / s}'
  done
done
echo
echo "ratios (dravik throughput / peer throughput):"
printf '  %-16s %-16s %s\n' image dravik/cat dravik/qemu-img
for image in "${IMAGES[@]}"; do
  name=$(basename "$image")
  awk -v n="$name" -v d="${SECONDS_OF[$name/dravik]}" -v c="${SECONDS_OF[$name/cat]}" \
    -v q="${SECONDS_OF[$name/qemu-img]}" 'BEGIN {
      rc = c / d; rq = q / d
      goal = n == "cat-random.vhdx" ? 0.90 : 0.80
      printf "  %-16s %5.2fx %-9s %5.2fx %s\n", n, rc, (rc >= goal ? "(met)" : "(missed)"), rq, (rq > 1.0 ? "(met)" : "(missed)")
    }'
done
echo "  targets: dravik/cat >= 0.90x on cat-random.vhdx and >= 0.80x on the others, dravik/qemu-img > 1.00x"
echo "  (standard output is /dev/null for every tool: dravik copies the blocks that lie in the file as they are"
echo "   with sendfile, which /dev/null takes; cat reads and writes through a buffer)"
