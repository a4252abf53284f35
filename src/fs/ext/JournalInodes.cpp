#include "fs/ext/JournalInodes.h"

#include <algorithm>

#include "fs/ext/ExtVolume.h"
#include "fs/ext/ExtentTree.h"

namespace dravik::ext {

namespace {

constexpr std::size_t kNodeEntriesOffset = 0x2;

// Whether a map block holds what a live map has there: an extent node with
// entries, or an indirect block naming at least one block.
bool HoldsMap(Bytes block, bool extents) {
  if (extents) return ExtentHeaderSound(block, block.size()) && le16(block, kNodeEntriesOffset) > 0;
  return std::any_of(block.begin(), block.end(), [](std::uint8_t b) { return b != 0; });
}

}  // namespace

FileMap MapFromJournal(const ExtVolume& volume, const Journal& journal, const Inode& inode,
                       std::uint32_t journalBlock) {
  const auto inodeCopy = journal.CopyAt(journalBlock);
  if (!inodeCopy) {
    FileMap none;
    none.Damage("no journal copy at journal block " + std::to_string(journalBlock));
    return none;
  }
  const std::uint32_t inodeAge = journal.Age(inodeCopy->sequence);
  const bool extents = (inode.flags & kFlagExtents) != 0;
  return volume.Map(inode, [&](std::uint64_t block, std::span<std::uint8_t> buffer) {
    // Copies come newest first: the first one no newer than the inode's.
    for (const JournalCopy& copy : journal.CopiesOf(block))
      if (journal.Age(copy.sequence) >= inodeAge) return journal.ReadCopy(copy, buffer) && HoldsMap(buffer, extents);
    return volume.Blocks().Read(block, buffer) && HoldsMap(buffer, extents);
  });
}

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
    const FileMap map = MapFromJournal(volume_, journal_, old, copy.journalBlock);
    if (map.damaged || map.checksumFails || map.runs.empty()) continue;
    // The newest copy with a map decides: an older one names the same
    // blocks or ones given up before.
    if (!AllFree(map)) return std::nullopt;
    return Found{std::move(old), copy.journalBlock};
  }
  return std::nullopt;
}

bool JournalInodes::AllFree(const FileMap& map) {
  for (const MappedRun& run : map.runs)
    for (std::uint64_t i = 0; i < run.count; ++i)
      if (InUse(run.physical + i)) return false;
  return std::none_of(map.mapBlocks.begin(), map.mapBlocks.end(), [this](std::uint64_t b) { return InUse(b); });
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
