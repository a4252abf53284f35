#include "vdisk/VhdInference.h"

#include <algorithm>
#include <vector>

#include "vdisk/LayoutInference.h"

namespace dravik::vhd {

namespace {

constexpr std::uint64_t kSearchSpan = 1024 * 1024;
constexpr std::uint32_t kUsualBlockSize = 2 * 1024 * 1024;
constexpr std::uint32_t kMinBlockSize = 512 * 1024;
// The largest table a VHD can have: 2040 GiB in blocks of 512 KiB, four bytes each.
constexpr std::uint64_t kMaxTableBytes = (2040ull << 30) / kMinBlockSize * 4;

std::uint64_t BlockOverhead(std::uint32_t blockSize) { return std::uint64_t{BitmapSectors(blockSize)} * kSectorSize; }

// The entries of a table that would begin at offset: as many as lie before
// the first block they name. Empty when an entry names a sector inside the
// table or outside the data, or when none names a block.
std::vector<std::uint32_t> EntriesAt(const std::vector<std::uint8_t>& head, std::uint64_t offset, std::uint64_t dataEnd) {
  std::vector<std::uint32_t> entries;
  std::uint64_t firstBlock = head.size();
  for (std::uint64_t at = offset; at + 4 <= std::min<std::uint64_t>(head.size(), firstBlock); at += 4) {
    const std::uint32_t entry = be32(head, static_cast<std::size_t>(at));
    if (entry != kAbsentBlock) {
      const std::uint64_t block = std::uint64_t{entry} * kSectorSize;
      if (block < at + 4 || block >= dataEnd) break;
      firstBlock = std::min(firstBlock, block);
    }
    entries.push_back(entry);
  }
  // Entries that run into the first block's bitmap are no part of the table.
  const std::uint64_t tableEntries = firstBlock > offset ? (firstBlock - offset) / 4 : 0;
  if (entries.size() > tableEntries) entries.resize(static_cast<std::size_t>(tableEntries));
  const bool namesBlock =
      std::any_of(entries.begin(), entries.end(), [](std::uint32_t e) { return e != kAbsentBlock; });
  if (!namesBlock || firstBlock == head.size()) entries.clear();
  return entries;
}

}  // namespace

std::optional<std::uint64_t> FindDynamicHeader(const ByteSource& file) {
  const std::vector<std::uint8_t> head = ReadBlock(file, 0, static_cast<std::size_t>(std::min(kSearchSpan, file.Size())));
  for (std::size_t at = 0; at + kDynamicHeaderSize <= head.size(); at += kSectorSize)
    if (HasAscii(head, at + kHeaderCookieOffset, kDynamicHeaderCookie)) return at;
  return std::nullopt;
}

std::optional<DynamicHeader> FindBlockTableByShape(const ByteSource& file, std::uint64_t dataEnd, std::uint64_t diskSize) {
  // The table may reach past the first MiB; the head read covers what a
  // table of the disk's size needs, never more than the largest table.
  const std::uint64_t tableBytes = std::min(kMaxTableBytes, std::max<std::uint64_t>(diskSize / kMinBlockSize * 4, kSearchSpan));
  const std::uint64_t span = std::min(dataEnd, kSearchSpan + tableBytes);
  const std::vector<std::uint8_t> head = ReadBlock(file, 0, static_cast<std::size_t>(span));
  std::vector<std::uint64_t> places{kDefaultBatOffset};
  for (std::uint64_t at = kSectorSize; at < kSearchSpan; at += kSectorSize)
    if (at != kDefaultBatOffset) places.push_back(at);
  for (const std::uint64_t offset : places) {
    const std::vector<std::uint32_t> entries = EntriesAt(head, offset, dataEnd);
    if (entries.empty()) continue;
    std::vector<std::uint64_t> blocks;
    std::size_t lastNamed = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i] == kAbsentBlock) continue;
      blocks.push_back(std::uint64_t{entries[i]} * kSectorSize);
      lastNamed = i;
    }
    const std::uint32_t blockSize = BlockSizeFromSpacing(blocks, BlockOverhead, kMinBlockSize).value_or(kUsualBlockSize);
    std::uint64_t wanted = 0;
    if (diskSize != 0) {
      wanted = (diskSize + blockSize - 1) / blockSize;
    } else {
      // The disk's first sector lies in its first block, when that is held.
      const std::uint64_t extent =
          entries[0] == kAbsentBlock
              ? 0
              : PartitionTableExtent(ReadBlock(file, std::uint64_t{entries[0]} * kSectorSize + BlockOverhead(blockSize),
                                               kSectorSize));
      wanted = std::max<std::uint64_t>(lastNamed + 1, (extent + blockSize - 1) / blockSize);
    }
    DynamicHeader header;
    header.tableOffset = offset;
    header.blockSize = blockSize;
    // Every block the table names stays in it, whatever size the footer claims.
    wanted = std::max<std::uint64_t>(wanted, lastNamed + 1);
    header.maxTableEntries = static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, entries.size()));
    return header;
  }
  return std::nullopt;
}

}  // namespace dravik::vhd
