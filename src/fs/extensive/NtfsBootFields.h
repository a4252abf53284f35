#pragma once
// The fields of an NTFS boot sector (or of its backup in the volume's last
// sector) that tell where the volume and its MFT lie.
//
//   13 sectors per cluster   40 total sectors (the backup lies at start +
//   total)   48 MFT cluster   56 mirror cluster   68 clusters per index
//   record (0xF4, -12: records of 2^12 bytes)

#include <cstdint>
#include <optional>

#include "util/Bytes.h"

namespace dravik {

struct NtfsBootFields {
  std::uint32_t sectorsPerCluster = 0;
  std::uint64_t totalSectors = 0;
  std::uint64_t mftCluster = 0;
  std::uint64_t mirrorCluster = 0;
  std::uint32_t indexRecordSectors = 0;
};

// The fields, when the cluster size is a power of two from 1 to 128 sectors
// and neither the total nor the index record size is 0.
std::optional<NtfsBootFields> ReadNtfsBootFields(Bytes sector);


}  // namespace dravik
