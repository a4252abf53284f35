#include "fs/extensive/FatStructureSearch.h"

#include <algorithm>
#include <vector>

#include "disk/SectorReader.h"
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
  blockSectors = std::max<std::uint32_t>(blockSectors, 1);
  const std::uint64_t end = start + std::min(sectors, reader.SectorCount() > start ? reader.SectorCount() - start : 0);
  std::vector<std::uint8_t> block(std::size_t{blockSectors} * kSectorSize);
  std::optional<SectorRange> present = reader.PresentSectors(start);
  std::uint64_t blocks = 0;
  for (std::uint64_t s = start; s < end && control.Continue();) {
    // Blocks the image does not hold read as zeros: nothing to find there.
    if (present && present->end <= s) present = reader.PresentSectors(s);
    if (!present || present->first >= end) break;
    if (present->first > s) s = present->first;
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(blockSectors, end - s));
    reader.Read(s, count, std::span(block).first(std::size_t{count} * kSectorSize));
    for (std::uint32_t i = 0; i < count; ++i) {
      const Bytes sector = Bytes(block).subspan(std::size_t{i} * kSectorSize, kSectorSize);
      if (IsFatBootSector(sector)) {
        findings.bootSectors.push_back(s + i);
        if (findings.bootSectors.size() > kMaxBootSectors) {
          findings.tooManyStructures = true;
          control.Report(ExtensiveTexts::kTooMany);
          return;
        }
      } else if (auto record = ParseDirStart(sector, s + i)) {
        findings.dirClusters.push_back(*record);
      }
    }
    s += count;
    if (++blocks % kProgressBlocks == 0) {
      const std::uint64_t done = s - start;
      control.Report("Reading Sector " + std::to_string(done) + " Of " + std::to_string(sectors),
                     static_cast<int>(done * 100 / std::max<std::uint64_t>(sectors, 1)));
    }
  }
}

}  // namespace dravik
