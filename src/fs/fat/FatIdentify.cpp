#include "fs/fat/FatIdentify.h"

#include <algorithm>
#include <vector>

#include "disk/BootSector.h"
#include "disk/SectorReader.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "fs/extensive/RejectionNotes.h"
#include "util/ScanControl.h"

namespace dravik {

namespace {

// A cluster base at or below this lies where no volume's data area can.
constexpr std::uint64_t kMinClusterBase = 62;
constexpr std::uint32_t kLargestFat16Cluster = 0xFFFF;

// Gives number to every unassigned directory start at the sector its cluster
// has in a file system of this base and cluster size, up to last; returns
// how many took it and the largest cluster among them.
std::size_t AssignMatching(ExtensiveFindings& findings, std::uint64_t base, std::uint32_t sectorsPerCluster,
                           std::uint64_t last, std::int16_t number, std::uint32_t& largestCluster) {
  std::size_t assigned = 0;
  for (DirClusterRecord& record : findings.dirClusters) {
    if (record.sector > last) break;
    if (record.fsNumber != 0) continue;
    if (record.sector != base + std::uint64_t{record.cluster} * sectorsPerCluster) continue;
    record.fsNumber = number;
    largestCluster = std::max(largestCluster, record.cluster);
    ++assigned;
  }
  return assigned;
}

bool IsBackupOfFound(const ExtensiveFindings& findings, std::uint64_t s) {
  return s >= boot::kFat32BackupSector &&
         std::any_of(findings.fileSystems.begin(), findings.fileSystems.end(), [&](const FoundFileSystem& found) {
           return found.fsType == kFat32 && found.bootSector == s - boot::kFat32BackupSector;
         });
}

}  // namespace

std::optional<FoundFileSystem> FatFromBootSector(Bytes sector, std::uint64_t s) {
  if (sector.size() < kSectorSize) return std::nullopt;
  const boot::BootSector b = boot::Decode(sector);
  if (!boot::PowerOfTwoClusterSize(b.sectorsPerCluster)) return std::nullopt;
  FoundFileSystem found;
  found.sectorsPerCluster = b.sectorsPerCluster;
  found.reservedSectors = b.reservedSectors;
  found.bootSector = s;
  found.fsEnd = s + std::max<std::uint64_t>(b.FatTotalSectors(), 1) - 1;
  const std::int64_t twoClusters = 2 * std::int64_t{found.sectorsPerCluster};
  std::int64_t base = 0;
  if (boot::HasFat32Digits(sector)) {
    found.fsType = kFat32;
    found.fatSize = b.fatSize32;
    found.rootStart = b.rootCluster;
    found.firstFatLba = s + found.reservedSectors;
    found.secondFatLba = found.firstFatLba + found.fatSize;
    base = static_cast<std::int64_t>(s + found.reservedSectors + 2 * std::uint64_t{found.fatSize}) - twoClusters;
  } else if (boot::HasFat16Digits(sector)) {
    found.fsType = kFat16;
    found.fatSize = b.fatSize16;
    found.rootDirSectors = b.rootEntries / 16;
    found.firstFatLba = s + found.reservedSectors;
    found.secondFatLba = found.firstFatLba + found.fatSize;
    found.rootStart = s + found.reservedSectors + 2 * std::uint64_t{found.fatSize};
    base = static_cast<std::int64_t>(s + found.reservedSectors + found.rootDirSectors +
                                     2 * std::uint64_t{found.fatSize}) - twoClusters;
  } else {
    return std::nullopt;
  }
  found.clusterBase = base > 0 ? static_cast<std::uint64_t>(base) : 0;
  return found;
}

void IdentifyFatFileSystems(const SectorReader& reader, std::uint16_t requestedType, ExtensiveFindings& findings,
                            ScanControl& control, Diagnostics& diagnostics) {
  RejectionNotes notes(diagnostics);
  control.Report(ExtensiveTexts::kAnalyzing, 0);
  const std::size_t directories = findings.dirClusters.size();
  std::size_t assignedTotal = 0;
  const auto report = [&] {
    if (directories > 0) control.ReportPercent(static_cast<int>(assignedTotal * 100 / directories));
  };

  std::vector<std::uint8_t> sector(kSectorSize);
  for (const std::uint64_t s : findings.bootSectors) {
    if (!reader.Read(s, 1, sector)) continue;
    auto found = FatFromBootSector(sector, s);
    if (!found) {
      const std::string problem = boot::ClusterSizeProblem(boot::Decode(sector).sectorsPerCluster);
      notes.Add(s, "a FAT boot sector set aside: its " + (problem.empty() ? "type label is unreadable" : problem),
                "a damaged boot sector");
      continue;
    }
    if (found->clusterBase <= kMinClusterBase) {
      notes.Add(s,
                "a FAT boot sector set aside: its reserved sectors and FAT size put the data area at sector " +
                    std::to_string(found->clusterBase) + ", where no volume's can begin",
                "a damaged boot sector");
      continue;
    }
    std::uint32_t largest = 0;
    const std::size_t assigned = AssignMatching(findings, found->clusterBase, found->sectorsPerCluster, found->fsEnd,
                                                findings.NextFsNumber(), largest);
    if (assigned == 0) {
      // A FAT32 volume's backup boot sector gives its layout as if the
      // volume began there: no note when the volume was found through the
      // boot sector it copies.
      if (IsBackupOfFound(findings, s)) continue;
      notes.Add(s,
                "a FAT boot sector set aside: no folder found lies where its layout puts folders (cluster 0 at "
                "sector " + std::to_string(found->clusterBase) + ", " + std::to_string(found->sectorsPerCluster) +
                    " sectors per cluster)",
                "a damaged boot sector, a stale copy, or a volume whose folders were overwritten");
      continue;
    }
    found->tag = 1;
    findings.fileSystems.push_back(*found);
    assignedTotal += assigned;
    report();
  }

  const std::uint64_t lastSector = findings.dirClusters.empty() ? 0 : findings.dirClusters.back().sector;
  for (std::size_t i = 0; i < findings.dirClusters.size(); ++i) {
    const DirClusterRecord first = findings.dirClusters[i];
    if (first.fsNumber != 0) continue;
    bool paired = false;
    for (std::size_t j = i + 1; j < findings.dirClusters.size() && !paired; ++j) {
      const DirClusterRecord& second = findings.dirClusters[j];
      if (second.fsNumber != 0 || second.cluster <= first.cluster || second.sector <= first.sector) continue;
      const std::uint64_t sectorStep = second.sector - first.sector;
      const std::uint64_t clusterStep = second.cluster - first.cluster;
      if (sectorStep % clusterStep != 0 || !boot::PowerOfTwoClusterSize(sectorStep / clusterStep)) continue;
      const auto sectorsPerCluster = static_cast<std::uint32_t>(sectorStep / clusterStep);
      const std::uint64_t offset = std::uint64_t{first.cluster} * sectorsPerCluster;
      if (first.sector < offset) continue;
      const std::uint64_t base = first.sector - offset;
      std::uint32_t largest = 0;
      assignedTotal += AssignMatching(findings, base, sectorsPerCluster, lastSector, findings.NextFsNumber(), largest);
      FoundFileSystem found;
      found.fsType = requestedType == kFat32 || largest > kLargestFat16Cluster ? kFat32 : kFat16;
      found.sectorsPerCluster = sectorsPerCluster;
      found.clusterBase = base;
      found.rootStart = found.fsType == kFat32 ? 2 : 0;
      found.fsEnd = reader.SectorCount() > 0 ? reader.SectorCount() - 1 : 0;
      found.tag = 1;
      findings.fileSystems.push_back(found);
      paired = true;
      report();
    }
    if (!paired) findings.dirClusters[i].fsNumber = kNoFileSystem;
  }
}

}  // namespace dravik
