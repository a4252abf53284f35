#pragma once
// An ext2/3/4 volume as the placing of lost VHD/VHDX blocks reads it: the
// copies of its superblock placed by the group they name, its folders'
// first blocks by the inode their "." entry names (where a block checksum
// ties the block to this volume and to that inode's generation), its
// journal's superblock where the journal inode puts it, and the disk bytes
// its block bitmaps mark in use.

#include <memory>

#include "disk/PartitionTable.h"
#include "fs/VolumeLayout.h"

namespace dravik::ext {

// Anchors the volume's primary superblock where one lost area holds it,
// then reads the volume as placed so far. Null when the superblock or the
// group descriptors do not read from placed blocks.
std::unique_ptr<VolumeLayout> ReadVolumeLayout(const PartitionEntry& entry, PlacementView& view);

}  // namespace dravik::ext
