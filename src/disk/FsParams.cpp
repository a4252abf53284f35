#include "disk/FsParams.h"

namespace dravik {

FsParams FsParams::ForPartition(const PartitionEntry& entry) {
  FsParams params;
  params.fsType = entry.code;
  params.partitionStart = entry.start;
  params.partitionSectors = entry.sectors;
  params.lastSector = entry.sectors ? entry.start + entry.sectors - 1 : entry.start;
  return params;
}

}  // namespace dravik
