#include "fs/ext/ExtVolumeLayout.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "disk/ExtSignature.h"
#include "disk/SectorReader.h"
#include "fs/ext/Checksums.h"
#include "fs/ext/ExtVolume.h"
#include "util/Diagnostics.h"

namespace dravik::ext {

namespace {

// Superblock fields only the layout reads.
constexpr std::size_t kUuidOffset = 0x68;
constexpr std::size_t kBlocksPerGroupOffset = 0x20;
constexpr std::size_t kReservedGdtBlocksOffset = 0xCE;

// Journal blocks start with a big-endian header: magic, then block type.
constexpr std::uint32_t kJournalMagic = 0xC03B3998;
constexpr std::size_t kJournalTypeOffset = 4;
constexpr std::uint32_t kJournalDescriptor = 1;
constexpr std::uint32_t kJournalCommit = 2;
constexpr std::uint32_t kJournalSuperblockV1 = 3;
constexpr std::uint32_t kJournalSuperblockV2 = 4;
constexpr std::uint32_t kJournalRevoke = 5;

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

bool IsJournalBlock(Bytes sector, std::initializer_list<std::uint32_t> types) {
  if (sector.size() < 8 || be32(sector, 0) != kJournalMagic) return false;
  const std::uint32_t type = be32(sector, kJournalTypeOffset);
  return std::find(types.begin(), types.end(), type) != types.end();
}

class ExtLayout final : public VolumeLayout {
 public:
  // view: the placer's view, which outlives the layout (a layout lives for
  // one round of the placing).
  ExtLayout(const PlacementView& view, std::uint64_t begin, ExtVolume volume, Bytes superblock)
      : view_(view), begin_(begin), volume_(std::move(volume)) {
    const Superblock& s = volume_.Super();
    reservedGdtBlocks_ = le16(superblock, kReservedGdtBlocksOffset);
    checksums_ = (s.roCompat & kRoCompatMetadataCsum) != 0;
    volumeSeed_ = VolumeChecksumSeed(s);
    end_ = std::min(view.DiskSize(), begin_ + s.blocksCount * s.blockSize);
  }

  // A superblock copy by the group it names, a folder's first block by its
  // "." entry's inode.
  SectorPlace PlaceOf(Bytes sector) const override {
    if (IsJournalBlock(sector, {kJournalDescriptor, kJournalCommit, kJournalRevoke})) return {false, {}, true};
    if (const auto copy = CopyPlace(sector)) return {true, copy};
    if (const auto folder = FolderPlace(sector)) return {true, folder};
    return {};
  }

  const std::vector<DiskExtent>& Held() const override { return held_; }
  bool HeldComplete() const override { return complete_; }

  // The inode of that number when its table block is placed.
  std::optional<Inode> PlacedInode(std::uint32_t number) const {
    const Superblock& s = volume_.Super();
    const auto place = volume_.PlaceOf(number);
    if (!place || place->block >= s.blocksCount) return std::nullopt;
    bool ok = false;
    const std::vector<std::uint8_t> bytes =
        view_.ReadDisk(begin_ + place->block * s.blockSize + place->offset, s.inodeSize, &ok);
    if (!ok) return std::nullopt;
    return DecodeInode(bytes);
  }

  // The disk byte of a file's first block, when its map gives one.
  std::optional<std::uint64_t> FirstByteOf(const Inode& inode) const {
    const FileMap map = volume_.Map(inode);
    if (map.runs.empty() || map.runs.front().logical != 0 || map.runs.front().physical >= volume_.Super().blocksCount)
      return std::nullopt;
    return begin_ + map.runs.front().physical * volume_.Super().blockSize;
  }

