#include "fs/ext/Checksums.h"

#include <algorithm>
#include <array>
#include <vector>

#include "disk/ExtSignature.h"
#include "util/Crc32.h"

namespace dravik::ext {

namespace {

constexpr std::size_t kSuperblockChecksumOffset = 0x3FC;
constexpr std::size_t kDescriptorChecksumOffset = 0x1E;
constexpr std::size_t kClassicDescriptorSize = 32;
constexpr std::size_t kInodeGenerationOffset = 0x64;
constexpr std::size_t kInodeChecksumLoOffset = 0x7C;
constexpr std::size_t kInodeExtraSizeOffset = 0x80;
constexpr std::size_t kInodeChecksumHiOffset = 0x82;
constexpr std::size_t kGoodOldInodeSize = 128;
constexpr std::size_t kExtentHeaderSize = 12;
constexpr std::size_t kExtentEntrySize = 12;
constexpr std::size_t kExtentCapacityOffset = 0x4;

// A folder block: ".." from 12, each record with its length at 4; the tail
// record of a linear block; an htree root's info from 0x18 (its length at
// 0x1D), then the limit and count of its 8-byte entries.
constexpr std::size_t kDotDotOffset = 12;
constexpr std::size_t kRecordLengthOffset = 4;
constexpr std::size_t kDirTailSize = 12;
constexpr std::size_t kDirTailTypeOffset = 7;
constexpr std::uint8_t kDirTailType = 0xDE;
constexpr std::size_t kDxInfoOffset = 0x18;
constexpr std::size_t kDxInfoLengthOffset = 0x1D;
constexpr std::size_t kDxCountOffset = 2;
constexpr std::size_t kDxEntrySize = 8;
constexpr std::size_t kDxTailChecksumOffset = 4;

constexpr std::array<std::uint16_t, 256> MakeCrc16Table() {
  std::array<std::uint16_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xA001u ^ (c >> 1) : c >> 1;
    table[i] = static_cast<std::uint16_t>(c);
  }
  return table;
}

constexpr auto kCrc16Table = MakeCrc16Table();

std::array<std::uint8_t, 4> Le32Bytes(std::uint64_t v) {
  return {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
          static_cast<std::uint8_t>(v >> 24)};
}

bool HasMetadataChecksums(const Superblock& s) { return (s.roCompat & kRoCompatMetadataCsum) != 0; }

}  // namespace

// The library's Crc32c inverts before and after; undoing both gives the
// bare update.
std::uint32_t ExtCrc32c(std::uint32_t crc, Bytes bytes) { return ~Crc32c(bytes, ~crc); }

std::uint16_t ExtCrc16(std::uint16_t crc, Bytes bytes) {
  for (const std::uint8_t b : bytes) crc = static_cast<std::uint16_t>(kCrc16Table[(crc ^ b) & 0xFF] ^ (crc >> 8));
  return crc;
}

bool SuperblockChecksumHolds(Bytes b) {
  if ((le32(b, kFeatureRoCompatOffset) & kRoCompatMetadataCsum) == 0 || b.size() < kSuperblockChecksumOffset + 4)
    return true;
  return ExtCrc32c(~0u, b.first(kSuperblockChecksumOffset)) == le32(b, kSuperblockChecksumOffset);
}

std::uint32_t VolumeChecksumSeed(const Superblock& s) {
  if ((s.incompat & kIncompatCsumSeed) != 0) return s.checksumSeed;
  return ExtCrc32c(~0u, s.volumeId);
}

bool DescriptorChecksumHolds(const Superblock& s, std::uint32_t volumeSeed, std::uint64_t group, Bytes d) {
  const bool metadata = HasMetadataChecksums(s);
  if ((!metadata && (s.roCompat & kRoCompatGdtCsum) == 0) || d.size() < kClassicDescriptorSize) return true;
  const auto number = Le32Bytes(group);
  const std::array<std::uint8_t, 2> zeros{};
  const Bytes before = d.first(kDescriptorChecksumOffset), after = d.subspan(kDescriptorChecksumOffset + 2);
  std::uint16_t sum = 0;
  if (metadata) {
    std::uint32_t crc = ExtCrc32c(volumeSeed, number);
    crc = ExtCrc32c(ExtCrc32c(ExtCrc32c(crc, before), zeros), after);
    sum = static_cast<std::uint16_t>(crc);
  } else {
    // gdt_csum leaves out the checksum's own two bytes rather than zeroing them.
    sum = ExtCrc16(ExtCrc16(ExtCrc16(ExtCrc16(0xFFFF, s.volumeId), number), before), after);
  }
  return sum == le16(d, kDescriptorChecksumOffset);
}

