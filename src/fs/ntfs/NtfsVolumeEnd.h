#pragma once
// The last sector of an NTFS volume found without its first boot sector,
// from what the volume itself says, so that a volume never takes in the one
// after it:
//   its backup boot sector, found at start + the total sectors it gives:
//     that sector, the volume's last;
//   $BadClus, whose "$Bad" stream is as long as the volume: the last sector
//     of its last cluster (the backup's place lies at most a cluster on),
//     not past limit;
//   $Bitmap, one bit per cluster, rounded up to whole 8-byte words: no
//     further than the clusters it can cover, nor past limit, and no nearer
//     than the highest cluster the volume's records use;
//   else the last sector of the highest cluster the volume's records use;
//   else limit.
// $BadClus and $Bitmap are taken where the volume's MFT keeps them, else as
// the first copy found after the start; the volume's records are those
// whose anchors lie between its start and limit.

#include <cstdint>

#include "fs/extensive/ExtensiveFindings.h"

namespace dravik {

class SectorReader;

struct NtfsVolumeShape {
  std::uint64_t start = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint64_t mftStart = 0;  // the sector of record 0; 0 = unknown
};

// limit: the last sector the volume may reach (the next volume's start - 1,
// or the last sector searched).
std::uint64_t NtfsVolumeEnd(const SectorReader& reader, const ExtensiveFindings& findings,
                            const NtfsVolumeShape& volume, std::uint64_t limit);

}  // namespace dravik
