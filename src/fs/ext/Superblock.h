#pragma once
// The ext2/ext3/ext4 superblock: 1024 bytes at byte 1024 of the volume, with
// copies at the start of some block groups (every group without
// sparse_super; groups 0, 1 and the powers of 3, 5 and 7 with it; the two
// groups it names with sparse_super2). All fields are little-endian.
//
//   0x00 inodes count         0x04 blocks count (low)    0x14 first data block
//   0x18 log2(block size)-10  0x20 blocks per group      0x28 inodes per group
//   0x38 magic EF53           0x4C revision              0x54 first inode
//   0x58 inode size           0x5A group of this copy    0x5C/60/64 features
//   0xE0 journal inode        0xFE descriptor size       0x104 first meta group
//   0x68 volume id (16 bytes)  0x150 blocks count (high)
//   0x24C sparse_super2's two backup groups                0x270 checksum seed

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "util/Bytes.h"

namespace dravik {
class Diagnostics;
class SectorReader;
}  // namespace dravik

namespace dravik::ext {

constexpr std::size_t kSuperblockSize = 1024;
constexpr std::uint64_t kSuperblockOffset = 1024;  // bytes into the volume

struct Superblock {
  std::uint32_t inodesCount = 0;
  std::uint64_t blocksCount = 0;
  std::uint32_t firstDataBlock = 0;
  std::uint32_t blockSize = 0;  // bytes
  std::uint32_t blocksPerGroup = 0;
  std::uint32_t inodesPerGroup = 0;
  std::uint32_t revision = 0;
  std::uint32_t firstInode = 11;
  std::uint16_t inodeSize = 128;
  std::uint16_t groupOfCopy = 0;
  std::uint32_t compat = 0, incompat = 0, roCompat = 0;
  std::uint16_t descriptorSize = 32;
  std::uint32_t firstMetaBg = 0;
  std::uint32_t journalInode = 0;  // 0 without a journal kept in an inode
  std::uint32_t backupGroups[2] = {0, 0};
  std::array<std::uint8_t, 16> volumeId{};
  std::uint32_t checksumSeed = 0;  // with the csum_seed feature: the seed in place of the volume id's
  std::string label;

  std::uint16_t Code() const;  // kExt2, kExt3 or kExt4
  bool Has64Bit() const;
  std::uint64_t GroupCount() const;
  std::uint32_t BlockSectors() const { return blockSize / 512; }
  // Whether group g keeps a copy of the superblock and the descriptors.
  bool GroupHasSuperblock(std::uint64_t group) const;
};

// Decodes a superblock; none, with the reason in why, when its magic or its
// geometry cannot be (a block size past 64 KiB, no groups, inodes per group
// that do not fit a group, an inode size that is no power of two of 128 to
// the block size, more groups than blocks).
std::optional<Superblock> DecodeSuperblock(Bytes bytes, std::string& why);

// A superblock as read from the volume, and the volume block that holds it
// (0 or 1 for the primary, the first block of group 1 for its copy).
struct FoundSuperblock {
  Superblock superblock;
  std::uint64_t block = 0;
};

// The primary superblock of the volume at start, or when it is unusable the
// copy at the start of group 1, tried for block sizes of 1, 2 and 4 KiB with
// mke2fs's default of 8 * block size blocks per group. A primary whose
// checksum fails gives way to a copy whose checksum holds, and is used when
// no copy does. Why a copy was not usable goes into diagnostics.
std::optional<FoundSuperblock> ReadSuperblock(const SectorReader& reader, std::uint64_t start,
                                              Diagnostics& diagnostics);

}  // namespace dravik::ext