  // The blocks the volume keeps data in: every group's superblock copy and
  // descriptors, bitmaps and inode table, and what its block bitmap marks
  // in use (a group whose bitmap was never written holds only its
  // metadata). known: the groups whose descriptors read from placed
  // blocks. Complete when every group's descriptor and bitmap read so.
  void ReadHeld(const std::vector<bool>& known) {
    const Superblock& s = volume_.Super();
    const std::vector<GroupDescriptor>& groups = volume_.Groups();
    const std::uint64_t tableBlocks = CeilDiv(std::uint64_t{s.inodesPerGroup} * s.inodeSize, s.blockSize);
    const bool metaBg = (s.incompat & kIncompatMetaBg) != 0;
    const std::uint64_t descriptorBlocks = CeilDiv(groups.size() * DescriptorSize(s), s.blockSize);
    const std::uint64_t superblockBlock = s.blockSize == 1024 ? 1 : 0;
    // Bitmaps beyond the image file's size could not all have been
    // written: a count that claims them is damaged.
    std::uint64_t budget = view_.FileSize();
    bool complete = std::all_of(known.begin(), known.end(), [](bool k) { return k; });
    std::vector<std::uint8_t> bitmap;
    for (std::uint64_t g = 0; g < groups.size(); ++g) {
      if (!known[g]) continue;
      const GroupDescriptor& d = groups[g];
      const std::uint64_t first = s.firstDataBlock + g * s.blocksPerGroup;
      if (first >= s.blocksCount) break;
      const std::uint64_t count = std::min<std::uint64_t>(s.blocksPerGroup, s.blocksCount - first);
      if (s.GroupHasSuperblock(g)) {
        const std::uint64_t from = g == 0 ? 0 : first;
        Hold(from, first - from + 1 + (metaBg ? 0 : descriptorBlocks + reservedGdtBlocks_));
      }
      Hold(DescriptorBlock(s, superblockBlock, g), 1);
      Hold(d.blockBitmap, 1);
      Hold(d.inodeBitmap, 1);
      Hold(d.inodeTable, tableBlocks);
      if (d.BlocksUninitialised(s)) continue;
      if (d.blockBitmap >= s.blocksCount || budget < s.blockSize) {
        complete = false;
        continue;
      }
      budget -= s.blockSize;
      bool ok = false;
      bitmap = view_.ReadDisk(begin_ + d.blockBitmap * s.blockSize, s.blockSize, &ok);
      if (!ok) {
        complete = false;
        continue;
      }
      HoldMarked(bitmap, first, count);
    }
    complete_ = complete;
  }

 private:
  // Where a copy of this volume's superblock (its UUID and geometry) lies
  // by the group it names. The primary is not placed so: journals and old
  // copies also say group 0.
  std::optional<std::uint64_t> CopyPlace(Bytes sector) const {
    const Superblock& s = volume_.Super();
    if (sector.size() < kSuperblockSize / 2 || le16(sector, kMagicOffset) != kMagic ||
        !std::equal(s.volumeId.begin(), s.volumeId.end(), sector.begin() + kUuidOffset) ||
        (1024u << le32(sector, kLogBlockSizeOffset)) != s.blockSize ||
        le32(sector, kBlocksPerGroupOffset) != s.blocksPerGroup)
      return std::nullopt;
    const std::uint16_t group = le16(sector, kGroupOfCopyOffset);
    if (group == 0 || group >= s.GroupCount() || !s.GroupHasSuperblock(group)) return std::nullopt;
    return begin_ + (s.firstDataBlock + std::uint64_t{group} * s.blocksPerGroup) * s.blockSize;
  }

  // Where a folder's first block lies by the map of the inode its "."
  // entry names. A block of a deleted folder whose inode was reused, or of
  // another ext volume on the disk, names an inode too: only a block whose
  // checksum ties it to this volume and to the inode's generation claims.
  std::optional<std::uint64_t> FolderPlace(Bytes sector) const {
    const Superblock& s = volume_.Super();
    if (!checksums_ || sector.size() < s.blockSize) return std::nullopt;
    const auto number = DotEntryInode(sector);
    if (!number) return std::nullopt;
    const auto inode = PlacedInode(*number);
    if (!inode || !inode->IsDirectory() || !inode->InUse()) return std::nullopt;
    const std::uint32_t inodeSeed = InodeChecksumSeed(volumeSeed_, *number, inode->raw);
    if (!DirectoryBlockChecksumHolds(inodeSeed, sector.first(s.blockSize), (inode->flags & kFlagIndex) != 0))
      return std::nullopt;
    return FirstByteOf(*inode);
  }

