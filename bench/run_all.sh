#!/usr/bin/env bash
# Builds dravik for speed and runs every benchmark, printing the figures.
#
# Usage:
#   bench/run_all.sh [WORKDIR]
#
#   WORKDIR   where the benchmark images are made and kept between runs
#             (default: build/bench-images under the repository, the same
#             place bench/cat_throughput.sh uses, so both share the images)
#
# Environment: RUNS and COLD are passed on to bench/cat_throughput.sh, RUNS
# also to bench/sparse_partitions.sh.
#
# Steps:
#   1. configures and builds build-bench/ (Release, no tests, benchmarks on);
#   2. makes the open-benchmark images once with qemu-img: a 64 TB dynamic
#      VHDX as qemu-img makes it by default (64 MiB blocks), the same with
#      8 MiB blocks (eight times the block table, to show how opening scales),
#      and a 2040 GiB dynamic VHD, the largest a VHD can describe; all nearly
#      empty, about 100 MiB on disk together;
#   3. runs build-bench/bench/dravik_bench_open on them (time per open);
#   4. runs bench/cat_throughput.sh (whole-disk read against cat and qemu-img);
#   5. runs bench/sparse_partitions.sh (dravik info and dravik partitions on an
#      empty 64 TB VHDX and on a 2 TB VHDX with data at both ends);
#   6. runs bench/trace_scan.sh (File Trace against PhotoRec on the trace
#      fixture's disk, and against cat and PhotoRec on the NTFS image) and
#      bench/gui_scan.sh (the desktop program's Quick Scan against the command
#      line's, its longest event-loop gap, and a folder of 200,000 files), both
#      on the NTFS image of bench/ntfs_image.sh in bench-ntfs beside WORKDIR;
#   7. runs bench/sector_walk.sh (the Extensive Scan searches and File Trace
#      on every core and on one, against cat) on the same image.
# Takes a few minutes the first time (build and images), about three after that.
# Only measures: a figure off its target is reported, never an error.

set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
WORKDIR=${1:-$ROOT/build/bench-images}
BUILD=$ROOT/build-bench

command -v qemu-img >/dev/null || { echo "run_all: needs qemu-img" >&2; exit 1; }

echo "== build ($BUILD, Release)"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDRAVIK_BUILD_TESTS=OFF \
  -DDRAVIK_BUILD_BENCH=ON >/dev/null
ninja -C "$BUILD" dravik_cli dravik_bench_open >/dev/null
echo

mkdir -p "$WORKDIR"
WORKDIR=$(cd "$WORKDIR" && pwd)

# make_image NAME FORMAT SIZE [OPTIONS]: created under a temporary name and
# renamed, so an interrupted run never leaves a half-made image behind.
make_image() {
  local name=$1 format=$2 size=$3 options=${4:-}
  [[ -s $WORKDIR/$name ]] && return
  local temporary=$WORKDIR/tmp.$name
  qemu-img create -q -f "$format" ${options:+-o "$options"} "$temporary" "$size"
  mv "$temporary" "$WORKDIR/$name"
}
make_image open-64T.vhdx vhdx 64T
make_image open-64T-8MiB-blocks.vhdx vhdx 64T block_size=8M
# force_size keeps the size as asked; qemu-img otherwise rounds it to a CHS geometry.
make_image open-2040G.vhd vpc 2040G subformat=dynamic,force_size=on

echo "== open: VirtualDisk opening large empty dynamic images (page cache warm)"
OPEN_CSV=$(mktemp)
trap 'rm -f "$OPEN_CSV"' EXIT
"$BUILD/bench/dravik_bench_open" --benchmark_out="$OPEN_CSV" --benchmark_out_format=csv \
  "$WORKDIR/open-64T.vhdx" "$WORKDIR/open-64T-8MiB-blocks.vhdx" "$WORKDIR/open-2040G.vhd"
# The CSV's columns: name, iterations, real_time, cpu_time, time_unit, ...
awk -F, '$1 ~ /open-64T.vhdx/ {
  ms = $3; if ($5 == "\"us\"" || $5 == "us") ms /= 1000; if ($5 == "\"ns\"" || $5 == "ns") ms /= 1e6
  printf "64 TB VHDX open: %.2f ms per open; target under 50 ms: %s\n", ms, (ms < 50 ? "met" : "missed")
}' "$OPEN_CSV"
echo

echo "== cat: whole-disk read throughput"
DRAVIK=$BUILD/dravik "$ROOT/bench/cat_throughput.sh" "$WORKDIR"
echo

echo "== partitions: searching large sparse VHDX images without a table"
DRAVIK=$BUILD/dravik "$ROOT/bench/sparse_partitions.sh" "$WORKDIR"
echo

echo "== File Trace against cat and PhotoRec"
DRAVIK=$BUILD/dravik "$ROOT/bench/trace_scan.sh" "$WORKDIR/../bench-ntfs"
echo

echo "== the sector walk on every core and on one"
DRAVIK=$BUILD/dravik "$ROOT/bench/sector_walk.sh" "$WORKDIR/../bench-ntfs"
echo

echo "== desktop program: Quick Scan to results, event-loop gap, a folder of 200,000 files"
BUILD=$BUILD "$ROOT/bench/gui_scan.sh" "$WORKDIR/../bench-ntfs" || echo "   not measured (see above)"
echo; DRAVIK=$BUILD/dravik "$ROOT/bench/salvage_corpus.sh" "$WORKDIR/../bench-salvage" || echo "   salvage corpus not measured (see above)"
