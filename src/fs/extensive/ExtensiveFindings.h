#pragma once
// What the sector search of an Extensive Scan collected, and the file
// systems inferred from it. The lists are in discovery order, that is by
// ascending sector, and stay until the next search, so that one found file
// system after another can be extracted without searching again.

#include <cstdint>
#include <string>
#include <vector>

#include "disk/FsParams.h"

namespace dravik {

// The start of a FAT directory: a sector beginning with "." and "..".
struct DirClusterRecord {
  std::uint64_t sector = 0;
  std::uint32_t cluster = 0;        // from the "." entry
  std::uint32_t parentCluster = 0;  // from the ".." entry; 0 is the root
  std::uint16_t date1 = 0;          // the "." entry's write date
  std::uint16_t date2 = 0;          // its access date
  // 0: not assigned yet; -1: belongs to no file system found; otherwise the
  // 1-based number of the found file system it belongs to.
  std::int16_t fsNumber = 0;
};

constexpr std::int16_t kNoFileSystem = -1;

struct FoundFileSystem {
  std::uint16_t fsType = 0;  // FsCode: FAT16 or FAT32
  std::uint32_t fatSize = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t rootDirSectors = 0;
  std::uint64_t rootStart = 0;
  std::uint32_t reservedSectors = 0;
  std::uint64_t clusterBase = 0;
  std::uint64_t firstFatLba = 0;   // 0 = unknown
  std::uint64_t secondFatLba = 0;  // 0 = unknown
  std::uint64_t bootSector = 0;    // the boot sector it was found by; 0 = none
  std::uint64_t fsEnd = 0;         // last sector
  std::uint32_t tag = 0;           // 1: a FAT file system whose directories matched

  // "FAT32 @ 4196", the name under which it is listed.
  std::string Label() const;
  // The first sector it is known to hold: its boot sector, else cluster 0.
  std::uint64_t Start() const { return bootSector != 0 ? bootSector : clusterBase; }
};

struct ExtensiveFindings {
  std::uint64_t rangeStart = 0;  // the sectors searched
  std::uint64_t rangeSectors = 0;
  std::vector<std::uint64_t> bootSectors;  // the boot-sector list
  std::vector<DirClusterRecord> dirClusters;
  std::vector<FoundFileSystem> fileSystems;
  bool tooManyStructures = false;  // the search stopped at the boot-sector limit

  void Clear() { *this = ExtensiveFindings{}; }
};

// The parameters under which found file system number index (1-based) is
// extracted and saved, within the searched range.
FsParams ParamsOfFound(const ExtensiveFindings& findings, std::uint16_t index, const FsParams& range);

}  // namespace dravik