  // Blocks [first, first + count) of the volume, within it and the disk.
  void Hold(std::uint64_t first, std::uint64_t count) {
    const std::uint32_t blockSize = volume_.Super().blockSize;
    const std::uint64_t blocks = (end_ - begin_) / blockSize;
    if (first >= blocks || count == 0) return;
    const DiskExtent extent{begin_ + first * blockSize, begin_ + std::min(blocks, first + count) * blockSize};
    if (!held_.empty() && held_.back().end == extent.begin) held_.back().end = extent.end;
    else held_.push_back(extent);
  }

  // The runs of set bits of a group's block bitmap.
  void HoldMarked(Bytes bitmap, std::uint64_t first, std::uint64_t count) {
    std::uint64_t run = 0;
    for (std::uint64_t bit = 0; bit < count; ++bit) {
      const bool used = (bitmap[bit / 8] >> (bit % 8)) & 1;
      if (used) ++run;
      if (!used && run != 0) Hold(first + bit - run, run), run = 0;
    }
    if (run != 0) Hold(first + count - run, run);
  }

  const PlacementView& view_;
  std::uint64_t begin_;
  std::uint64_t end_ = 0;
  ExtVolume volume_;
  std::uint16_t reservedGdtBlocks_ = 0;
  bool checksums_ = false;
  std::uint32_t volumeSeed_ = 0;
  std::vector<DiskExtent> held_;
  bool complete_ = false;
};

// Which groups' descriptors lie in placed blocks.
std::vector<bool> PlacedDescriptors(const PlacementView& view, std::uint64_t begin, const Superblock& s) {
  const std::uint64_t superblockBlock = s.blockSize == 1024 ? 1 : 0;
  std::vector<bool> known(static_cast<std::size_t>(s.GroupCount()), false);
  std::uint64_t lastBlock = UINT64_MAX;
  bool lastOk = false;
  for (std::uint64_t g = 0; g < known.size(); ++g) {
    const std::uint64_t block = DescriptorBlock(s, superblockBlock, g);
    if (block != lastBlock) {
      lastBlock = block;
      lastOk = false;
      if (block < s.blocksCount) view.ReadDisk(begin + block * s.blockSize, s.blockSize, &lastOk);
    }
    known[g] = lastOk;
  }
  return known;
}

}  // namespace

std::unique_ptr<VolumeLayout> ReadVolumeLayout(const PartitionEntry& entry, PlacementView& view) {
  const std::uint64_t begin = entry.start * kSectorSize;
  const std::uint16_t code = entry.code;
  const std::uint64_t sectors = entry.sectors;
  view.AnchorSector(begin + kSuperblockOffset, [code, sectors](Bytes sector) {
    const FoundExtVolume found = RecogniseSuperblock(sector);
    return found.code == code && found.sectors <= sectors;
  });
  bool ok = false;
  const std::vector<std::uint8_t> superblock = view.ReadDisk(begin + kSuperblockOffset, kSuperblockSize, &ok);
  std::string why;
  const auto s = DecodeSuperblock(superblock, why);
  if (!ok || !s || s->groupOfCopy != 0 || s->GroupCount() > kMaxGroups) return nullptr;
  const std::vector<bool> known = PlacedDescriptors(view, begin, *s);
  if (known.empty() || !known.front()) return nullptr;
  Diagnostics unread;
  auto volume = ExtVolume::Open(view.Reader(), entry.start, unread);
  if (!volume) return nullptr;
  auto layout = std::make_unique<ExtLayout>(view, begin, std::move(*volume), superblock);
  // The journal's superblock lies in the journal inode's first block.
  if (s->journalInode != 0) {
    if (const auto journal = layout->PlacedInode(s->journalInode)) {
      if (const auto at = layout->FirstByteOf(*journal))
        view.AnchorSector(*at, [](Bytes sector) {
          return IsJournalBlock(sector, {kJournalSuperblockV1, kJournalSuperblockV2});
        });
    }
  }
  layout->ReadHeld(known);
  return layout;
}

}  // namespace dravik::ext
