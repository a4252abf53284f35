#pragma once
// The walk both Extensive Scan searches share: a sector range read in blocks,
// the stretches the image does not hold jumped over (they read as zeros and
// hold nothing), the sector reached counted after every block, and "Reading
// Sector n Of m" posted every 88 blocks.

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "disk/SectorReader.h"
#include "util/Bytes.h"
#include "util/ScanControl.h"

namespace dravik {

constexpr std::uint64_t kProgressBlocks = 88;

// visit(firstSector, block) sees each block read (a whole number of sectors);
// it returns false to end the walk. A stop request ends it too.
template <typename Visit>
void WalkRangeBlocks(const SectorReader& reader, std::uint64_t start, std::uint64_t sectors,
                     std::uint32_t blockSectors, ScanControl& control, Visit&& visit) {
  blockSectors = std::max<std::uint32_t>(blockSectors, 1);
  const std::uint64_t diskSectors = reader.SectorCount();
  const std::uint64_t end = start + std::min(sectors, diskSectors > start ? diskSectors - start : 0);
  std::vector<std::uint8_t> block(std::size_t{blockSectors} * kSectorSize);
  std::optional<SectorRange> present = reader.PresentSectors(start);
  std::uint64_t blocks = 0;
  for (std::uint64_t s = start; s < end && control.Continue();) {
    if (present && present->end <= s) present = reader.PresentSectors(s);
    if (!present || present->first >= end) return;
    s = std::max(s, present->first);
    const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(blockSectors, end - s));
    const std::span<std::uint8_t> held = std::span(block).first(std::size_t{count} * kSectorSize);
    reader.Read(s, count, held);
    if (!visit(s, Bytes(held))) return;
    s += count;
    control.Count(0, 0, s);
    if (++blocks % kProgressBlocks == 0) {
      const std::uint64_t done = s - start;
      const std::uint64_t percent = done * 100 / std::max<std::uint64_t>(sectors, 1);
      control.Report("Reading Sector " + std::to_string(done) + " Of " + std::to_string(sectors),
                     static_cast<int>(std::min<std::uint64_t>(percent, 99)));
    }
  }
}

}  // namespace dravik
