#include "fs/ext/ExtVolume.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <utility>

#include "disk/ExtSignature.h"
#include "disk/SectorReader.h"
#include "fs/ext/BlockMap.h"
#include "fs/ext/Checksums.h"
#include "fs/ext/ExtentTree.h"
#include "fs/ext/InlineData.h"
#include "util/Diagnostics.h"

namespace dravik::ext {

namespace {

constexpr std::uint64_t kFastSymlinkLimit = 60;
// Inode tables are read this many blocks at a time by the sweep.
constexpr std::uint64_t kTableChunkBlocks = 64;
// Inode table blocks kept for single inodes.
constexpr std::size_t kKeptInodeBlocks = 64;

// Notes the group descriptors whose checksum fails: how many were taken
// from a backup table, how many kept as read.
void NoteDescriptorChecksums(const std::vector<GroupDescriptor>& groups, std::uint64_t sector,
                             Diagnostics& diagnostics) {
  std::uint64_t fromBackup = 0, kept = 0;
  for (const GroupDescriptor& d : groups) {
    if (d.fromBackup) ++fromBackup;
    else if (!d.checksumHolds) ++kept;
  }
  if (fromBackup != 0)
    diagnostics.Add(sector, std::to_string(fromBackup) + " ext group descriptors fail their checksum and are read "
                    "from a backup table", "a damaged descriptor table");
  if (kept != 0)
    diagnostics.Add(sector, std::to_string(kept) + " ext group descriptors fail their checksum, no backup holds "
                    "theirs, and are read as they are", "a damaged descriptor table");
}

}  // namespace

struct ExtVolume::InodeBlocks {
  std::mutex mutex;
  std::deque<std::pair<std::uint64_t, std::vector<std::uint8_t>>> kept;  // oldest first
};

ExtVolume::ExtVolume(const SectorReader& reader, std::uint64_t start, const FoundSuperblock& found,
                     std::vector<GroupDescriptor> groups)
    : reader_(&reader),
      start_(start),
      super_(found.superblock),
      superblockBlock_(found.block),
      groups_(std::move(groups)),
      descriptorsCurrent_(found.superblock.groupOfCopy == 0),
      checksumSeed_(VolumeChecksumSeed(found.superblock)),
      blocks_(reader, start, found.superblock.blockSize, found.superblock.blocksCount),
      format_{(found.superblock.incompat & kIncompatFiletype) != 0, found.superblock.inodesCount},
      inodeBlocks_(std::make_shared<InodeBlocks>()) {}

std::optional<ExtVolume> ExtVolume::Open(const SectorReader& reader, std::uint64_t start, Diagnostics& diagnostics) {
  const auto found = ReadSuperblock(reader, start, diagnostics);
  if (!found) return std::nullopt;
  std::string why;
  auto groups = ReadGroupDescriptors(reader, start, found->superblock, found->block, why);
  if (!groups) {
    diagnostics.Add(start, "the ext group descriptors do not read: " + why, "a damaged superblock");
    return std::nullopt;
  }
  NoteDescriptorChecksums(*groups, start, diagnostics);
  return ExtVolume(reader, start, *found, std::move(*groups));
}

std::optional<ExtVolume> ExtVolume::OpenBy(const SectorReader& reader, std::uint64_t start,
                                           std::uint64_t superblockSector, Diagnostics& diagnostics) {
  if (superblockSector < start || superblockSector + kSuperblockSize / kSectorSize > reader.SectorCount()) {
    diagnostics.Add(superblockSector, "the ext superblock lies outside the disk or before its volume");
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes(kSuperblockSize);
  reader.Read(superblockSector, kSuperblockSize / kSectorSize, bytes);
  std::string why;
  const auto superblock = DecodeSuperblock(bytes, why);
  if (!superblock) {
    diagnostics.Add(superblockSector, "the ext superblock does not read: " + why, "a damaged or overwritten superblock");
    return std::nullopt;
  }
  // The primary lies 1024 bytes in (in block 0 or 1), a copy at the start
  // of its group's first block.
  const std::uint64_t offset = (superblockSector - start) * kSectorSize;
  const std::uint64_t block = offset / superblock->blockSize;
  if (offset != kSuperblockOffset && offset != block * superblock->blockSize) {
    diagnostics.Add(superblockSector, "the ext superblock lies inside a block of its volume", "a wrong volume start");
    return std::nullopt;
  }
  auto groups = ReadGroupDescriptors(reader, start, *superblock, block, why);
  if (!groups) {
    diagnostics.Add(superblockSector, "the ext group descriptors do not read: " + why, "a damaged superblock");
    return std::nullopt;
  }
  NoteDescriptorChecksums(*groups, superblockSector, diagnostics);
  return ExtVolume(reader, start, FoundSuperblock{*superblock, block}, std::move(*groups));
}

std::optional<ExtVolume> ExtVolume::Open(const SectorReader& reader, const FsParams& params,
                                         Diagnostics& diagnostics) {
  if (params.superblockSector != 0) return OpenBy(reader, params.partitionStart, params.superblockSector, diagnostics);
  return Open(reader, params.partitionStart, diagnostics);
}

std::optional<ExtVolume::InodePlace> ExtVolume::PlaceOf(std::uint32_t number) const {
  if (number == 0 || number > super_.inodesCount) return std::nullopt;
  const std::uint64_t group = (number - 1) / super_.inodesPerGroup;
  const std::uint64_t index = (number - 1) % super_.inodesPerGroup;
  if (group >= groups_.size()) return std::nullopt;
  const std::uint64_t offset = index * super_.inodeSize;
  return InodePlace{groups_[group].inodeTable + offset / super_.blockSize,
                    static_cast<std::size_t>(offset % super_.blockSize)};
}

std::optional<Inode> ExtVolume::ReadInode(std::uint32_t number) const {
  const auto place = PlaceOf(number);
  if (!place) return std::nullopt;
  const std::uint64_t block = place->block;
  const std::lock_guard lock(inodeBlocks_->mutex);
  auto& kept = inodeBlocks_->kept;
  auto it = std::find_if(kept.begin(), kept.end(), [&](const auto& entry) { return entry.first == block; });
  if (it == kept.end()) {
    std::vector<std::uint8_t> bytes(super_.blockSize);
    if (!blocks_.Read(block, bytes)) return std::nullopt;
    if (kept.size() == kKeptInodeBlocks) kept.pop_front();
    kept.emplace_back(block, std::move(bytes));
    it = kept.end() - 1;
  }
  return DecodeInode(Slice(it->second, place->offset, super_.inodeSize), number);
}

bool ExtVolume::InodeChecksumHolds(const Inode& inode) const {
  return inode.number == 0 || ext::InodeChecksumHolds(super_, checksumSeed_, inode.number, inode.raw);
}

bool ExtVolume::KeepsBytesInInode(const Inode& inode) {
  if ((inode.flags & kFlagInlineData) != 0) return true;
  // A symlink's target shorter than i_block is kept there.
  return inode.IsSymlink() && (inode.flags & kFlagExtents) == 0 && inode.size < kFastSymlinkLimit;
}

std::optional<std::vector<std::uint8_t>> ExtVolume::BytesInInode(const Inode& inode) const {
  return InlineBytes(inode, inode.size);
}

FileMap ExtVolume::Map(const Inode& inode) const {
  return Map(inode, [this](std::uint64_t block, std::span<std::uint8_t> buffer) {
    return blocks_.Read(block, buffer);
  });
}

FileMap ExtVolume::Map(const Inode& inode, const MapBlockReader& readMapBlock) const {
  if (KeepsBytesInInode(inode)) return {};
  if ((inode.flags & kFlagExtents) != 0) {
    std::optional<std::uint32_t> seed;
    if ((super_.roCompat & kRoCompatMetadataCsum) != 0 && inode.number != 0)
      seed = InodeChecksumSeed(checksumSeed_, inode.number, inode.raw);
    return MapExtents(blocks_, readMapBlock, inode.blocks, seed);
  }
  const std::uint64_t logical = (inode.size + super_.blockSize - 1) / super_.blockSize;
  return MapBlocks(blocks_, readMapBlock, inode.blocks, logical);
}

bool ExtVolume::ReadDirectory(const Inode& folder, std::vector<DirEntry>& entries) const {
  if (folder.size > kMaxDirectoryBytes) return false;
  if ((folder.flags & kFlagInlineData) != 0) {
    // The parent's number first, then entries in i_block and in the attribute.
    constexpr std::size_t kParentSize = 4;
    const Bytes inBlock = Bytes(folder.blocks).subspan(kParentSize);
    bool whole = ParseDirEntries(inBlock, format_, true, entries);
    const std::vector<std::uint8_t> rest = InlineAttribute(folder);
    if (!rest.empty()) whole = ParseDirEntries(rest, format_, true, entries) && whole;
    return whole;
  }
  const FileMap map = Map(folder);
  bool whole = !map.damaged;
  const bool indexed = (folder.flags & kFlagIndex) != 0;
  const std::uint64_t logicalEnd = (folder.size + super_.blockSize - 1) / super_.blockSize;
  std::vector<std::uint8_t> block(super_.blockSize);
  for (const MappedRun& run : map.runs) {
    for (std::uint64_t i = 0; i < run.count && run.logical + i < logicalEnd; ++i) {
      if (!blocks_.Read(run.physical + i, block)) {
        whole = false;
        continue;
      }
      const bool first = run.logical + i == 0;
      if (indexed && !first && IsIndexNode(block)) continue;
      whole = ParseDirEntries(block, format_, !(indexed && first), entries) && whole;
    }
  }
  return whole;
}

std::uint64_t ExtVolume::UsedInodes(std::uint64_t g) const {
  const GroupDescriptor& d = groups_[g];
  if (descriptorsCurrent_ && d.checksumHolds && !d.fromBackup) return d.UsedInodes(super_);
  std::vector<std::uint8_t> bitmap(super_.blockSize);
  if (!blocks_.Read(groups_[g].inodeBitmap, bitmap)) return super_.inodesPerGroup;
  // inodesPerGroup is at most the bits of a block (DecodeSuperblock).
  for (std::uint64_t bit = super_.inodesPerGroup; bit > 0; --bit)
    if ((bitmap[(bit - 1) / 8] >> ((bit - 1) % 8)) & 1) return bit;
  return 0;
}

void ExtVolume::ForEachInodeInUse(const std::function<bool(std::uint32_t, const Inode&)>& visit) const {
  const std::uint64_t perBlock = super_.blockSize / super_.inodeSize;
  std::vector<std::uint8_t> chunk;
  for (std::uint64_t g = 0; g < groups_.size(); ++g) {
    const std::uint64_t used = UsedInodes(g);
    const std::uint64_t tableBlocks = (used + perBlock - 1) / perBlock;
    for (std::uint64_t b = 0; b < tableBlocks; b += kTableChunkBlocks) {
      const std::uint64_t count = std::min(kTableChunkBlocks, tableBlocks - b);
      const std::uint64_t first = groups_[g].inodeTable + b;
      if (!blocks_.Contains(first, count)) break;
      chunk.assign(count * super_.blockSize, 0);
      reader_->Read(blocks_.SectorOf(first), static_cast<std::uint32_t>(count * super_.BlockSectors()), chunk);
      for (std::uint64_t i = 0; i < count * perBlock; ++i) {
        const std::uint64_t index = b * perBlock + i;
        const std::uint64_t number = g * super_.inodesPerGroup + index + 1;
        if (index >= used || number > super_.inodesCount) break;
        if (number < super_.firstInode) continue;
        const Inode inode =
            DecodeInode(Slice(chunk, i * super_.inodeSize, super_.inodeSize), static_cast<std::uint32_t>(number));
        if (inode.InUse() && !visit(static_cast<std::uint32_t>(number), inode)) return;
      }
    }
  }
}

}  // namespace dravik::ext
