#pragma once
// The sector search of a FAT Extensive Scan: every sector of a range is
// tested for a FAT boot sector or the first sector of a directory.
//
//   boot sector: boot::IsFatBootSector (disk/BootSector.h)
//   directory:   0 "." entry, 32 ".." entry (cluster words at 20 and 26)

#include <cstdint>
#include <optional>

#include "fs/extensive/ExtensiveFindings.h"
#include "util/Bytes.h"

namespace dravik {

class SectorReader;
class ScanControl;

// At most this many boot sectors are collected.
constexpr std::size_t kMaxBootSectors = 60000;

// The directory start at sector number s, when the sector begins with "."
// and ".." entries whose clusters can be a folder's: the folder's cluster
// above 2 and below s, neither cluster 0xFFFFFFFF.
std::optional<DirClusterRecord> ParseDirStart(Bytes sector, std::uint64_t s);

// Searches sectors [start, start + sectors) in blocks of blockSectors,
// appending to findings. Sectors the image does not hold are passed over.
// Stops at a stop request or when the boot sectors exceed the limit; what was
// found stays. The blocks are searched on threads (0: one a core), the
// findings the same as on one.
void SearchFatStructures(const SectorReader& reader, std::uint64_t start, std::uint64_t sectors,
                         std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control,
                         unsigned threads = 0);

}  // namespace dravik