std::uint32_t InodeChecksumSeed(std::uint32_t volumeSeed, std::uint32_t number, Bytes inode) {
  const auto generation = Le32Bytes(le32(inode, kInodeGenerationOffset));
  return ExtCrc32c(ExtCrc32c(volumeSeed, Le32Bytes(number)), generation);
}

bool InodeChecksumHolds(const Superblock& s, std::uint32_t volumeSeed, std::uint32_t number, Bytes inode) {
  if (!HasMetadataChecksums(s) || inode.size() < kGoodOldInodeSize) return true;
  // A table mke2fs left for later holds zeros, which mislead no reader.
  if (std::all_of(inode.begin(), inode.end(), [](std::uint8_t b) { return b == 0; })) return true;
  // The high half exists where the extra fields reach past it.
  const bool wide = inode.size() > kGoodOldInodeSize &&
                    kGoodOldInodeSize + le16(inode, kInodeExtraSizeOffset) >= kInodeChecksumHiOffset + 2 &&
                    inode.size() >= kInodeChecksumHiOffset + 2;
  std::vector<std::uint8_t> zeroed(inode.begin(), inode.end());
  zeroed[kInodeChecksumLoOffset] = zeroed[kInodeChecksumLoOffset + 1] = 0;
  std::uint32_t stored = le16(inode, kInodeChecksumLoOffset);
  if (wide) {
    zeroed[kInodeChecksumHiOffset] = zeroed[kInodeChecksumHiOffset + 1] = 0;
    stored |= std::uint32_t{le16(inode, kInodeChecksumHiOffset)} << 16;
  }
  const std::uint32_t crc = ExtCrc32c(InodeChecksumSeed(volumeSeed, number, inode), zeroed);
  return (wide ? crc : crc & 0xFFFF) == stored;
}

bool ExtentBlockChecksumHolds(std::uint32_t inodeSeed, Bytes node) {
  const std::size_t tail = kExtentHeaderSize + std::size_t{le16(node, kExtentCapacityOffset)} * kExtentEntrySize;
  if (tail + 4 > node.size()) return false;
  return ExtCrc32c(inodeSeed, node.first(tail)) == le32(node, tail);
}

bool DirectoryBlockChecksumHolds(std::uint32_t inodeSeed, Bytes block, bool indexed) {
  if (block.size() < kDxInfoOffset + kDirTailSize) return false;
  const std::size_t tail = block.size() - kDirTailSize;
  if (le32(block, tail) == 0 && le16(block, tail + kRecordLengthOffset) == kDirTailSize &&
      u8(block, tail + kDirTailTypeOffset) == kDirTailType)
    return ExtCrc32c(inodeSeed, block.first(tail)) == le32(block, tail + kDirTailSize - 4);
  if (!indexed || le16(block, kDotDotOffset + kRecordLengthOffset) != block.size() - kDotDotOffset) return false;
  const std::size_t countOffset = kDxInfoOffset + u8(block, kDxInfoLengthOffset);
  if (countOffset + 4 > block.size()) return false;
  const std::size_t limit = le16(block, countOffset);
  const std::size_t count = le16(block, countOffset + kDxCountOffset);
  const std::size_t dxTail = countOffset + limit * kDxEntrySize;
  if (count > limit || dxTail + 8 > block.size()) return false;
  const std::uint32_t entries = ExtCrc32c(inodeSeed, block.first(countOffset + count * kDxEntrySize));
  const Bytes reserved = block.subspan(dxTail, kDxTailChecksumOffset);
  return ExtCrc32c(entries, reserved) == le32(block, dxTail + kDxTailChecksumOffset);
}

}  // namespace dravik::ext
