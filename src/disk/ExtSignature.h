#pragma once
// Recognising an ext2/ext3/ext4 volume by its superblock, for the partition
// table and the partition search (the readers of the volume are in fs/ext/).
// The superblock lies 1024 bytes into the volume, in its third sector; the
// fields read here are all in the superblock's first 512 bytes.

#include <cstdint>

#include "util/Bytes.h"

namespace dravik::ext {

// The sector of the volume that starts the primary superblock.
constexpr std::uint64_t kSuperblockSector = 2;

constexpr std::size_t kBlocksCountLoOffset = 0x04;
constexpr std::size_t kLogBlockSizeOffset = 0x18;
constexpr std::size_t kBlocksPerGroupOffset = 0x20;
constexpr std::size_t kMagicOffset = 0x38;
constexpr std::size_t kGroupOfCopyOffset = 0x5A;
constexpr std::size_t kFeatureCompatOffset = 0x5C;
constexpr std::size_t kFeatureIncompatOffset = 0x60;
constexpr std::size_t kFeatureRoCompatOffset = 0x64;
constexpr std::uint16_t kMagic = 0xEF53;

// Feature flags the readers and the kind decision look at.
constexpr std::uint32_t kCompatHasJournal = 0x4;
constexpr std::uint32_t kCompatSparseSuper2 = 0x200;
constexpr std::uint32_t kIncompatFiletype = 0x2;
constexpr std::uint32_t kIncompatJournalDev = 0x8;
constexpr std::uint32_t kIncompatMetaBg = 0x10;
constexpr std::uint32_t kIncompatExtents = 0x40;
constexpr std::uint32_t kIncompat64Bit = 0x80;
constexpr std::uint32_t kIncompatMmp = 0x100;
constexpr std::uint32_t kIncompatFlexBg = 0x200;
constexpr std::uint32_t kIncompatEaInode = 0x400;
constexpr std::uint32_t kIncompatDirData = 0x1000;
constexpr std::uint32_t kIncompatCsumSeed = 0x2000;
constexpr std::uint32_t kIncompatLargeDir = 0x4000;
constexpr std::uint32_t kIncompatInlineData = 0x8000;
constexpr std::uint32_t kIncompatEncrypt = 0x10000;
constexpr std::uint32_t kIncompatCasefold = 0x20000;
constexpr std::uint32_t kRoCompatSparseSuper = 0x1;
constexpr std::uint32_t kRoCompatHugeFile = 0x8;
constexpr std::uint32_t kRoCompatGdtCsum = 0x10;
constexpr std::uint32_t kRoCompatDirNlink = 0x20;
constexpr std::uint32_t kRoCompatExtraIsize = 0x40;
constexpr std::uint32_t kRoCompatMetadataCsum = 0x400;

// Which of ext2, ext3 and ext4 the features make the volume: any feature
// that only ext4 knows makes it ext4, otherwise a journal ext3, otherwise
// ext2.
std::uint16_t ExtCodeOfFeatures(std::uint32_t compat, std::uint32_t incompat, std::uint32_t roCompat);

// The volume whose superblock starts in this sector (the third of the
// volume): its FsCode and its length in sectors; code 0 when the sector is
// no superblock (wrong magic, a block size past 64 KiB, no blocks, an
// external journal rather than a file system, or the copy that a later
// block group keeps, which names its group: with 1 KiB blocks it lies 1024
// bytes into its group just as the primary lies in the volume).
struct FoundExtVolume {
  std::uint16_t code = 0;
  std::uint64_t sectors = 0;
};
FoundExtVolume RecogniseSuperblock(Bytes sector);

// The sector, counted from the volume's start, where mke2fs puts group 1's
// copy of the superblock for blocks of blockSize bytes (8 × blockSize blocks
// a group).
std::uint64_t DefaultGroup1CopySector(std::uint32_t blockSize);
// The volume whose group 1 keeps, in this sector, the copy mke2fs puts there
// for blocks of blockSize bytes: the copy must name group 1 and give that
// block size and the default blocks per group. Code 0 when it is no such copy.
FoundExtVolume RecogniseGroup1Copy(Bytes sector, std::uint32_t blockSize);

}  // namespace dravik::ext
