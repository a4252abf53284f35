#include "fs/extensive/ExtensiveScan.h"

#include "fs/FamilyRegistry.h"
#include "fs/FileSystemFamily.h"
#include "util/Diagnostics.h"

namespace dravik {

std::vector<std::string> SearchCounterLabels(std::uint16_t fsType) {
  const auto family = FamilyOfCode(fsType);
  return family ? FamilyOf(*family).SearchCounterLabels() : std::vector<std::string>{};
}

void RunExtensiveScan(const SectorReader& reader, std::uint16_t fsType, std::uint64_t start, std::uint64_t sectors,
                      std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control,
                      unsigned threads) {
  Diagnostics unread;
  RunExtensiveScan(reader, fsType, start, sectors, blockSectors, findings, control, threads, unread);
}

void RunExtensiveScan(const SectorReader& reader, std::uint16_t fsType, std::uint64_t start, std::uint64_t sectors,
                      std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control,
                      unsigned threads, Diagnostics& diagnostics) {
  findings.Clear();
  findings.rangeStart = start;
  findings.rangeSectors = sectors;
  const auto family = FamilyOfCode(fsType);
  if (!family) return;
  FamilyOf(*family).SearchRange(reader, fsType, start, sectors, blockSectors, findings, control, threads, diagnostics);
}

}  // namespace dravik
