#include "fs/extensive/NtfsBootFields.h"

#include "disk/BootSector.h"

namespace dravik {

namespace {

constexpr std::size_t kSectorsPerClusterOffset = 13;
constexpr std::size_t kTotalSectorsOffset = 40;
constexpr std::size_t kMftClusterOffset = 48;
constexpr std::size_t kMirrorClusterOffset = 56;
constexpr std::size_t kIndexClustersOffset = 68;
constexpr std::uint8_t kIndexRecordOf4096 = 0xF4;
constexpr std::uint32_t kSectorsOf4096 = 8;

}  // namespace

std::optional<NtfsBootFields> ReadNtfsBootFields(Bytes sector) {
  NtfsBootFields fields;
  fields.sectorsPerCluster = u8(sector, kSectorsPerClusterOffset);
  fields.totalSectors = le64(sector, kTotalSectorsOffset);
  const std::uint8_t index = u8(sector, kIndexClustersOffset);
  if (!boot::PowerOfTwoClusterSize(fields.sectorsPerCluster) || index == 0 || fields.totalSectors == 0) return std::nullopt;
  fields.indexRecordSectors = index == kIndexRecordOf4096 ? kSectorsOf4096 : index * fields.sectorsPerCluster;
  fields.mftCluster = le64(sector, kMftClusterOffset);
  fields.mirrorCluster = le64(sector, kMirrorClusterOffset);
  return fields;
}

}  // namespace dravik
