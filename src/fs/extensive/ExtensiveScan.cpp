#include "fs/extensive/ExtensiveScan.h"

#include "fs/extensive/FatIdentify.h"
#include "fs/extensive/FatStructureSearch.h"

namespace dravik {

void RunExtensiveScan(const SectorReader& reader, std::uint16_t fsType, std::uint64_t start, std::uint64_t sectors,
                      std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control) {
  findings.Clear();
  findings.rangeStart = start;
  findings.rangeSectors = sectors;
  SearchFatStructures(reader, start, sectors, blockSectors, findings, control);
  IdentifyFatFileSystems(reader, fsType, findings, control);
}

}  // namespace dravik
