#include "fs/ext/Superblock.h"

#include <vector>

#include "disk/ExtSignature.h"
#include "disk/SectorReader.h"
#include "fs/ext/Checksums.h"
#include "util/Diagnostics.h"

namespace dravik::ext {

namespace {

constexpr std::size_t kInodesCountOffset = 0x00;
constexpr std::size_t kFirstDataBlockOffset = 0x14;
constexpr std::size_t kInodesPerGroupOffset = 0x28;
constexpr std::size_t kRevisionOffset = 0x4C;
constexpr std::size_t kFirstInodeOffset = 0x54;
constexpr std::size_t kInodeSizeOffset = 0x58;
constexpr std::size_t kVolumeNameOffset = 0x78;
constexpr std::size_t kVolumeNameSize = 16;
constexpr std::size_t kJournalInodeOffset = 0xE0;
constexpr std::size_t kDescriptorSizeOffset = 0xFE;
constexpr std::size_t kFirstMetaBgOffset = 0x104;
constexpr std::size_t kBlocksCountHiOffset = 0x150;
constexpr std::size_t kBackupGroupsOffset = 0x24C;
constexpr std::size_t kVolumeIdOffset = 0x68;
constexpr std::size_t kChecksumSeedOffset = 0x270;

constexpr std::uint32_t kMaxLogBlockSize = 6;
constexpr std::uint32_t kGoodOldInodeSize = 128;
constexpr std::uint32_t kGoodOldFirstInode = 11;

bool IsPowerOf(std::uint64_t n, std::uint64_t base) {
  if (n == 0) return false;
  while (n % base == 0) n /= base;
  return n == 1;
}

}  // namespace

std::uint16_t Superblock::Code() const { return ExtCodeOfFeatures(compat, incompat, roCompat); }

bool Superblock::Has64Bit() const { return (incompat & kIncompat64Bit) != 0 && descriptorSize >= 64; }

std::uint64_t Superblock::GroupCount() const {
  return (blocksCount - firstDataBlock + blocksPerGroup - 1) / blocksPerGroup;
}

bool Superblock::GroupHasSuperblock(std::uint64_t group) const {
  if (group == 0) return true;
  if ((compat & kCompatSparseSuper2) != 0) return group == backupGroups[0] || group == backupGroups[1];
  if ((roCompat & kRoCompatSparseSuper) == 0) return true;
  return group == 1 || IsPowerOf(group, 3) || IsPowerOf(group, 5) || IsPowerOf(group, 7);
}

std::optional<Superblock> DecodeSuperblock(Bytes b, std::string& why) {
  if (le16(b, kMagicOffset) != kMagic) {
    why = "no ext superblock magic (EF53)";
    return std::nullopt;
  }
  Superblock s;
  const std::uint32_t logBlockSize = le32(b, kLogBlockSizeOffset);
  if (logBlockSize > kMaxLogBlockSize) {
    why = "a block size of 1024 << " + std::to_string(logBlockSize) + " bytes";
    return std::nullopt;
  }
  s.blockSize = 1024u << logBlockSize;
  s.inodesCount = le32(b, kInodesCountOffset);
  s.firstDataBlock = le32(b, kFirstDataBlockOffset);
  s.blocksPerGroup = le32(b, kBlocksPerGroupOffset);
  s.inodesPerGroup = le32(b, kInodesPerGroupOffset);
  s.revision = le32(b, kRevisionOffset);
  s.groupOfCopy = le16(b, kGroupOfCopyOffset);
  s.compat = le32(b, kFeatureCompatOffset);
  s.incompat = le32(b, kFeatureIncompatOffset);
  s.roCompat = le32(b, kFeatureRoCompatOffset);
  s.blocksCount = le32(b, kBlocksCountLoOffset);
  if ((s.incompat & kIncompat64Bit) != 0) {
    s.blocksCount |= std::uint64_t{le32(b, kBlocksCountHiOffset)} << 32;
    s.descriptorSize = le16(b, kDescriptorSizeOffset);
  }
  if (s.revision >= 1) {
    s.firstInode = le32(b, kFirstInodeOffset);
    s.inodeSize = le16(b, kInodeSizeOffset);
  } else {
    s.firstInode = kGoodOldFirstInode;
    s.inodeSize = kGoodOldInodeSize;
  }
  s.firstMetaBg = le32(b, kFirstMetaBgOffset);
  if ((s.compat & kCompatHasJournal) != 0) s.journalInode = le32(b, kJournalInodeOffset);
  s.backupGroups[0] = le32(b, kBackupGroupsOffset);
  s.backupGroups[1] = le32(b, kBackupGroupsOffset + 4);
  for (std::size_t i = 0; i < s.volumeId.size(); ++i) s.volumeId[i] = u8(b, kVolumeIdOffset + i);
  s.checksumSeed = le32(b, kChecksumSeedOffset);
  for (std::size_t i = 0; i < kVolumeNameSize && u8(b, kVolumeNameOffset + i) != 0; ++i)
    s.label.push_back(static_cast<char>(u8(b, kVolumeNameOffset + i)));

  const std::uint64_t bitsPerBlock = std::uint64_t{s.blockSize} * 8;
  if (s.blocksPerGroup == 0 || s.blocksPerGroup > bitsPerBlock) {
    why = "blocks per group " + std::to_string(s.blocksPerGroup) + " with blocks of " + std::to_string(s.blockSize);
  } else if (s.inodesPerGroup == 0 || s.inodesPerGroup > bitsPerBlock) {
    why = "inodes per group " + std::to_string(s.inodesPerGroup);
  } else if (s.blocksCount <= s.firstDataBlock || s.firstDataBlock > 1) {
    why = "a blocks count of " + std::to_string(s.blocksCount) + " from block " + std::to_string(s.firstDataBlock);
  } else if (s.inodeSize < kGoodOldInodeSize || s.inodeSize > s.blockSize || (s.inodeSize & (s.inodeSize - 1)) != 0) {
    why = "an inode size of " + std::to_string(s.inodeSize);
  } else if (s.Has64Bit() && (s.descriptorSize & (s.descriptorSize - 1)) != 0) {
    why = "a group descriptor size of " + std::to_string(s.descriptorSize);
  } else if (s.inodesCount == 0 || std::uint64_t{s.inodesCount} > s.GroupCount() * s.inodesPerGroup) {
    why = "an inodes count of " + std::to_string(s.inodesCount) + " beyond its " + std::to_string(s.GroupCount()) +
          " groups";
  } else {
    if (s.firstInode < kGoodOldFirstInode || s.firstInode > s.inodesCount) s.firstInode = kGoodOldFirstInode;
    return s;
  }
  return std::nullopt;
}

std::optional<FoundSuperblock> ReadSuperblock(const SectorReader& reader, std::uint64_t start,
                                              Diagnostics& diagnostics) {
  std::vector<std::uint8_t> bytes(kSuperblockSize);
  struct Read {
    FoundSuperblock found;
    bool checksumHolds = true;
  };
  const auto tryAt = [&](std::uint64_t byteOffset, std::uint64_t block,
                         std::uint32_t blockSize) -> std::optional<Read> {
    const std::uint64_t lba = start + byteOffset / kSectorSize;
    if (lba + kSuperblockSize / kSectorSize > reader.SectorCount()) return std::nullopt;
    reader.Read(lba, kSuperblockSize / kSectorSize, bytes);
    std::string why;
    auto s = DecodeSuperblock(bytes, why);
    if (s && blockSize != 0 && s->blockSize != blockSize) why = "a copy that gives another block size";
    else if (s) return Read{FoundSuperblock{*s, block}, SuperblockChecksumHolds(bytes)};
    diagnostics.Add(lba, "the ext superblock does not read: " + why, "a damaged or overwritten superblock");
    return std::nullopt;
  };
  auto primary = tryAt(kSuperblockOffset, 0, 0);
  if (primary) {
    primary->found.block = primary->found.superblock.blockSize == 1024 ? 1 : 0;
    if (primary->checksumHolds) return primary->found;
    diagnostics.Add(start + kSuperblockOffset / kSectorSize, "the ext superblock's checksum fails",
                    "a damaged superblock");
  }
  // The copy of group 1 as mke2fs places it by default; one whose checksum
  // holds is taken first. In place of a primary that decodes, only a copy of
  // the same volume is.
  std::optional<Read> copy;
  for (const std::uint32_t blockSize : {1024u, 2048u, 4096u}) {
    const std::uint64_t byteOffset = DefaultGroup1CopySector(blockSize) * kSectorSize;
    const std::uint64_t block = byteOffset / blockSize;
    auto found = tryAt(byteOffset, block, blockSize);
    if (!found || (primary && found->found.superblock.volumeId != primary->found.superblock.volumeId)) continue;
    if (found->checksumHolds) {
      if (primary) diagnostics.Add(start + byteOffset / kSectorSize,
                                   "the ext superblock copy whose checksum holds is read in place of the primary");
      return found->found;
    }
    diagnostics.Add(start + byteOffset / kSectorSize, "the ext superblock copy's checksum fails",
                    "a damaged superblock copy");
    if (!copy) copy = found;
  }
  if (primary) return primary->found;
  if (copy) return copy->found;
  return std::nullopt;
}

}  // namespace dravik::ext
