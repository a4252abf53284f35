#pragma once
// The walk both Extensive Scan searches share, on the sector walk: a sector
// range read in blocks, the stretches the image does not hold jumped over
// (they read as zeros and hold nothing), chunks of blocks searched on every
// core, and what each block found taken in sector order, the sector reached
// counted after every block and "Reading Sector n Of m" posted every 88
// blocks, as one thread reading block by block would.

#include <algorithm>
#include <cstdint>
#include <string>

#include "disk/SectorReader.h"
#include "disk/SectorWalk.h"
#include "util/Bytes.h"
#include "util/ScanControl.h"

namespace dravik {

constexpr std::uint64_t kProgressBlocks = 88;
// The sectors a chunk of blocks holds at most: 256 KiB, which stay in a
// core's cache between the read and the search.
constexpr std::uint32_t kChunkSectors = 512;

// search(firstSector, chunk) -> Found on any thread sees a chunk of whole
// blocks; take(found, blockFirst, blockEnd) on the calling thread takes
// what the search found in one block of it, block after block; it returns
// false to end the walk. A stop request ends it too. threads 0: one a core.
template <typename Found, typename Search, typename Take>
void WalkRangeBlocks(const SectorReader& reader, std::uint64_t start, std::uint64_t sectors,
                     std::uint32_t blockSectors, unsigned threads, ScanControl& control, Search&& search, Take&& take) {
  blockSectors = std::max<std::uint32_t>(blockSectors, 1);
  const std::uint64_t diskSectors = reader.SectorCount();
  const std::uint64_t end = start + std::min(sectors, diskSectors > start ? diskSectors - start : 0);
  const WalkShape shape{start, end, blockSectors, std::max<std::uint32_t>(kChunkSectors / blockSectors, 1), false,
                        threads};
  std::uint64_t blocks = 0;
  WalkSectors<Found>(
      reader, shape, control,
      [&](const SectorChunk& chunk, Bytes bytes) { return search(chunk.first, bytes); },
      [&](const SectorChunk& chunk, Found&& found) {
        const std::uint64_t chunkEnd = chunk.first + chunk.sectors;
        for (std::uint64_t s = chunk.first; s < chunkEnd;) {
          if (!control.Continue()) return false;
          const std::uint64_t blockEnd = std::min<std::uint64_t>(s + blockSectors, chunkEnd);
          if (!take(found, s, blockEnd)) return false;
          s = blockEnd;
          control.Count(0, 0, s);
          if (++blocks % kProgressBlocks == 0) {
            const std::uint64_t done = s - start;
            const std::uint64_t percent = done * 100 / std::max<std::uint64_t>(sectors, 1);
            control.Report("Reading Sector " + std::to_string(done) + " Of " + std::to_string(sectors),
                           static_cast<int>(std::min<std::uint64_t>(percent, 99)));
          }
        }
        return true;
      });
}

}  // namespace dravik
