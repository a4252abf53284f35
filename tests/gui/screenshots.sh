#!/usr/bin/env bash
# One PNG per wizard page of dravik-vhd on the demo image, at 100 % and at
# 200 % scale, under Xvfb when it is there (else on the offscreen platform).
#
#   tests/gui/screenshots.sh [BUILD_DIR] [IMAGE]
#
# Writes BUILD_DIR/screenshots/scale-1 and scale-2 (BUILD_DIR defaults to
# build/). Build first (./test builds dravik_gui_screens).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=${1:-$ROOT/build}
IMAGE=${2:-$ROOT/samples/demo.vhdx}
SCREENS=$BUILD/tests/dravik_gui_screens
[ -x "$SCREENS" ] || { echo "screenshots: build $SCREENS first" >&2; exit 1; }
for scale in 1 2; do
  out=$BUILD/screenshots/scale-$scale
  rm -rf "$out"
  if command -v xvfb-run >/dev/null; then
    QT_SCALE_FACTOR=$scale xvfb-run -a -s "-screen 0 2560x1600x24" "$SCREENS" "$IMAGE" "$out"
  else
    QT_SCALE_FACTOR=$scale QT_QPA_PLATFORM=offscreen "$SCREENS" "$IMAGE" "$out"
  fi
done
