#pragma once
// The read path shared by the VHD and VHDX readers: the virtual disk is a row
// of equal blocks, each either at a file offset or absent (reading as zeros).

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "vdisk/ByteSource.h"

namespace dravik {

// Zeros the bytes a read could not deliver; the read has failed.
inline bool FailWithZeros(std::span<std::uint8_t> rest) {
  std::fill(rest.begin(), rest.end(), std::uint8_t{0});
  return false;
}

// dataOffsetOf(block) gives the file offset of a block's first data byte, 0
// when the block is absent. A read that reaches past the last block, or whose
// file read falls short, fails; the bytes it could not deliver are zero.
template <typename DataOffsetOf>
bool ReadMappedBlocks(const ByteSource& file, std::uint64_t blockSize, std::uint64_t blockCount,
                      std::uint64_t offset, std::span<std::uint8_t> out, DataOffsetOf dataOffsetOf) {
  if (blockSize == 0) return FailWithZeros(out);
  std::uint64_t block = offset / blockSize;
  std::uint64_t inBlock = offset % blockSize;
  while (!out.empty()) {
    if (block >= blockCount) return FailWithZeros(out);
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(blockSize - inBlock, out.size()));
    const auto part = out.first(take);
    const std::uint64_t data = dataOffsetOf(block);
    if (data == 0) {
      std::fill(part.begin(), part.end(), std::uint8_t{0});
    } else if (!file.ReadAt(data + inBlock, part)) {
      return FailWithZeros(out.subspan(take));
    }
    out = out.subspan(take);
    ++block;
    inBlock = 0;
  }
  return true;
}

// Where a virtual offset lies in the file, through the following blocks as
// long as each lies right after the one before in the file (as tools that
// append blocks in order leave them); none for an absent block or past the
// last one.
template <typename DataOffsetOf>
std::optional<FileSpan> LocateMappedBlock(const ByteSource& file, std::uint64_t blockSize, std::uint64_t blockCount,
                                          std::uint64_t offset, std::uint64_t length, DataOffsetOf dataOffsetOf) {
  if (blockSize == 0 || offset / blockSize >= blockCount) return std::nullopt;
  std::uint64_t block = offset / blockSize;
  const std::uint64_t inBlock = offset % blockSize;
  const std::uint64_t data = dataOffsetOf(block);
  if (data == 0) return std::nullopt;
  std::uint64_t span = blockSize - inBlock;
  while (span < length && ++block < blockCount && dataOffsetOf(block) == data - inBlock + (span + inBlock)) span += blockSize;
  return file.Locate(data + inBlock, std::min(length, span));
}

// The run of present blocks at or after offset (see ByteSource::PresentRange):
// blocks with a file offset whose data begins inside the file, each cut where
// the file ends, as the reads above deliver them. Only the table entries from
// offset's block to the end of the run are looked at, so a caller moving
// forward through the disk walks the table once.
template <typename DataOffsetOf>
std::optional<ByteRange> PresentMappedRange(std::uint64_t fileSize, std::uint64_t blockSize, std::uint64_t blockCount,
                                            std::uint64_t offset, DataOffsetOf dataOffsetOf) {
  if (blockSize == 0) return std::nullopt;
  // Past this block a virtual offset no longer fits in 64 bits.
  const std::uint64_t blocks = std::min(blockCount, std::numeric_limits<std::uint64_t>::max() / blockSize);
  const auto heldBytes = [&](std::uint64_t block) -> std::uint64_t {
    const std::uint64_t data = dataOffsetOf(block);
    return data == 0 || data >= fileSize ? 0 : std::min(blockSize, fileSize - data);
  };
  for (std::uint64_t block = offset / blockSize; block < blocks; ++block) {
    std::uint64_t held = heldBytes(block);
    const std::uint64_t start = block * blockSize;
    if (held == 0 || start + held <= offset) continue;
    std::uint64_t end = start + held;
    while (held == blockSize && ++block < blocks && (held = heldBytes(block)) > 0) end += held;
    return ByteRange{std::max(offset, start), end};
  }
  return std::nullopt;
}

}  // namespace dravik
