#include "vdisk/VhdxImage.h"

#include <algorithm>
#include <limits>

#include "vdisk/BlockMap.h"
#include "vdisk/ImageFile.h"
#include "vdisk/PatchedSource.h"
#include "vdisk/VhdxLog.h"
#include "vdisk/VhdxInference.h"
#include "vdisk/VhdxMetadataCheck.h"
#include "vdisk/VhdxParentLocator.h"

namespace dravik {

using namespace vhdx;

namespace {

// Payload block states.
constexpr std::uint64_t kBlockNotPresent = 0;
constexpr std::uint64_t kBlockUndefined = 1;
constexpr std::uint64_t kBlockZero = 2;
constexpr std::uint64_t kBlockUnmapped = 3;
constexpr std::uint64_t kBlockFullyPresent = 6;
constexpr std::uint64_t kBlockPartiallyPresent = 7;
// Sector bitmap block state.
constexpr std::uint64_t kBitmapPresent = 6;
// Bits 3-19 of an entry are reserved and always zero.
constexpr std::uint64_t kBatReservedMask = 0xFFFF8;
// Stands in the table for an entry the salvage found lost; no valid entry
// has reserved bits set.
constexpr std::uint64_t kLostEntry = ~std::uint64_t{0};
constexpr std::uint64_t kMiB = 1024 * 1024;
// How many blocks must agree on their spacing to overrule a plausible block size.
constexpr std::size_t kBlocksToOverrule = 4;

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

// Each copied structure is taken by its signature and checksum, the other
// copy standing in for a damaged one. The file type identifier is only
// asked for when neither a header nor a region table shows the file to be a
// VHDX; a file holding none of the three is no VHDX at all.
bool VhdxImage::Open(std::unique_ptr<ByteSource> file) {
  Close();
  file_ = std::move(file);
  const bool hasIdentifier = HasAscii(ReadBlock(*file_, 0, kIdentifierSize), 0, kFileSignature);
  ChooseHeader();
  if (header_ && !header_->logGuid.IsZero()) ReplayLog();
  const std::optional<RegionTable> table = ChooseRegionTable();
  if (!hasIdentifier) {
    if (!header_ && !table) {
      repairs_.clear();
      diagnostic_.clear();
      noStructureFound_ = true;
      Note("no VHDX structure was found: the file has no \"vhdxfile\" identifier, no valid header and no region "
           "table");
      file_.reset();
      return false;
    }
    Repaired("file type identifier", "missing", std::string("ignored: ") +
                                                    (header_ ? "a valid header" : "a region table") +
                                                    " shows the file is a VHDX");
  }
  if (!table) {
    Note("the BAT and the metadata cannot be found");
    file_.reset();
    return false;
  }
  TakeRegions(*table);
  for (const Region& region : regions_)
    if (region.item == KnownItem::kMetadata) ReadMetadataTable(region);
  for (const Region& region : regions_)
    if (region.item == KnownItem::kMetadata) ReadMetadataValues(region);
  const auto bat = std::find_if(regions_.begin(), regions_.end(), [](const Region& r) { return r.item == KnownItem::kBat; });
  // The table is read once: it is evidence for the metadata before it maps the disk.
  const std::vector<std::uint64_t> batEntries =
      bat != regions_.end() ? ReadBatEntries(*file_, bat->fileOffset, bat->length) : std::vector<std::uint64_t>{};
  if (bat != regions_.end() && !hasParent_) InferMetadata(batEntries);
  CheckMetadataValues(bat != regions_.end() ? &*bat : nullptr);
  if (bat != regions_.end()) LoadBat(batEntries);
  if (!hasParent_) SalvageBat();
  return true;
}

// The valid header with the higher sequence number, else the other one.
void VhdxImage::ChooseHeader() {
  header_ = CurrentHeader(*file_);
  const std::string problems[] = {HeaderProblem(ReadBlock(*file_, kHeader1Offset, kHeaderSize)),
                                  HeaderProblem(ReadBlock(*file_, kHeader2Offset, kHeaderSize))};
  if (!header_) {
    Repaired("headers", "neither is valid (header 1 " + problems[0] + ", header 2 " + problems[1] + ")",
             "read without a log");
    return;
  }
  const int other = header_->copy == 1 ? 2 : 1;
  if (!problems[other - 1].empty())
    Repaired("header " + std::to_string(other), problems[other - 1], "header " + std::to_string(header_->copy) + " used");
}

// The first valid table, else a damaged one whose entries are plausible;
// none when neither copy names the regions.
std::optional<RegionTable> VhdxImage::ChooseRegionTable() {
  RegionTable tables[] = {ReadRegionTable(*file_, 1), ReadRegionTable(*file_, 2)};
  if (tables[0].Valid()) {
    if (!tables[1].Valid()) Repaired("region table 2", tables[1].problem, "not needed: table 1 used");
    return tables[0];
  }
  if (tables[1].Valid()) {
    Repaired("region table 1", tables[0].problem, "table 2 used");
    return tables[1];
  }
  std::string why[2];
  for (int i = 0; i < 2; ++i) {
    RegionTable& t = tables[i];
    why[i] = t.problem;
    if (t.entries.empty()) continue;
    const std::string implausible = ImplausibleEntries(t, file_->Size());
    if (implausible.empty()) {
      Repaired("region table " + std::to_string(t.copy), t.problem, "its entries used: they are plausible");
      return t;
    }
    why[i] += ", " + implausible;
  }
  const std::string problem = "neither is valid (table 1 " + why[0] + "; table 2 " + why[1] + ")";
  if (std::optional<RegionTable> found = FindRegionsBySearch(*file_, header_ ? header_->logOffset : 0)) {
    Repaired("region tables", problem,
             "the BAT found at " + std::to_string(found->entries[0].fileOffset) + " and the metadata at " +
                 std::to_string(found->entries[1].fileOffset) + " by search");
    return found;
  }
  Repaired("region tables", problem, "the image cannot be read");
  return std::nullopt;
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

void VhdxImage::Repaired(std::string structure, std::string problem, std::string action) {
  repairs_.push_back({std::move(structure), std::move(problem), std::move(action)});
  Note(repairs_.back().Text());
}

void VhdxImage::Note(std::string what) {
  if (!diagnostic_.empty()) diagnostic_ += "; ";
  diagnostic_ += what;
}

std::int32_t VhdxImage::DataBlockCount() const { return ClampToInt32(geometry_.dataBlockCount); }

std::int32_t VhdxImage::TotalBatEntries() const { return ClampToInt32(geometry_.totalBatEntries); }

// The table ends at a second region of a name already taken or at an
// unknown region marked required.
void VhdxImage::TakeRegions(const RegionTable& table) {
  for (std::size_t i = 0; i < table.entries.size(); ++i) {
    const RegionEntry& entry = table.entries[i];
    if (entry.item != KnownItem::kInvalid) {
      const bool taken =
          std::any_of(regions_.begin(), regions_.end(), [&](const Region& r) { return r.item == entry.item; });
      if (taken) {
        Note("region table entry " + std::to_string(i) + " repeats a region");
        return;
      }
      regions_.push_back({entry.item, entry.fileOffset, entry.length});
    } else if (entry.required) {
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

// Metadata values that are missing, or that the block table contradicts,
// are taken from what the table shows (see VhdxInference.h). A block size
// that is plausible is overruled only by the spacing of several blocks.
void VhdxImage::InferMetadata(const std::vector<std::uint64_t>& batEntries) {
  const BatEvidence evidence = EvidenceOf(batEntries, file_->Size());
  const std::optional<std::uint32_t> spacing = BlockSizeFromBat(evidence);
  if (spacing && *spacing != blockSize_) {
    const std::string size = std::to_string(*spacing);
    if (const auto why = ImplausibleBlockSize(blockSize_)) {
      Repaired("metadata: block size", blockSize_ ? "implausible: " + *why : std::string("missing"),
               size + " inferred from the spacing of the BAT's blocks");
      blockSize_ = *spacing;
    } else if (evidence.blockOffsets.size() >= kBlocksToOverrule) {
      Repaired("metadata: block size", std::to_string(blockSize_) + " disagrees with the spacing of the BAT's blocks",
               size + " used");
      blockSize_ = *spacing;
    }
  }
  if (const auto why = ImplausibleLogicalSectorSize(logicalSectorSize_)) {
    Repaired("metadata: logical sector size", logicalSectorSize_ ? "implausible: " + *why : std::string("missing"),
             "512 assumed");
    logicalSectorSize_ = 512;
  }
  const auto why = ImplausibleVirtualDiskSize(virtualDiskSize_, SectorSize());
  if (why && !ImplausibleBlockSize(blockSize_)) {
    if (const std::uint64_t inferred = VirtualSizeFromBat(*file_, evidence, blockSize_, SectorSize())) {
      Repaired("metadata: virtual disk size", virtualDiskSize_ ? "implausible: " + *why : std::string("missing"),
               std::to_string(inferred) + " bytes inferred from the BAT's last block and the partition table inside");
      virtualDiskSize_ = inferred;
    }
  }
  if (diskTypeText_.empty()) diskTypeText_ = vhdx::DiskTypeText(false, false);
}

// Values that cannot be right are refused: a block size outside the sizes
// writers use leaves no block readable, an odd sector size is taken as 512,
// and an impossible disk size is replaced by what the BAT region can map, so
// no garbage size makes the disk seem endless.
void VhdxImage::CheckMetadataValues(const Region* bat) {
  if (const auto why = ImplausibleBlockSize(blockSize_)) {
    Repaired("metadata: block size", "implausible: " + *why, "refused: no block can be read");
    blockSize_ = 0;
  }
  if (const auto why = ImplausibleLogicalSectorSize(logicalSectorSize_)) {
    Repaired("metadata: logical sector size", "implausible: " + *why, "512 assumed");
    logicalSectorSize_ = 512;
  }
  const auto why = ImplausibleVirtualDiskSize(virtualDiskSize_, logicalSectorSize_);
  if (!why) return;
  std::uint64_t mappable = 0;
  if (bat && blockSize_ != 0) {
    const std::uint64_t entries = bat->length / kBatEntrySize;
    const auto chunk = static_cast<std::uint64_t>(8388608.0 * logicalSectorSize_ / blockSize_);
    mappable = std::min((entries - entries / (chunk + 1)) * blockSize_, kMaxVirtualDiskSize);
  }
  Repaired("metadata: virtual disk size", "implausible: " + *why,
           mappable ? "refused: " + std::to_string(mappable) + " bytes taken, what the BAT region can map"
                    : std::string("refused: no size can be inferred"));
  virtualDiskSize_ = mappable;
}

// Keeps the BAT's payload entries: after every chunk-ratio payload entries
// comes one sector bitmap entry, kept apart. No more entries are taken than
// the region and the file hold, so a damaged size can never make the table
// huge.
void VhdxImage::LoadBat(const std::vector<std::uint64_t>& batEntries) {
  geometry_ = ComputeBlockGeometry(virtualDiskSize_, blockSize_, SectorSize(), hasParent_);
  if (!geometry_.usable) {
    Note("block size " + std::to_string(blockSize_) + " leaves no block table");
    return;
  }
  const std::uint64_t entries = std::min<std::uint64_t>(geometry_.totalBatEntries, batEntries.size());
  if (entries < geometry_.totalBatEntries) Note("the block table is shorter than the disk needs");
  const auto chunk = static_cast<std::uint64_t>(geometry_.chunkRatio);
  payloadBlocks_.reserve(static_cast<std::size_t>(std::min(entries, geometry_.dataBlockCount)));
  std::uint64_t inChunk = 0;
  for (std::size_t i = 0; i < entries; ++i) {
    if (inChunk == chunk) {
      bitmapBlocks_.push_back(batEntries[i]);
      inChunk = 0;
      continue;
    }
    payloadBlocks_.push_back(batEntries[i]);
    ++inChunk;
  }
}

// Judges each payload entry of a dynamic image as the salvage sees it, and
// fills layout with the areas of the file that other structures take.
std::vector<TableEntry> VhdxImage::JudgeBatEntries(BlockFileLayout& layout) const {
  layout.areaSize = blockSize_;
  layout.alignment = kMiB;
  layout.dataStart = kMiB;  // the headers and region tables
  layout.dataEnd = file_->Size();
  layout.holdsData = [this](std::uint64_t at) { return AreaHoldsData(*file_, at, blockSize_); };
  layout.rangeHoldsData = [this](std::uint64_t at, std::uint64_t size) { return AreaHoldsData(*file_, at, size); };
  for (const Region& region : regions_) layout.structures.push_back({region.fileOffset, region.fileOffset + region.length});
  if (header_ && header_->logLength != 0)
    layout.structures.push_back({header_->logOffset, header_->logOffset + header_->logLength});
  for (const std::uint64_t bitmap : bitmapBlocks_) {
    const std::uint64_t at = bitmap & kBatFileOffsetMask;
    if ((bitmap & kBatStateMask) == kBitmapPresent && at != 0) layout.structures.push_back({at, at + kMiB});
  }
  std::vector<TableEntry> entries(payloadBlocks_.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint64_t raw = payloadBlocks_[i];
    const std::uint64_t at = raw & kBatFileOffsetMask;
    TableEntry& entry = entries[i];
    if ((raw & kBatReservedMask) != 0) {
      entry.state = TableEntry::kLost;
      continue;
    }
    switch (raw & kBatStateMask) {
      case kBlockFullyPresent: entry = at ? TableEntry{TableEntry::kPresent, at} : TableEntry{TableEntry::kLost, 0}; break;
      case kBlockNotPresent:
      case kBlockUndefined: entry.state = at ? TableEntry::kLost : TableEntry::kAbsent; break;
      case kBlockZero:
      case kBlockUnmapped:
        // A block that reads as zeros may keep its area for later writes.
        entry.state = TableEntry::kZero;
        if (at != 0) layout.structures.push_back({at, at + blockSize_});
        break;
      default: entry.state = TableEntry::kLost; break;  // no state of a dynamic image
    }
  }
  return entries;
}

// Entries that cannot be right are taken as lost and the blocks that no
// entry names are placed where the blocks around them show they belong (see
// BlockTableSalvage.h). The table is mended in memory only.
void VhdxImage::SalvageBat() {
  if (payloadBlocks_.empty() || blockSize_ == 0) return;
  BlockFileLayout layout;
  std::vector<TableEntry> entries = JudgeBatEntries(layout);
  const auto invalid = static_cast<std::uint64_t>(
      std::count_if(entries.begin(), entries.end(), [](const TableEntry& e) { return e.state == TableEntry::kLost; }));
  TableSalvage salvage = SalvageBlockTable(entries, layout);
  salvage.invalid = invalid;
  if (!salvage.Changed()) return;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].state == TableEntry::kPresent) payloadBlocks_[i] = entries[i].fileOffset | kBlockFullyPresent;
    if (entries[i].state == TableEntry::kLost) payloadBlocks_[i] = kLostEntry;
  }
  unplacedAreas_ = UnclaimedBlockAreas(entries, layout);
  const SalvageWords words = DescribeSalvage(salvage);
  Repaired("BAT", words.problem, words.action);
}

LostBlocks VhdxImage::Lost() const {
  LostBlocks lost;
  if (unplacedAreas_.empty() && std::find(payloadBlocks_.begin(), payloadBlocks_.end(), kLostEntry) == payloadBlocks_.end()) return lost;
  lost.file = file_.get();
  lost.blockSize = blockSize_;
  lost.areas = unplacedAreas_;
  lost.entries.resize(payloadBlocks_.size());
  for (std::size_t i = 0; i < payloadBlocks_.size(); ++i) {
    const std::uint64_t raw = payloadBlocks_[i];
    const std::uint64_t state = raw & kBatStateMask;
    if (raw == kLostEntry) lost.entries[i].state = TableEntry::kLost;
    else if (state == kBlockFullyPresent) lost.entries[i] = {TableEntry::kPresent, raw & kBatFileOffsetMask};
    else if (state == kBlockZero || state == kBlockUnmapped) lost.entries[i].state = TableEntry::kZero;
  }
  return lost;
}

void VhdxImage::Place(const std::vector<BlockPlacement>& placements) {
  for (const BlockPlacement& placement : placements) {
    if (placement.block >= payloadBlocks_.size()) continue;
    std::uint64_t& entry = payloadBlocks_[static_cast<std::size_t>(placement.block)];
    if (placement.fileOffset == 0) {
      if (entry == kLostEntry) entry = kBlockNotPresent;
      continue;
    }
    if (!TakeUnplacedArea(unplacedAreas_, placement.fileOffset)) continue;
    entry = placement.fileOffset | kBlockFullyPresent;
  }
}

// Where a dynamic image's block lies in the file: 0 for a block that reads
// as zeros, kLostBlock for one whose entry was lost.
std::uint64_t VhdxImage::DataOffsetOf(std::uint64_t block) const {
  const std::uint64_t raw = payloadBlocks_[static_cast<std::size_t>(block)];
  if (raw == kLostEntry) return kLostBlock;
  const std::uint64_t state = raw & kBatStateMask;
  return state == kBlockFullyPresent || state == kBlockPartiallyPresent ? raw & kBatFileOffsetMask : 0;
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
  return ReadMappedBlocks(*file_, blockSize_, payloadBlocks_.size(), offset, out,
                          [this](std::uint64_t block) { return DataOffsetOf(block); });
}

std::optional<FileSpan> VhdxImage::Locate(std::uint64_t offset, std::uint64_t length) const {
  // A differencing image's bytes may come from two files within one block.
  if (!file_ || hasParent_) return std::nullopt;
  return LocateMappedBlock(*file_, blockSize_, payloadBlocks_.size(), offset, length,
                           [this](std::uint64_t block) { return DataOffsetOf(block); });
}

std::optional<ByteRange> VhdxImage::PresentRange(std::uint64_t offset) const {
  if (!file_) return std::nullopt;
  const auto own = [this](std::uint64_t at) {
    return PresentMappedRange(file_->Size(), blockSize_, payloadBlocks_.size(), at,
                              [this](std::uint64_t block) { return DataOffsetOf(block); });
  };
  if (!parent_) return own(offset);
  // A sector is present when the child or any image behind it holds it.
  return UnitePresentRanges(offset, own, [this](std::uint64_t at) { return parent_->PresentRange(at); });
}

}  // namespace dravik
