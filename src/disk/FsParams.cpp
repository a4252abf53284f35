#include "disk/FsParams.h"

#include <algorithm>

namespace dravik {

FsParams FsParams::ForPartition(const PartitionEntry& entry) {
  FsParams params;
  params.fsType = entry.code;
  params.partitionStart = entry.start;
  params.partitionSectors = entry.sectors;
  params.lastSector = entry.sectors ? entry.start + entry.sectors - 1 : entry.start;
  return params;
}

std::uint64_t FsParams::VolumeClusters(std::uint64_t diskSectors) const {
  if (sectorsPerCluster == 0) return 0;
  std::uint64_t end = diskSectors;
  if (partitionSectors) end = std::min(end, std::uint64_t{partitionStart} + partitionSectors);
  return end > clusterBase ? (end - clusterBase) / sectorsPerCluster : 0;
}

}  // namespace dravik
