#pragma once
// A FAT volume as the placing of lost VHD/VHDX blocks reads it: its folders
// placed by the cluster their "." entry names, and the disk bytes its first
// FAT gives to clusters.

#include <memory>

#include "disk/PartitionTable.h"
#include "fs/VolumeLayout.h"

namespace dravik::fat {

// Null when the volume's parameters do not read from its boot sector.
std::unique_ptr<VolumeLayout> ReadVolumeLayout(const PartitionEntry& entry, PlacementView& view);

}  // namespace dravik::fat
