#include "fs/extensive/ExtensiveScan.h"

#include "fs/extensive/FatIdentify.h"
#include "fs/extensive/FatStructureSearch.h"
#include "fs/extensive/NtfsAnalysis.h"
#include "fs/extensive/NtfsStructureSearch.h"

namespace dravik {

void RunExtensiveScan(const SectorReader& reader, std::uint16_t fsType, std::uint64_t start, std::uint64_t sectors,
                      std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control,
                      unsigned threads) {
  findings.Clear();
  findings.rangeStart = start;
  findings.rangeSectors = sectors;
  if (fsType == kNtfs) {
    SearchNtfsStructures(reader, start, sectors, blockSectors, findings, control, threads);
    AnalyzeNtfsFindings(reader, findings, control);
    return;
  }
  SearchFatStructures(reader, start, sectors, blockSectors, findings, control, threads);
  IdentifyFatFileSystems(reader, fsType, findings, control);
}

}  // namespace dravik
