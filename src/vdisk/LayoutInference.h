#pragma once
// What a container's lost structures can be inferred from: the spacing of
// the blocks its block table still names, and the partition table of the
// disk inside. Each inference is a guess that the caller says it made.

#include <cstdint>
#include <optional>
#include <vector>

#include "util/Bytes.h"

namespace dravik {

// The bytes the MBR in firstSector says the disk spans at least: the end of
// its farthest partition (a GPT's protective entry spans the whole disk); 0
// when the sector has no boot signature, no partition entry, or is no
// partition table (a volume's boot sector, whose code fills the same bytes).
std::uint64_t PartitionTableExtent(Bytes firstSector);

// The block size the file offsets of present blocks show: writers append
// blocks one after the other, so the distance that most neighbours in the
// file keep is one block with its overhead (a VHD's bitmap; nothing in a
// VHDX). The size must be a power of two from minimum to 256 MiB, and at
// least half of the distances must be it; none when fewer than two blocks
// are known or no size fits.
std::optional<std::uint32_t> BlockSizeFromSpacing(std::vector<std::uint64_t> offsets,
                                                  std::uint64_t (*overhead)(std::uint32_t blockSize),
                                                  std::uint32_t minimum);

}  // namespace dravik
