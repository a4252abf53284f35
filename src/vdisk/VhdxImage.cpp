#include "vdisk/VhdxImage.h"

#include <algorithm>
#include <limits>

#include "vdisk/BlockMap.h"
#include "vdisk/ImageFile.h"
#include "vdisk/PatchedSource.h"
#include "vdisk/VhdxLog.h"
#include "vdisk/VhdxParentLocator.h"

namespace dravik {

using namespace vhdx;

namespace {

constexpr std::size_t kBatReadSize = 1024 * 1024;

// Payload block states.
constexpr std::uint64_t kBlockNotPresent = 0;
constexpr std::uint64_t kBlockUndefined = 1;
constexpr std::uint64_t kBlockZero = 2;
constexpr std::uint64_t kBlockUnmapped = 3;
constexpr std::uint64_t kBlockFullyPresent = 6;
constexpr std::uint64_t kBlockPartiallyPresent = 7;
// Sector bitmap block state.
constexpr std::uint64_t kBitmapPresent = 6;

std::int32_t ClampToInt32(std::uint64_t value) {
  return static_cast<std::int32_t>(std::min<std::uint64_t>(value, std::numeric_limits<std::int32_t>::max()));
}

}  // namespace

bool VhdxImage::Open(const std::filesystem::path& path) {
  std::string why;
  auto file = ImageFile::Open(path, &why);
  if (!file) {
    Close();
    Note("the file cannot be opened for reading: " + why);
    return false;
  }
  return Open(std::move(file));
}

bool VhdxImage::Open(std::unique_ptr<ByteSource> file) {
  Close();
  const auto identifier = ReadBlock(*file, 0, kIdentifierSize);
  if (!HasAscii(identifier, 0, kFileSignature)) {
    Note("the file does not begin with \"vhdxfile\"");
    return false;
  }
  file_ = std::move(file);
  header_ = CurrentHeader(*file_);
  if (!header_) Note("neither header is valid");
  if (header_ && !header_->logGuid.IsZero()) ReplayLog();
  ReadRegionTable();
  for (const Region& region : regions_)
    if (region.item == KnownItem::kMetadata) ReadMetadataTable(region);
  for (const Region& region : regions_)
    if (region.item == KnownItem::kMetadata) ReadMetadataValues(region);
  for (const Region& region : regions_)
    if (region.item == KnownItem::kBat) LoadBat(region);
  return true;
}

void VhdxImage::Close() { *this = VhdxImage{}; }

// The replayed writes are laid over the file in memory. A log that cannot be
// replayed leaves the file as it is, with a warning: its structures may then
// be older than the data that the log was protecting.
void VhdxImage::ReplayLog() {
  LogReplay replay = ReadLog(*file_, *header_);
  if (!replay.problem.empty()) {
    warnings_.push_back("the log was not replayed: " + replay.problem + "; the image is read as it lies");
    return;
  }
  const std::uint64_t fileSize = file_->Size();
  auto patched = std::make_unique<PatchedSource>(std::move(file_));
  // A hostile last file offset cannot make the file seem endlessly long.
  patched->ExtendTo(std::min<std::uint64_t>(replay.lastFileOffset, fileSize + kMaxLogLength));
  for (const LogWrite& write : replay.writes) {
    if (!write.bytes.empty()) {
      patched->Write(write.fileOffset, write.bytes);
    } else if (write.fileOffset < patched->Size()) {
      patched->Zero(write.fileOffset, std::min(write.zeroLength, patched->Size() - write.fileOffset));
    }
  }
  file_ = std::move(patched);
  logEntries_ = replay.entryCount;
  Note("the log was replayed in memory: " + std::to_string(replay.entryCount) + " entries, sequence numbers " +
       std::to_string(replay.firstSequence) + " to " + std::to_string(replay.lastSequence));
}

std::optional<ParentLink> VhdxImage::ParentToFind() const {
  if (!hasParent_) return std::nullopt;
  return parentLink_ ? parentLink_ : ParentLink{};
}

void VhdxImage::Note(std::string what) {
  if (!diagnostic_.empty()) diagnostic_ += "; ";
  diagnostic_ += what;
}

std::int32_t VhdxImage::DataBlockCount() const { return ClampToInt32(geometry_.dataBlockCount); }

std::int32_t VhdxImage::TotalBatEntries() const { return ClampToInt32(geometry_.totalBatEntries); }

// Only the first copy of the region table is read. The table ends at a second
// region of a name already taken or at an unknown region marked required.
void VhdxImage::ReadRegionTable() {
  const auto table = ReadBlock(*file_, kRegionTableOffset, kTableSize);
  const std::uint32_t count = le32(table, kRegionTableCountOffset);
  if (count > kMaxTableEntries) {
    Note("the region table claims " + std::to_string(count) + " entries");
    return;
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t entry = kRegionEntriesOffset + kRegionEntrySize * i;
    const KnownItem item = IdentifyGuid(table, entry + kRegionGuidOffset);
    if (item == KnownItem::kBat || item == KnownItem::kMetadata) {
      const bool taken =
          std::any_of(regions_.begin(), regions_.end(), [&](const Region& r) { return r.item == item; });
      if (taken) {
        Note("region table entry " + std::to_string(i) + " repeats a region");
        return;
      }
      regions_.push_back({item, le64(table, entry + kRegionFileOffsetOffset), le32(table, entry + kRegionLengthOffset)});
    } else if (le32(table, entry + kRegionFlagsOffset) & kRegionRequired) {
      Note("region table entry " + std::to_string(i) + " is an unknown required region");
      return;
    }
  }
}

void VhdxImage::ReadMetadataTable(const Region& region) {
  const auto table = ReadBlock(*file_, region.fileOffset, kTableSize);
  const std::uint16_t count = le16(table, kMetadataCountOffset);
  if (!HasAscii(table, 0, kMetadataSignature) || count > kMaxTableEntries) {
    Note("the metadata table is damaged");
    return;
  }
  for (std::uint16_t i = 0; i < count; ++i) {
    const std::size_t entry = kMetadataEntriesOffset + kMetadataEntrySize * i;
    KnownItem item = IdentifyGuid(table, entry + kMetadataGuidOffset);
    if (item == KnownItem::kBat || item == KnownItem::kMetadata || item == KnownItem::kPage83)
      item = KnownItem::kInvalid;
    const std::uint32_t flags = le32(table, entry + kMetadataFlagsOffset);
    metadata_.push_back({item, (flags & 1) != 0, (flags & 2) != 0, (flags & 4) != 0,
                         le32(table, entry + kMetadataItemOffsetOffset), le32(table, entry + kMetadataLengthOffset)});
  }
}

void VhdxImage::ReadMetadataValues(const Region& region) {
  for (const MetadataItem& m : metadata_) {
    const auto value = ReadBlock(*file_, region.fileOffset + m.offset, 8);
    switch (m.item) {
      case KnownItem::kFileParameter: {
        blockSize_ = le32(value, kFileParametersBlockSizeOffset);
        const std::uint32_t flags = le32(value, kFileParametersFlagsOffset);
        hasParent_ = (flags & kHasParent) != 0;
        diskTypeText_ = vhdx::DiskTypeText((flags & kLeaveBlocksAllocated) != 0, hasParent_);
        break;
      }
      case KnownItem::kVirtualDiskSize: virtualDiskSize_ = le64(value, 0); break;
      case KnownItem::kLogicalSectorSize: logicalSectorSize_ = le32(value, 0); break;
      case KnownItem::kPhysicalSectorSize: physicalSectorSize_ = le32(value, 0); break;
      case KnownItem::kParentLocator: {
        if (m.length > kMaxMetadataItemLength) {
          warnings_.push_back("the parent locator claims " + std::to_string(m.length) + " bytes and is not read");
          break;
        }
        std::string problems;
        parentLink_ = ParseParentLocator(ReadBlock(*file_, region.fileOffset + m.offset, m.length), &problems);
        if (!problems.empty()) warnings_.push_back("parent locator: " + problems.substr(0, problems.size() - 2));
        break;
      }
      default: break;
    }
  }
}

// Reads the BAT in large reads and keeps its payload entries: after every
// chunk-ratio payload entries comes one sector bitmap entry, which is skipped.
// No more entries are read than the region and the file hold, so a damaged
// size can never make the table huge.
void VhdxImage::LoadBat(const Region& region) {
  geometry_ = ComputeBlockGeometry(virtualDiskSize_, blockSize_, SectorSize(), hasParent_);
  if (!geometry_.usable) {
    Note("block size " + std::to_string(blockSize_) + " leaves no block table");
    return;
  }
  const std::uint64_t fileSize = file_->Size();
  const std::uint64_t inFile = region.fileOffset < fileSize ? (fileSize - region.fileOffset) / kBatEntrySize : 0;
  const std::uint64_t entries = std::min({geometry_.totalBatEntries, std::uint64_t{region.length} / kBatEntrySize, inFile});
  if (entries < geometry_.totalBatEntries) Note("the block table is shorter than the disk needs");

  const auto chunk = static_cast<std::uint64_t>(geometry_.chunkRatio);
  payloadBlocks_.reserve(static_cast<std::size_t>(std::min(entries, geometry_.dataBlockCount)));
  std::vector<std::uint8_t> buffer;
  std::uint64_t inChunk = 0;
  for (std::uint64_t first = 0; first < entries;) {
    const std::uint64_t count = std::min<std::uint64_t>(entries - first, kBatReadSize / kBatEntrySize);
    buffer.resize(static_cast<std::size_t>(count * kBatEntrySize));
    file_->ReadAt(region.fileOffset + first * kBatEntrySize, buffer);
    for (std::uint64_t k = 0; k < count; ++k) {
      if (inChunk == chunk) {
        bitmapBlocks_.push_back(le64(buffer, static_cast<std::size_t>(k * kBatEntrySize)));
        inChunk = 0;
        continue;
      }
      payloadBlocks_.push_back(le64(buffer, static_cast<std::size_t>(k * kBatEntrySize)));
      ++inChunk;
    }
    first += count;
  }
}

// How a differencing image holds a block, by its state: not present ones
// come from the parent, undefined, zero and unmapped ones read as zeros, and
// partly present ones go sector by sector through their chunk's bitmap.
ChildBlock VhdxImage::PlaceOf(std::uint64_t block) const {
  const std::uint64_t entry = payloadBlocks_[static_cast<std::size_t>(block)];
  const std::uint64_t data = entry & kBatFileOffsetMask;
  switch (entry & kBatStateMask) {
    case kBlockUndefined:
    case kBlockZero:
    case kBlockUnmapped: return {ChildBlock::kZeros, 0, 0};
    case kBlockFullyPresent: return data ? ChildBlock{ChildBlock::kOwn, data, 0} : ChildBlock{};
    case kBlockPartiallyPresent: {
      const auto chunk = static_cast<std::uint64_t>(geometry_.chunkRatio);
      const std::size_t index = static_cast<std::size_t>(block / chunk);
      const std::uint64_t bitmap = index < bitmapBlocks_.size() ? bitmapBlocks_[index] : 0;
      if (data == 0 || (bitmap & kBatStateMask) != kBitmapPresent || (bitmap & kBatFileOffsetMask) == 0) return {};
      const std::uint64_t sectorsPerBlock = blockSize_ / SectorSize();
      return {ChildBlock::kBitmap, data, (bitmap & kBatFileOffsetMask) + (block % chunk) * sectorsPerBlock / 8};
    }
    case kBlockNotPresent:
    default: return {};
  }
}

bool VhdxImage::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (!file_) return FailWithZeros(out);
  if (hasParent_) {
    return ReadChildBlocks(*file_, parent_.get(), blockSize_, payloadBlocks_.size(), SectorBitmapLayout{SectorSize(), false},
                           offset, out, [this](std::uint64_t block) { return PlaceOf(block); });
  }
  return ReadMappedBlocks(*file_, blockSize_, payloadBlocks_.size(), offset, out, [this](std::uint64_t block) {
    return payloadBlocks_[static_cast<std::size_t>(block)] & kBatFileOffsetMask;
  });
}

std::optional<FileSpan> VhdxImage::Locate(std::uint64_t offset, std::uint64_t length) const {
  // A differencing image's bytes may come from two files within one block.
  if (!file_ || hasParent_) return std::nullopt;
  return LocateMappedBlock(*file_, blockSize_, payloadBlocks_.size(), offset, length, [this](std::uint64_t block) {
    return payloadBlocks_[static_cast<std::size_t>(block)] & kBatFileOffsetMask;
  });
}

std::optional<ByteRange> VhdxImage::PresentRange(std::uint64_t offset) const {
  if (!file_) return std::nullopt;
  const auto own = [this](std::uint64_t at) {
    return PresentMappedRange(file_->Size(), blockSize_, payloadBlocks_.size(), at, [this](std::uint64_t block) {
      return payloadBlocks_[static_cast<std::size_t>(block)] & kBatFileOffsetMask;
    });
  };
  if (!parent_) return own(offset);
  // A sector is present when the child or any image behind it holds it.
  return UnitePresentRanges(offset, own, [this](std::uint64_t at) { return parent_->PresentRange(at); });
}

}  // namespace dravik
