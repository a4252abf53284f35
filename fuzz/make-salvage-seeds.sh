#!/usr/bin/env bash
# Writes seeds for dravik_fuzz_salvage into DIR: the structures of a small
# VHDX and a small dynamic VHD that qemu-img made of a FAT disk, as the
# pieces the target's input format places (see FuzzSalvage.cpp).
set -euo pipefail
out=${1:?usage: make-salvage-seeds.sh DIR}
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
truncate -s 8M "$work/disk.raw"
printf 'label: dos\n2048,,6\n' | sfdisk -q "$work/disk.raw"
truncate -s 7M "$work/part.raw"
mkfs.fat -F 16 -s 1 -n SEED "$work/part.raw" >/dev/null
seq 1 5000 >"$work/numbers.txt"
mcopy -i "$work/part.raw" "$work/numbers.txt" ::numbers.txt
dd if="$work/part.raw" of="$work/disk.raw" bs=512 seek=2048 conv=notrunc status=none
qemu-img convert -f raw -O vhdx -o subformat=dynamic,block_size=1M "$work/disk.raw" "$work/disk.vhdx"
qemu-img convert -f raw -O vpc -o subformat=dynamic "$work/disk.raw" "$work/disk.vhd"
python3 - "$work" "$out" <<'PY'
import os, struct, sys
work, out = sys.argv[1], sys.argv[2]
places = [0, 512, 1024, 1536, 2048, 64 << 10, 128 << 10, 192 << 10, 256 << 10, 1 << 20, 2 << 20, 3 << 20,
          4 << 20, 8 << 20, 16 << 20, 24 << 20, 32 << 20]
def place_of(offset):
    if offset in places: return places.index(offset)
    assert offset % 65536 == 0 and len(places) + (offset >> 16) < 256
    return len(places) + (offset >> 16)
def seed(name, image, pieces):
    data = open(image, 'rb').read()
    blob = struct.pack('<I', len(data))
    for offset, length in pieces:
        piece = data[offset:offset + length]
        blob += struct.pack('<BH', place_of(offset), len(piece)) + piece
    open(os.path.join(out, name), 'wb').write(blob)
vhdx = os.path.join(work, 'disk.vhdx')
size = os.path.getsize(vhdx)
blocks = [(o, 1024) for o in range(4 << 20, min(size, 12 << 20), 1 << 20)]
seed('vhdx', vhdx, [(0, 8), (64 << 10, 4096), (128 << 10, 4096), (192 << 10, 4096), (256 << 10, 4096),
                    (2 << 20, 512), (3 << 20, 1024), ((3 << 20) + (64 << 10), 64)] + blocks)
seed('vhd', os.path.join(work, 'disk.vhd'), [(0, 512), (512, 1024), (1536, 512), (2048, 2048)])
# The same VHDX with its BAT lost whole (the file reads zeros there) and
# more of each block, so that the placing by the volume inside reads an
# MBR, a boot sector and FATs.
seed('vhdx-nobat', vhdx, [(0, 8), (64 << 10, 4096), (128 << 10, 4096), (192 << 10, 4096), (256 << 10, 4096),
                          (3 << 20, 1024), ((3 << 20) + (64 << 10), 64)]
     + [(o, 65535) for o in range(4 << 20, min(size, 12 << 20), 1 << 20)])
PY
echo "seeds written to $out"
