#pragma once
// What a VHDX's block table shows of the metadata it lost or that was
// overwritten: the block size by the spacing of its blocks in the file, the
// disk's size by the last block it names and the partition table inside.

#include <cstdint>
#include <optional>
#include <vector>

#include "vdisk/ByteSource.h"

namespace dravik::vhdx {

// The BAT as evidence, read without knowing the block size.
struct BatEvidence {
  std::vector<std::uint64_t> blockOffsets;  // file offsets of the fully present blocks, in table order
  std::uint64_t entryCount = 0;             // entries read
  std::uint64_t lastPresent = 0;            // table index of the last present entry, plus 1; 0 when none
  std::uint64_t firstBlock = 0;             // file offset of entry 0's block; 0 when it is absent
};

// The BAT region's entries as stored, as far as the region and the file go
// and never more than the largest disk needs.
std::vector<std::uint64_t> ReadBatEntries(const ByteSource& file, std::uint64_t batOffset, std::uint64_t batLength);

// What the entries show. Entries with reserved bits set or naming no place
// inside a file of fileSize bytes are passed over.
BatEvidence EvidenceOf(const std::vector<std::uint64_t>& entries, std::uint64_t fileSize);

// The block size the blocks' spacing shows (see BlockSizeFromSpacing); none
// when fewer than two blocks are named or no size fits.
std::optional<std::uint32_t> BlockSizeFromBat(const BatEvidence& bat);

// The disk's size as the table and the disk inside show it: the end of the
// last block named, or of the farthest partition of the MBR in the first
// block, whichever is larger; 0 when neither says anything. The table holds
// one sector bitmap entry after every chunk of payload entries, which holds
// no part of the disk.
std::uint64_t VirtualSizeFromBat(const ByteSource& file, const BatEvidence& bat, std::uint32_t blockSize,
                                 std::uint32_t sectorSize);

}  // namespace dravik::vhdx
