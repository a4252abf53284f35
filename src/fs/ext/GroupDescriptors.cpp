#include "fs/ext/GroupDescriptors.h"

#include "disk/ExtSignature.h"
#include "disk/SectorReader.h"
#include "fs/ext/Checksums.h"

namespace dravik::ext {

namespace {

constexpr std::size_t kBlockBitmapLoOffset = 0x00;
constexpr std::size_t kInodeBitmapLoOffset = 0x04;
constexpr std::size_t kInodeTableLoOffset = 0x08;
constexpr std::size_t kFlagsOffset = 0x12;
constexpr std::size_t kUnusedLoOffset = 0x1C;
constexpr std::size_t kBlockBitmapHiOffset = 0x20;
constexpr std::size_t kInodeBitmapHiOffset = 0x24;
constexpr std::size_t kInodeTableHiOffset = 0x28;
constexpr std::size_t kUnusedHiOffset = 0x32;
constexpr std::uint16_t kInodeUninit = 0x1;
constexpr std::uint16_t kBlockUninit = 0x2;
constexpr std::uint32_t kClassicDescriptorSize = 32;

bool HasGroupChecksums(const Superblock& s) {
  return (s.roCompat & (kRoCompatGdtCsum | kRoCompatMetadataCsum)) != 0;
}

GroupDescriptor Decode(Bytes b, bool wide) {
  GroupDescriptor d;
  d.blockBitmap = le32(b, kBlockBitmapLoOffset);
  d.inodeBitmap = le32(b, kInodeBitmapLoOffset);
  d.inodeTable = le32(b, kInodeTableLoOffset);
  d.flags = le16(b, kFlagsOffset);
  d.unusedInodes = le16(b, kUnusedLoOffset);
  if (wide) {
    d.blockBitmap |= std::uint64_t{le32(b, kBlockBitmapHiOffset)} << 32;
    d.inodeBitmap |= std::uint64_t{le32(b, kInodeBitmapHiOffset)} << 32;
    d.inodeTable |= std::uint64_t{le32(b, kInodeTableHiOffset)} << 32;
    d.unusedInodes |= std::uint32_t{le16(b, kUnusedHiOffset)} << 16;
  }
  return d;
}

std::uint64_t GroupStart(const Superblock& s, std::uint64_t group) {
  return s.firstDataBlock + group * s.blocksPerGroup;
}

// The groups after group 0 that keep a copy of the superblock and the
// descriptor table, the first kMaxBackupTables of them.
std::vector<std::uint64_t> BackupGroups(const Superblock& s) {
  std::vector<std::uint64_t> groups;
  for (std::uint64_t g = 1; g < s.GroupCount() && groups.size() < kMaxBackupTables; ++g)
    if (s.GroupHasSuperblock(g)) groups.push_back(g);
  return groups;
}

// The blocks other than used that hold copies of descriptor block index:
// the primary table and those after the superblock copies, or with meta_bg
// the first, second and last groups of the meta group.
std::vector<std::uint64_t> BackupBlocks(const Superblock& s, const std::vector<std::uint64_t>& backupGroups,
                                        std::uint64_t index, std::uint64_t perBlock, std::uint64_t used) {
  std::vector<std::uint64_t> blocks;
  const auto take = [&](std::uint64_t block) {
    if (block != used && block < s.blocksCount) blocks.push_back(block);
  };
  if ((s.incompat & kIncompatMetaBg) != 0 && index >= s.firstMetaBg) {
    const std::uint64_t first = index * perBlock;
    for (const std::uint64_t g : {first, first + 1, first + perBlock - 1})
      if (g < s.GroupCount()) take(GroupStart(s, g) + (s.GroupHasSuperblock(g) ? 1 : 0));
    return blocks;
  }
  take(GroupStart(s, 0) + 1 + index);
  for (const std::uint64_t g : backupGroups) take(GroupStart(s, g) + 1 + index);
  return blocks;
}

}  // namespace

std::uint32_t DescriptorSize(const Superblock& s) { return s.Has64Bit() ? s.descriptorSize : kClassicDescriptorSize; }

std::uint64_t DescriptorBlock(const Superblock& s, std::uint64_t superblockBlock, std::uint64_t group) {
  const std::uint64_t perBlock = s.blockSize / DescriptorSize(s);
  const std::uint64_t index = group / perBlock;
  if ((s.incompat & kIncompatMetaBg) == 0 || index < s.firstMetaBg) return superblockBlock + 1 + index;
  const std::uint64_t first = index * perBlock;
  return s.firstDataBlock + first * s.blocksPerGroup + (s.GroupHasSuperblock(first) ? 1 : 0);
}

bool GroupDescriptor::FlagsTrusted(const Superblock& s) const {
  return HasGroupChecksums(s) && checksumHolds && !fromBackup;
}

bool GroupDescriptor::InodesUninitialised(const Superblock& s) const {
  return FlagsTrusted(s) && (flags & kInodeUninit) != 0;
}

bool GroupDescriptor::BlocksUninitialised(const Superblock& s) const {
  return FlagsTrusted(s) && (flags & kBlockUninit) != 0;
}

std::uint32_t GroupDescriptor::UsedInodes(const Superblock& s) const {
  if (InodesUninitialised(s)) return 0;
  if (!FlagsTrusted(s) || unusedInodes > s.inodesPerGroup) return s.inodesPerGroup;
  return s.inodesPerGroup - unusedInodes;
}

std::optional<std::vector<GroupDescriptor>> ReadGroupDescriptors(const SectorReader& reader, std::uint64_t start,
                                                                 const Superblock& s, std::uint64_t superblockBlock,
                                                                 std::string& why) {
  const std::uint64_t groups = s.GroupCount();
  if (groups > kMaxGroups) {
    why = std::to_string(groups) + " block groups, more than any disk this reads holds";
    return std::nullopt;
  }
  const bool wide = s.Has64Bit();
  const std::uint32_t size = DescriptorSize(s);
  const std::uint64_t perBlock = s.blockSize / size;
  std::vector<GroupDescriptor> descriptors;
  descriptors.reserve(static_cast<std::size_t>(groups));
  const std::uint32_t seed = VolumeChecksumSeed(s);
  const std::vector<std::uint64_t> backupGroups = BackupGroups(s);
  std::vector<std::uint8_t> block(s.blockSize);
  std::uint64_t loaded = UINT64_MAX;
  // The backups of the descriptor block loaded, in the order they are
  // tried, read when a descriptor in it first fails (none where one does
  // not read).
  std::vector<std::optional<std::vector<std::uint8_t>>> backups;
  bool backupsRead = false;
  for (std::uint64_t g = 0; g < groups; ++g) {
    const std::uint64_t index = g / perBlock;
    const std::uint64_t where = DescriptorBlock(s, superblockBlock, g);
    if (where >= s.blocksCount) {
      why = "the descriptor of group " + std::to_string(g) + " would lie at block " + std::to_string(where) +
            ", past the volume's end";
      return std::nullopt;
    }
    if (where != loaded) {
      reader.Read(start + where * s.BlockSectors(), s.BlockSectors(), block);
      loaded = where;
      backups.clear();
      backupsRead = false;
    }
    const std::size_t at = static_cast<std::size_t>((g % perBlock) * size);
    Bytes bytes = Slice(block, at, size);
    GroupDescriptor d = Decode(bytes, wide);
    d.checksumHolds = DescriptorChecksumHolds(s, seed, g, bytes);
    if (!d.checksumHolds) {
      if (!backupsRead) {
        backupsRead = true;
        for (const std::uint64_t b : BackupBlocks(s, backupGroups, index, perBlock, where)) {
          std::vector<std::uint8_t> copy(s.blockSize);
          const bool read = reader.Read(start + b * s.BlockSectors(), s.BlockSectors(), copy);
          backups.push_back(read ? std::optional(std::move(copy)) : std::nullopt);
        }
      }
      for (const auto& copy : backups) {
        if (!copy || !DescriptorChecksumHolds(s, seed, g, Slice(*copy, at, size))) continue;
        d = Decode(Slice(*copy, at, size), wide);
        d.fromBackup = true;
        break;
      }
    }
    descriptors.push_back(d);
  }
  return descriptors;
}

}  // namespace dravik::ext
