#pragma once
// An NTFS volume as the placing of lost VHD/VHDX blocks reads it: its MFT
// records placed by their record numbers, its index buffers by their folder
// and VCN, and the disk bytes its MFT's runs keep data in.

#include <memory>

#include "disk/PartitionTable.h"
#include "fs/VolumeLayout.h"

namespace dravik::ntfs {

// Anchors the volume's backup boot sector and its MFT's first record where
// one lost area holds them, then reads the MFT as placed so far. Null when
// the boot sector or the MFT's first record does not read.
std::unique_ptr<VolumeLayout> ReadVolumeLayout(const PartitionEntry& entry, PlacementView& view);

}  // namespace dravik::ntfs
