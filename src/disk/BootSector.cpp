#include "disk/BootSector.h"

#include "disk/PartitionTable.h"
#include "disk/SectorReader.h"
#include "util/Diagnostics.h"

namespace dravik::boot {

namespace {

Name ReadName(Bytes sector, std::size_t offset) {
  Name name{};
  for (std::size_t i = 0; i < kNameLength; ++i) name[i] = static_cast<char>(u8(sector, offset + i));
  return name;
}

}  // namespace

BootSector Decode(Bytes sector) {
  BootSector b;
  b.oemName = ReadName(sector, kOemNameOffset);
  b.bytesPerSector = le16(sector, kBytesPerSectorOffset);
  b.sectorsPerCluster = u8(sector, kSectorsPerClusterOffset);
  b.reservedSectors = le16(sector, kReservedSectorsOffset);
  b.fatCount = u8(sector, kFatCountOffset);
  b.rootEntries = le16(sector, kRootEntriesOffset);
  b.totalSectors16 = le16(sector, kTotalSectors16Offset);
  b.media = u8(sector, kMediaOffset);
  b.fatSize16 = le16(sector, kFatSize16Offset);
  b.hiddenSectors = le32(sector, kHiddenSectorsOffset);
  b.totalSectors32 = le32(sector, kTotalSectors32Offset);
  b.fatSize32 = le32(sector, kFatSize32Offset);
  b.totalSectors64 = le64(sector, kNtfsTotalSectorsOffset);
  b.rootCluster = le32(sector, kRootClusterOffset);
  b.mftCluster = le64(sector, kMftClusterOffset);
  b.mirrorCluster = le64(sector, kMirrorClusterOffset);
  b.clustersPerMftRecord = static_cast<std::int8_t>(u8(sector, kMftRecordClustersOffset));
  b.clustersPerIndexRecord = static_cast<std::int8_t>(u8(sector, kIndexRecordClustersOffset));
  b.indexRecordUnused = le32(sector, kIndexRecordClustersOffset) >> 8;
  b.fat16Type = ReadName(sector, kFat16TypeOffset);
  b.fat32Type = ReadName(sector, kFat32TypeOffset);
  b.signature = HasSignature(sector);
  return b;
}

bool HasSignature(Bytes sector) { return u8(sector, kSignatureOffset) == 0x55 && u8(sector, kSignatureOffset + 1) == 0xAA; }

bool HasEitherSignatureByte(Bytes sector) {
  return u8(sector, kSignatureOffset) == 0x55 || u8(sector, kSignatureOffset + 1) == 0xAA;
}

bool HasFat32Digits(Bytes sector) { return HasAscii(sector, kFat32TypeOffset + kTypeDigitsOffset, "32"); }
bool HasFat16Digits(Bytes sector) { return HasAscii(sector, kFat16TypeOffset + kTypeDigitsOffset, "16"); }
bool HasNtfsName(Bytes sector) { return HasAscii(sector, kOemNameOffset, "NTFS"); }

std::uint16_t FsCodeFromLabels(Bytes sector) {
  if (HasAscii(sector, kFat32TypeOffset, "FAT32")) return kFat32;
  if (HasAscii(sector, kFat16TypeOffset, "FAT16")) return kFat16;
  if (HasNtfsName(sector)) return kNtfs;
  return 0;
}

bool LooksLikeGptHeader(Bytes sector) { return HasAscii(sector, 0, "EFI") && HasAscii(sector, 4, "PART"); }

bool IsFatBootSector(Bytes sector) {
  return sector.size() >= kSectorSize && HasSignature(sector) && (HasFat32Digits(sector) || HasFat16Digits(sector));
}

bool IsNtfsBootSector(Bytes sector) {
  return sector.size() >= kSectorSize && HasSignature(sector) && HasNtfsName(sector);
}

std::string ClusterSizeProblem(std::uint64_t sectors) {
  const std::string field = "sectors per cluster " + std::to_string(sectors);
  if (sectors == 0) return field + " is 0";
  if (sectors > 128) return field + " is more than 128";
  if ((sectors & (sectors - 1)) != 0) return field + " is not a power of two";
  return {};
}

bool CheckSignature(Bytes sector, std::uint64_t lba, Diagnostics& diagnostics) {
  if (HasSignature(sector)) return true;
  diagnostics.Add(lba, "no boot sector: bytes 510 and 511 are not 55 AA",
                  "the boot sector was overwritten, or the partition does not start here");
  return false;
}

bool CheckClusterSize(std::uint64_t sectors, std::uint64_t lba, Diagnostics& diagnostics) {
  const std::string problem = ClusterSizeProblem(sectors);
  if (problem.empty()) return true;
  diagnostics.Add(lba, "boot sector's " + problem, "a damaged boot sector");
  return false;
}

std::uint32_t IndexRecordSectors(std::uint32_t clusters, std::uint32_t sectorsPerCluster) {
  return clusters == kRecordOf4096 ? kSectorsOf4096 : clusters * sectorsPerCluster;
}

FoundBootSector RecogniseBootSector(Bytes sector) {
  if (HasFat32Digits(sector)) return {kFat32, Decode(sector).FatTotalSectors()};
  if (HasFat16Digits(sector)) return {kFat16, Decode(sector).FatTotalSectors()};
  if (HasNtfsName(sector)) return {kNtfs, Decode(sector).totalSectors64};
  return {};
}

std::optional<NtfsBootFields> ReadNtfsBootFields(Bytes sector) {
  const BootSector b = Decode(sector);
  const auto index = static_cast<std::uint8_t>(b.clustersPerIndexRecord);
  if (!PowerOfTwoClusterSize(b.sectorsPerCluster) || index == 0 || b.totalSectors64 == 0) return std::nullopt;
  NtfsBootFields fields;
  fields.sectorsPerCluster = b.sectorsPerCluster;
  fields.totalSectors = b.totalSectors64;
  fields.indexRecordSectors = IndexRecordSectors(index, b.sectorsPerCluster);
  fields.mftCluster = b.mftCluster;
  fields.mirrorCluster = b.mirrorCluster;
  return fields;
}

}  // namespace dravik::boot
