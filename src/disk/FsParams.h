#pragma once
// The parameters of the file system being scanned or saved from. Sector
// numbers are absolute on the disk and 64-bit (a VHDX holds up to 64 TB);
// counts within a volume keep the widths of their on-disk fields.

#include <cstdint>

#include "disk/PartitionTable.h"

namespace dravik {

struct FsParams {
  std::uint16_t fsType = 0;  // FsCode
  std::uint64_t partitionStart = 0;
  std::uint64_t partitionSectors = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t reservedSectors = 0;
  std::uint32_t fatSize = 0;       // sectors per FAT
  std::uint64_t firstFatLba = 0;   // 0 = unknown
  std::uint64_t secondFatLba = 0;  // 0 = unknown
  std::uint32_t rootDirSectors = 0;  // FAT16: root entries / 16; FAT32: 0
  std::uint64_t rootStart = 0;       // FAT32: first cluster of the root; FAT16: its first sector
  std::uint64_t clusterBase = 0;     // sector of cluster 0: cluster c starts at clusterBase + c * sectorsPerCluster
  std::uint64_t mftStart = 0;
  std::uint64_t mftMirrorStart = 0;
  std::uint32_t mftRecordSectors = 0;
  std::uint32_t indexRecordSectors = 0;
  std::uint64_t lastSector = 0;  // last sector of the partition or of the searched range
  std::uint64_t fsEnd = 0;       // last sector of a file system found by sector search
  std::uint16_t fsIndex = 0;     // which found file system is being extracted
  // ext: the sector of the superblock copy the volume is read by when a
  // search found it so; 0: its own superblock at partitionStart.
  std::uint64_t superblockSector = 0;

  // The starting point for a partition of the table: type, start, length
  // and last sector.
  static FsParams ForPartition(const PartitionEntry& entry);

  // Clusters from the volume's start to the end of the partition or of the
  // disk, whichever comes first.
  std::uint64_t VolumeClusters(std::uint64_t diskSectors) const;
};

}  // namespace dravik
