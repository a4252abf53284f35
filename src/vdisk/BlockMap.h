#pragma once
// The read path shared by the VHD and VHDX readers: the virtual disk is a row
// of equal blocks, each either at a file offset or absent (reading as zeros).

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "vdisk/ByteSource.h"
#include "util/Bytes.h"

namespace dravik {

// Zeros the bytes a read could not deliver; the read has failed.
inline bool FailWithZeros(std::span<std::uint8_t> rest) {
  std::fill(rest.begin(), rest.end(), std::uint8_t{0});
  return false;
}

// What dataOffsetOf gives for a block whose table entry was lost: it reads
// as zeros, and the read fails, so that what holds it is known to be
// incomplete.
constexpr std::uint64_t kLostBlock = std::numeric_limits<std::uint64_t>::max();

// dataOffsetOf(block) gives the file offset of a block's first data byte, 0
// when the block is absent, kLostBlock when its entry was lost. A read that
// reaches past the last block, or whose file read falls short, fails; the
// bytes it could not deliver are zero.
template <typename DataOffsetOf>
bool ReadMappedBlocks(const ByteSource& file, std::uint64_t blockSize, std::uint64_t blockCount,
                      std::uint64_t offset, std::span<std::uint8_t> out, DataOffsetOf dataOffsetOf) {
  if (blockSize == 0) return FailWithZeros(out);
  std::uint64_t block = offset / blockSize;
  std::uint64_t inBlock = offset % blockSize;
  bool whole = true;
  while (!out.empty()) {
    if (block >= blockCount) return FailWithZeros(out);
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(blockSize - inBlock, out.size()));
    const auto part = out.first(take);
    const std::uint64_t data = dataOffsetOf(block);
    if (data == 0 || data == kLostBlock) {
      std::fill(part.begin(), part.end(), std::uint8_t{0});
      whole = whole && data == 0;
    } else if (!file.ReadAt(data + inBlock, part)) {
      return FailWithZeros(out.subspan(take));
    }
    out = out.subspan(take);
    ++block;
    inBlock = 0;
  }
  return whole;
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
  if (data == 0 || data == kLostBlock) return std::nullopt;
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
    return data == 0 || data == kLostBlock || data >= fileSize ? 0 : std::min(blockSize, fileSize - data);
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


// Where a differencing image takes one block's bytes from.
struct ChildBlock {
  enum Source { kParent, kZeros, kOwn, kBitmap };
  Source source = kParent;
  std::uint64_t data = 0;    // file offset of the block's data (kOwn, kBitmap)
  std::uint64_t bitmap = 0;  // file offset of the bitmap byte of the block's first sector (kBitmap)
};

// The sector bitmap's layout: how many bytes one bit stands for and whether
// a byte's first sector is its most significant bit (VHD) or its least (VHDX).
struct SectorBitmapLayout {
  std::uint32_t sectorBytes = 512;
  bool mostSignificantFirst = true;
};

// Reads a differencing image: each block from the parent, as zeros, from the
// image's own data, or sector by sector as its bitmap says (set: own data,
// clear: parent). Without a parent the parent's parts read as zeros.
template <typename PlaceOf>
bool ReadChildBlocks(const ByteSource& file, const ByteSource* parent, std::uint64_t blockSize, std::uint64_t blockCount,
                     SectorBitmapLayout layout, std::uint64_t offset, std::span<std::uint8_t> out, PlaceOf placeOf) {
  if (blockSize == 0 || layout.sectorBytes == 0) return FailWithZeros(out);
  const auto fromParent = [&](std::uint64_t at, std::span<std::uint8_t> part) {
    if (parent) return parent->ReadAt(at, part);
    std::fill(part.begin(), part.end(), std::uint8_t{0});
    return true;
  };
  std::uint64_t block = offset / blockSize;
  std::uint64_t inBlock = offset % blockSize;
  std::vector<std::uint8_t> bits;
  while (!out.empty()) {
    if (block >= blockCount) return FailWithZeros(out);
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(blockSize - inBlock, out.size()));
    const auto part = out.first(take);
    const ChildBlock place = placeOf(block);
    const std::uint64_t virtualStart = block * blockSize + inBlock;
    bool ok = true;
    switch (place.source) {
      case ChildBlock::kZeros: std::fill(part.begin(), part.end(), std::uint8_t{0}); break;
      case ChildBlock::kParent: ok = fromParent(virtualStart, part); break;
      case ChildBlock::kOwn: ok = file.ReadAt(place.data + inBlock, part); break;
      case ChildBlock::kBitmap: {
        const std::uint64_t first = inBlock / layout.sectorBytes;
        const std::uint64_t last = (inBlock + take - 1) / layout.sectorBytes;
        bits.resize(static_cast<std::size_t>(last / 8 - first / 8 + 1));
        if (!file.ReadAt(place.bitmap + first / 8, bits)) {
          ok = false;
          break;
        }
        const auto isSet = [&](std::uint64_t sector) {
          const std::uint8_t byte = bits[static_cast<std::size_t>(sector / 8 - first / 8)];
          const unsigned bit = static_cast<unsigned>(sector % 8);
          return (byte & (layout.mostSignificantFirst ? 0x80u >> bit : 1u << bit)) != 0;
        };
        // Runs of sectors of one bit value, each read in one go.
        std::uint64_t at = inBlock;
        const std::uint64_t end = inBlock + take;
        while (ok && at < end) {
          const bool own = isSet(at / layout.sectorBytes);
          std::uint64_t runEnd = (at / layout.sectorBytes + 1) * layout.sectorBytes;
          while (runEnd < end && isSet(runEnd / layout.sectorBytes) == own) runEnd += layout.sectorBytes;
          runEnd = std::min(runEnd, end);
          const auto run = part.subspan(static_cast<std::size_t>(at - inBlock), static_cast<std::size_t>(runEnd - at));
          ok = own ? file.ReadAt(place.data + at, run) : fromParent(block * blockSize + at, run);
          at = runEnd;
        }
        break;
      }
    }
    if (!ok) return FailWithZeros(out.subspan(take));
    out = out.subspan(take);
    ++block;
    inBlock = 0;
  }
  return true;
}

// The first run at or after offset that either of two sources holds, runs of
// both that touch or overlap joined into one.
template <typename RangeA, typename RangeB>
std::optional<ByteRange> UnitePresentRanges(std::uint64_t offset, RangeA rangeA, RangeB rangeB) {
  const std::optional<ByteRange> a = rangeA(offset);
  const std::optional<ByteRange> b = rangeB(offset);
  if (!a && !b) return std::nullopt;
  ByteRange run = !b || (a && a->begin <= b->begin) ? *a : *b;
  for (bool grew = true; grew;) {
    grew = false;
    for (const std::optional<ByteRange> next : {rangeA(run.end), rangeB(run.end)}) {
      if (next && next->begin == run.end && next->end > run.end) {
        run.end = next->end;
        grew = true;
      }
    }
  }
  return run;
}

}  // namespace dravik
