#pragma once
// The walk every sector search shares: a range read in chunks of whole
// reads, the stretches the image does not hold passed over, the pause and
// stop checks, and the chunks scanned on as many threads as asked while the
// findings are taken in sector order.
//
// Each chunk is read and scanned by one worker (the calling thread is one);
// a scan sees only its chunk (and whatever it reads itself through the
// reader), so its result does not depend on which thread made it or when.
// The results are taken chunk by chunk in order, by one worker at a time
// (the one that leaves the result awaited next), numbering and counting as
// one thread would: the findings are the same on any number of threads.
// Workers run ahead of the taking by a few chunks at most. A pause holds
// every worker at its next chunk; a stop ends the walk after the chunk
// taken last.

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "disk/SectorReader.h"
#include "util/Bytes.h"
#include "util/ScanControl.h"

namespace dravik {

struct SectorChunk {
  std::size_t index = 0;    // 0 for the walk's first chunk, then 1, 2, ...
  std::uint64_t first = 0;  // its first sector
  std::uint32_t sectors = 0;
};

struct WalkShape {
  std::uint64_t first = 0;
  std::uint64_t end = 0;             // one past the last sector walked
  std::uint32_t readSectors = 64;    // the sectors of one read; a chunk is whole reads
  std::uint32_t chunkReads = 32;     // reads a chunk holds at most
  bool wholeLastRead = false;        // the last read is whole even where it passes end
  unsigned threads = 0;              // 0: one a core
  bool alignedReads = false;         // reads begin at first + a multiple of readSectors, also after a jump
  bool readChunks = true;            // false: the scan reads what it needs itself and gets no bytes
};

// The bytes a scan gets are followed by this many zero bytes, so that a
// scan may load a word at any offset of its chunk.
inline constexpr std::size_t kWalkSlack = 8;

// One a core the process may run on, at least one.
unsigned WalkThreadsOfMachine();

// How many results wait at most between the scans and the taking; chunk i
// leaves its result in slot i % WalkSlots.
std::size_t WalkSlots(const WalkShape& shape);

// The walk without the type of its results: scan(chunk, bytes) on a worker,
// leaving its result in the chunk's slot, and take(chunk) in chunk order,
// never two at once; take returns false to end the walk.
void WalkChunks(const SectorReader& reader, const WalkShape& shape, ScanControl& control,
                const std::function<void(const SectorChunk&, Bytes)>& scan,
                const std::function<bool(const SectorChunk&)>& take);

// scan(chunk, bytes) -> Result on any worker, several at once;
// take(chunk, Result&&) -> bool on one worker at a time, in sector order.
template <typename Result, typename Scan, typename Take>
void WalkSectors(const SectorReader& reader, const WalkShape& shape, ScanControl& control, Scan&& scan,
                 Take&& take) {
  const std::size_t slots = WalkSlots(shape);
  std::vector<std::optional<Result>> results(slots);
  WalkChunks(
      reader, shape, control,
      [&](const SectorChunk& chunk, Bytes bytes) { results[chunk.index % slots].emplace(scan(chunk, bytes)); },
      [&](const SectorChunk& chunk) {
        std::optional<Result>& result = results[chunk.index % slots];
        const bool more = take(chunk, std::move(*result));
        result.reset();
        return more;
      });
}

}  // namespace dravik
