#pragma once
// The Extensive Scan of a sector range: the findings are emptied, the range
// searched for the structures of the kind asked for, and the file systems
// they reveal identified. A stop ends the search; identification still runs
// on what was collected.

#include <cstdint>
#include <string>
#include <vector>

#include "fs/extensive/ExtensiveFindings.h"

namespace dravik {

class Diagnostics;
class SectorReader;
class ScanControl;

// The labels of the counters the search for fsType reports, the sector it
// is at last; none for a kind no family reads.
std::vector<std::string> SearchCounterLabels(std::uint16_t fsType);

// fsType: kNtfs, kFat32 or kFat16. blockSectors: the sectors read at a time.
// threads: how many search the range (0: one a core); the findings are the
// same on any number.
void RunExtensiveScan(const SectorReader& reader, std::uint16_t fsType, std::uint64_t start, std::uint64_t sectors,
                      std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control,
                      unsigned threads = 0);
// The same, writing why the identification set aside boot sectors it found
// into diagnostics.
void RunExtensiveScan(const SectorReader& reader, std::uint16_t fsType, std::uint64_t start, std::uint64_t sectors,
                      std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control,
                      unsigned threads, Diagnostics& diagnostics);

}  // namespace dravik
