#include "fs/ext/JournalInodes.h"

#include "fs/ext/ExtVolume.h"
#include "fs/ext/ExtentTree.h"

namespace dravik::ext {

namespace {

constexpr std::size_t kNodeEntriesOffset = 0x2;
constexpr std::size_t kNodeDepthOffset = 0x6;
constexpr std::size_t kNodeHeaderSize = 12;
constexpr std::size_t kIndexSize = 12;
constexpr std::size_t kIndexChildLoOffset = 0x4;
constexpr std::size_t kIndexChildHiOffset = 0x8;

// The blocks of the nodes right below an extent tree's root in i_block
// (none for a tree that is a leaf in the inode, or a block map).
std::vector<std::uint64_t> RootChildren(const Inode& inode) {
  const Bytes root(inode.blocks);
  if ((inode.flags & kFlagExtents) == 0 || le16(root, 0) != kExtentMagic || le16(root, kNodeDepthOffset) == 0)
    return {};
  std::vector<std::uint64_t> children;
  const std::size_t entries = le16(root, kNodeEntriesOffset);
  for (std::size_t i = 0; i < entries && kNodeHeaderSize + (i + 1) * kIndexSize <= root.size(); ++i) {
    const std::size_t at = kNodeHeaderSize + i * kIndexSize;
    children.push_back(le32(root, at + kIndexChildLoOffset) |
                       std::uint64_t{le16(root, at + kIndexChildHiOffset)} << 32);
  }
  return children;
}

}  // namespace

std::optional<Inode> InodeFromJournal(const ExtVolume& volume, const Journal& journal, std::uint32_t number,
                                      std::uint32_t journalBlock) {
  const auto place = volume.PlaceOf(number);
  const auto copy = journal.CopyAt(journalBlock);
  if (!place || !copy || copy->fsBlock != place->block) return std::nullopt;
  std::vector<std::uint8_t> block(volume.Super().blockSize);
  if (!journal.ReadCopy(*copy, block)) return std::nullopt;
  return DecodeInode(Slice(block, place->offset, volume.Super().inodeSize), number);
}

bool NeedsOlderInode(const ExtVolume& volume, const std::optional<Inode>& now) {
  if (!now) return true;
  if (now->InUse() || ExtVolume::KeepsBytesInInode(*now)) return false;
  if (now->mode != 0 && now->Type() != kTypeRegular) return false;
  const FileMap map = volume.Map(*now);
  return map.damaged || map.checksumFails || map.runs.empty();
}

std::optional<JournalInodes::Found> JournalInodes::Find(std::uint32_t number, const std::optional<Inode>& now) {
  const auto place = volume_.PlaceOf(number);
  if (!place) return std::nullopt;
  std::vector<std::uint8_t> block(volume_.Super().blockSize);
  for (const JournalCopy& copy : journal_.CopiesOf(place->block)) {
    if (!journal_.ReadCopy(copy, block)) continue;
    Inode old = DecodeInode(Slice(block, place->offset, volume_.Super().inodeSize), number);
    if (!volume_.InodeChecksumHolds(old)) continue;
    if (!old.InUse() || old.Type() != kTypeRegular || ExtVolume::KeepsBytesInInode(old) || old.size == 0) continue;
    if (now && now->size != 0 && now->size != old.size) continue;
    const FileMap map = volume_.Map(old);
    if (map.damaged || map.checksumFails || map.runs.empty()) continue;
    // The newest copy with a map decides: an older one names the same
    // blocks or ones given up before.
    if (!AllFree(map)) return std::nullopt;
    for (const std::uint64_t node : RootChildren(old))
      if (InUse(node)) return std::nullopt;
    return Found{std::move(old), copy.journalBlock};
  }
  return std::nullopt;
}

bool JournalInodes::AllFree(const FileMap& map) {
  for (const MappedRun& run : map.runs)
    for (std::uint64_t i = 0; i < run.count; ++i)
      if (InUse(run.physical + i)) return false;
  return true;
}

bool JournalInodes::InUse(std::uint64_t block) {
  const Superblock& s = volume_.Super();
  if (block < s.firstDataBlock || block >= s.blocksCount) return true;
  const std::uint64_t group = (block - s.firstDataBlock) / s.blocksPerGroup;
  const std::uint64_t bit = (block - s.firstDataBlock) % s.blocksPerGroup;
  if (group >= volume_.Groups().size()) return true;
  const GroupDescriptor& descriptor = volume_.Groups()[group];
  // A group never written holds its metadata alone, which no file maps.
  if (descriptor.BlocksUninitialised(s)) return false;
  auto it = bitmaps_.find(group);
  if (it == bitmaps_.end()) {
    std::vector<std::uint8_t> bitmap(s.blockSize);
    const bool read = volume_.Blocks().Read(descriptor.blockBitmap, bitmap);
    it = bitmaps_.emplace(group, read ? std::optional(std::move(bitmap)) : std::nullopt).first;
  }
  if (!it->second) return true;
  return ((*it->second)[bit / 8] >> (bit % 8) & 1) != 0;
}

}  // namespace dravik::ext
