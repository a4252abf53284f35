#include "fs/fat/FatStructureSearch.h"

#include <algorithm>
#include <vector>

#include "disk/BootSector.h"
#include "disk/SectorReader.h"
#include "fs/extensive/BlockWalk.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "fs/fat/DirEntry.h"
#include "util/ScanControl.h"

namespace dravik {

namespace {

constexpr std::size_t kDotDotOffset = 32;

std::uint32_t EntryCluster(Bytes entry) {
  return std::uint32_t{le16(entry, fat::kClusterHighOffset)} << 16 | le16(entry, fat::kClusterLowOffset);
}

}  // namespace

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

namespace {

// What a chunk of the walk holds, each list in sector order, and how much
// of each its blocks have handed on.
struct FatChunkFindings {
  std::vector<std::uint64_t> bootSectors;
  std::vector<DirClusterRecord> dirClusters;
  std::size_t bootsTaken = 0;
  std::size_t dirsTaken = 0;
};

FatChunkFindings SearchChunk(std::uint64_t first, Bytes chunk) {
  FatChunkFindings found;
  for (std::size_t i = 0; i < chunk.size() / kSectorSize; ++i) {
    const Bytes sector = chunk.subspan(i * kSectorSize, kSectorSize);
    if (boot::IsFatBootSector(sector))
      found.bootSectors.push_back(first + i);
    else if (auto record = ParseDirStart(sector, first + i))
      found.dirClusters.push_back(*record);
  }
  return found;
}

}  // namespace

void SearchFatStructures(const SectorReader& reader, std::uint64_t start, std::uint64_t sectors,
                         std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control,
                         unsigned threads) {
  WalkRangeBlocks<FatChunkFindings>(
      reader, start, sectors, blockSectors, threads, control, SearchChunk,
      [&](FatChunkFindings& found, std::uint64_t, std::uint64_t blockEnd) {
        // The block's findings in sector order: past the limit of boot
        // sectors the search ends, with the folders found before it.
        for (;;) {
          const bool boot = found.bootsTaken < found.bootSectors.size() && found.bootSectors[found.bootsTaken] < blockEnd;
          const bool dir = found.dirsTaken < found.dirClusters.size() && found.dirClusters[found.dirsTaken].sector < blockEnd;
          if (!boot && !dir) break;
          if (boot && (!dir || found.bootSectors[found.bootsTaken] < found.dirClusters[found.dirsTaken].sector)) {
            findings.bootSectors.push_back(found.bootSectors[found.bootsTaken++]);
            if (findings.bootSectors.size() > kMaxBootSectors) {
              findings.tooManyStructures = true;
              control.Report(ExtensiveTexts::kTooMany);
              return false;
            }
          } else {
            findings.dirClusters.push_back(found.dirClusters[found.dirsTaken++]);
          }
        }
        control.CountFound({findings.bootSectors.size(), findings.dirClusters.size()});
        return true;
      });
}

}  // namespace dravik
