#include "fs/extensive/FatStructureSearch.h"

#include <algorithm>
#include <vector>

#include "disk/SectorReader.h"
#include "fs/extensive/BlockWalk.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "fs/fat/DirEntry.h"
#include "util/ScanControl.h"

namespace dravik {

namespace {

constexpr std::size_t kSignatureOffset = 510;
constexpr std::size_t kFat32LabelDigits = 85;  // "32" of "FAT32" at 82
constexpr std::size_t kFat16LabelDigits = 57;  // "16" of "FAT16" at 54
constexpr std::size_t kDotDotOffset = 32;

bool HasDigits(Bytes sector, std::size_t at, char first, char second) {
  return sector[at] == static_cast<std::uint8_t>(first) && sector[at + 1] == static_cast<std::uint8_t>(second);
}

std::uint32_t EntryCluster(Bytes entry) {
  return std::uint32_t{le16(entry, fat::kClusterHighOffset)} << 16 | le16(entry, fat::kClusterLowOffset);
}

}  // namespace

bool IsFatBootSector(Bytes sector) {
  if (sector.size() < kSectorSize) return false;
  if (sector[kSignatureOffset] != 0x55 || sector[kSignatureOffset + 1] != 0xAA) return false;
  return HasDigits(sector, kFat32LabelDigits, '3', '2') || HasDigits(sector, kFat16LabelDigits, '1', '6');
}

std::optional<DirClusterRecord> ParseDirStart(Bytes sector, std::uint64_t s) {
  if (sector.size() < 2 * fat::kEntrySize) return std::nullopt;
  if (sector[0] != '.' || sector[1] != ' ') return std::nullopt;
  if (sector[kDotDotOffset] != '.' || sector[kDotDotOffset + 1] != '.' || sector[kDotDotOffset + 2] != ' ')
    return std::nullopt;
  const Bytes dot = sector.subspan(0, fat::kEntrySize);
  const Bytes dotDot = sector.subspan(kDotDotOffset, fat::kEntrySize);
  DirClusterRecord record;
  record.sector = s;
  record.cluster = EntryCluster(dot);
  record.parentCluster = EntryCluster(dotDot);
  record.date1 = le16(dot, fat::kWriteDateOffset);
  record.date2 = le16(dot, fat::kAccessDateOffset);
  if (record.cluster <= 2 || record.cluster == 0xFFFFFFFF || record.parentCluster == 0xFFFFFFFF) return std::nullopt;
  if (record.cluster >= s) return std::nullopt;
  return record;
}

void SearchFatStructures(const SectorReader& reader, std::uint64_t start, std::uint64_t sectors,
                         std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control) {
  WalkRangeBlocks(reader, start, sectors, blockSectors, control, [&](std::uint64_t first, Bytes block) {
    for (std::size_t i = 0; i < block.size() / kSectorSize; ++i) {
      const Bytes sector = block.subspan(i * kSectorSize, kSectorSize);
      if (IsFatBootSector(sector)) {
        findings.bootSectors.push_back(first + i);
        if (findings.bootSectors.size() > kMaxBootSectors) {
          findings.tooManyStructures = true;
          control.Report(ExtensiveTexts::kTooMany);
          return false;
        }
      } else if (auto record = ParseDirStart(sector, first + i)) {
        findings.dirClusters.push_back(*record);
      }
    }
    control.CountFound({findings.bootSectors.size(), findings.dirClusters.size()});
    return true;
  });
}

}  // namespace dravik
