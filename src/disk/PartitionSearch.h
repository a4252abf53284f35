#pragma once
// Finds partitions by their boot sectors when the partition table cannot be
// trusted: at the two classic candidates of every cylinder (the second track's
// first sector, then the cylinder's first sector) and at every 1 MiB-aligned
// sector, where modern tools put partitions. Candidates in sectors the image
// does not hold (absent blocks, sectors past the file's data) are passed over
// unread, so the search costs what the image holds, not what its size claims.

#include <cstdint>
#include <functional>
#include <string>

#include "disk/PartitionTable.h"

namespace dravik {

class SectorReader;
class ScanControl;

struct DiskGeometry {
  std::uint32_t cylinders = 0;
  std::uint32_t heads = 0;
  std::uint32_t sectorsPerTrack = 0;
};

// The geometry the search walks: a geometry of other than 63 sectors per
// track is translated to 255 heads and 63 sectors; without one (a VHDX) it is
// derived from the disk's size.
DiskGeometry SearchGeometry(const DiskGeometry& drive, std::uint64_t diskSectors);

// The answer to "Partition Type", asked when the table already holds entries.
enum class PartitionChoice { kUseExisting, kSearch, kCancel };

struct SearchTexts {
  static constexpr const char* kSearching = "Please wait, searching for Partition...";
  static constexpr const char* kStatus = "Please wait...";
  static constexpr const char* kStopQuestion = "Do you want to stop partition searching ?";
};

// "Partition %d" with the entry's index.
std::string PartitionLabel(std::size_t index);

// Appends the partitions found to table. ask is called only when the table
// is not empty. Returns whether the disk was searched.
bool SearchPartitions(const SectorReader& reader, const DiskGeometry& geometry, PartitionTable& table,
                      const std::function<PartitionChoice()>& ask, ScanControl& control);

}  // namespace dravik
