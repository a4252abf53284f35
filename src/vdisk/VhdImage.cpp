#include "vdisk/VhdImage.h"

#include <algorithm>

#include "vdisk/BlockMap.h"
#include "vdisk/ImageFile.h"
#include "vdisk/LayoutInference.h"
#include "vdisk/VhdInference.h"
#include "vdisk/VhdParentLocator.h"

namespace dravik {

using namespace vhd;

namespace {

constexpr std::uint32_t kMinHeaderBlockSize = 4096;
constexpr std::uint32_t kMaxHeaderBlockSize = 256u * 1024 * 1024;

}  // namespace

bool VhdImage::Open(const std::filesystem::path& path) {
  std::string why;
  auto file = ImageFile::Open(path, &why);
  if (!file) return Fail("the file cannot be opened for reading: " + why);
  return Open(std::move(file));
}

bool VhdImage::Open(std::unique_ptr<ByteSource> file) {
  Close();
  file_ = std::move(file);
  if (!ReadFooter()) return false;
  if (ReadsThroughBat(footer_.diskTypeCode) && !ReadBlockTable()) return false;
  return true;
}

void VhdImage::Close() {
  file_.reset();
  footer_ = {};
  warnings_.clear();
  uniqueId_ = {};
  hasFooterCookie_ = false;
  parentLink_.reset();
  parent_.reset();
  blockSize_ = 0;
  bitmapBytes_ = 0;
  batOffset_ = 0;
  dataEnd_ = 0;
  blockOffsets_.clear();
  unplacedAreas_.clear();
  inferredHeader_.reset();
  diagnostic_.clear();
  repairs_.clear();
  noStructureFound_ = false;
}

bool VhdImage::Fail(std::string why) {
  diagnostic_ = std::move(why);
  file_.reset();
  blockOffsets_.clear();
  return false;
}

// The footer is the last 512 bytes. Dynamic disks keep a copy at offset 0,
// which is used when the end of the file is not a footer (a truncated image).
bool VhdImage::ReadFooter() {
  const std::uint64_t fileSize = file_->Size();
  if (fileSize < kFooterSize) return Fail("the file is smaller than a VHD footer");
  bool ok = false;
  auto footer = ReadBlock(*file_, fileSize - kFooterSize, kFooterSize, &ok);
  if (!ok) return Fail("the footer cannot be read");
  const bool footerAtEnd = HasAscii(footer, kFooterCookieOffset, kFooterCookie);
  dataEnd_ = footerAtEnd ? fileSize - kFooterSize : fileSize;
  if (!footerAtEnd) {
    auto copy = ReadBlock(*file_, 0, kFooterSize);
    if (HasAscii(copy, kFooterCookieOffset, kFooterCookie) && ReadsThroughBat(ParseFooter(copy).diskTypeCode)) {
      footer = std::move(copy);
      repairs_.push_back({"footer", "missing at the end (truncated image?)", "the copy at offset 0 used"});
      diagnostic_ = "the last 512 bytes are no footer (truncated image?); the copy at offset 0 is used";
    }
  }
  hasFooterCookie_ = HasAscii(footer, kFooterCookieOffset, kFooterCookie);
  if (!hasFooterCookie_) return ReadWithoutFooter();
  footer_ = ParseFooter(footer);
  uniqueId_ = FooterUniqueId(footer);
  return true;
}

// Without a footer at either end the file can still be a dynamic disk whose
// footers were lost: when the dynamic header sits at 512, it is read as a
// dynamic disk of the size its block table covers. Else, when its first
// sector carries the boot signature of a partition table or a volume, the
// whole file is read as that disk. A file with neither is no VHD, whatever
// its last 512 bytes would claim.
bool VhdImage::ReadWithoutFooter() {
  const auto first = ReadBlock(*file_, 0, kFooterSize);
  const std::optional<std::uint64_t> headerAt = FindDynamicHeader(*file_);
  footer_ = {};
  if (headerAt) {
    const DynamicHeader header = ParseDynamicHeader(ReadBlock(*file_, *headerAt, kDynamicHeaderSize));
    footer_.diskTypeCode = kDynamic;
    footer_.dataOffset = *headerAt;
    footer_.size = std::uint64_t{header.maxTableEntries} * header.blockSize;
    repairs_.push_back({"footer", "missing at the end and at offset 0",
                        "the dynamic header at " + std::to_string(*headerAt) +
                            " used; the size taken from its block table: " + std::to_string(footer_.size) + " bytes"});
  } else if (u8(first, kBootSignatureOffset) == 0x55 && u8(first, kBootSignatureOffset + 1) == 0xAA) {
    // A fixed disk cut short still spans what its partition table says;
    // the part the file lost reads as failing zeros.
    footer_.size = std::max(file_->Size(), PartitionTableExtent(first));
    dataEnd_ = file_->Size();
    repairs_.push_back({"footer", "missing at the end and at offset 0", "the file read as a raw disk"});
  } else if (const std::optional<DynamicHeader> inferred = FindBlockTableByShape(*file_, dataEnd_, 0)) {
    footer_.diskTypeCode = kDynamic;
    footer_.size = std::uint64_t{inferred->maxTableEntries} * inferred->blockSize;
    inferredHeader_ = inferred;
    repairs_.push_back({"footer and dynamic header", "missing",
                        "read as a dynamic disk of " + std::to_string(footer_.size) +
                            " bytes, as far as the block table found by its shape reaches"});
  } else {
    noStructureFound_ = true;
    return Fail("no VHD structure was found: no \"conectix\" footer at the end or at offset 0, no dynamic header "
                "in the first MiB, no block table and no boot signature in the first sector");
  }
  diagnostic_ = repairs_.back().Text();
  return true;
}

// The dynamic header is taken from the footer's data offset and the BAT from
// the header's table offset when they point at a valid header; otherwise from
// the usual places, 512 and 1536.
bool VhdImage::ReadBlockTable() {
  const std::uint64_t fileSize = file_->Size();
  bool ok = false;
  std::vector<std::uint8_t> headerBytes;
  DynamicHeader header;
  std::uint64_t headerAt = footer_.dataOffset;
  if (footer_.dataOffset <= fileSize && fileSize - footer_.dataOffset >= kDynamicHeaderSize) {
    headerBytes = ReadBlock(*file_, footer_.dataOffset, kDynamicHeaderSize);
    header = ParseDynamicHeader(headerBytes);
  }
  if (!header.hasCookie) {
    headerAt = FindDynamicHeader(*file_).value_or(kDefaultDynamicHeaderOffset);
    headerBytes = ReadBlock(*file_, headerAt, kDynamicHeaderSize, &ok);
    if (!ok) return Fail("the dynamic header cannot be read");
    header = ParseDynamicHeader(headerBytes);
  }
  if (!header.hasCookie && !IsDifferencing()) {
    if (!inferredHeader_) inferredHeader_ = FindBlockTableByShape(*file_, dataEnd_, footer_.size);
    if (!inferredHeader_) return Fail("the dynamic header is lost and no block table was found by its shape");
    header = *inferredHeader_;
    if (footer_.dataOffset != 0)
      repairs_.push_back({"dynamic header", "missing (no \"cxsparse\" cookie)",
                          "the block table found by its shape at " + std::to_string(header.tableOffset) + ": " +
                              std::to_string(header.maxTableEntries) + " entries of " + std::to_string(header.blockSize) +
                              " bytes (the block size from the spacing of its blocks)"});
  }
  if (header.hasCookie && !IsDifferencing()) CheckHeaderValues(header);
  blockSize_ = header.blockSize;
  if (IsDifferencing()) parentLink_ = ReadParentLink(*file_, headerBytes);

  const std::uint64_t batBytes = std::uint64_t{header.maxTableEntries} * 4;
  const auto fits = [&](std::uint64_t offset) { return offset <= fileSize && fileSize - offset >= batBytes; };
  batOffset_ = kDefaultBatOffset;
  if ((header.hasCookie || inferredHeader_) && fits(header.tableOffset)) batOffset_ = header.tableOffset;
  if (!fits(batOffset_))
    return Fail("the block table of " + std::to_string(header.maxTableEntries) +
                " entries does not fit in the file: damaged header or truncated image?");

  const auto bat = ReadBlock(*file_, batOffset_, static_cast<std::size_t>(batBytes), &ok);
  if (!ok) return Fail("the block table cannot be read");
  bitmapBytes_ = BitmapSectors(blockSize_) * kSectorSize;
  std::vector<TableEntry> entries(header.maxTableEntries);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint32_t entry = be32(bat, i * 4);
    if (entry != kAbsentBlock) entries[i] = {TableEntry::kPresent, std::uint64_t{entry} * kSectorSize};
  }
  const std::uint64_t tablesEnd = std::max(batOffset_ + batBytes, headerAt + kDynamicHeaderSize);
  if (!IsDifferencing()) SalvageBat(entries, tablesEnd);
  blockOffsets_.resize(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const TableEntry& entry = entries[i];
    blockOffsets_[i] = entry.state == TableEntry::kPresent ? entry.fileOffset + bitmapBytes_
                       : entry.state == TableEntry::kLost  ? kLostBlock
                                                           : 0;
  }
  return true;
}

// A block size that is no power of two from 4 KiB to 256 MiB is taken from
// the spacing of the blocks the table names; an entry count whose table
// would not fit in the file is cut to what the disk's size needs.
void VhdImage::CheckHeaderValues(DynamicHeader& header) {
  const std::uint32_t size = header.blockSize;
  if (size < kMinHeaderBlockSize || size > kMaxHeaderBlockSize || (size & (size - 1)) != 0) {
    const std::optional<DynamicHeader> shape = FindBlockTableByShape(*file_, dataEnd_, footer_.size);
    if (shape && shape->tableOffset == header.tableOffset) {
      header.blockSize = shape->blockSize;
      repairs_.push_back({"dynamic header: block size", "implausible: " + std::to_string(size),
                          std::to_string(header.blockSize) + " inferred from the spacing of the table's blocks"});
    }
  }
  if (header.blockSize == 0 || footer_.size == 0) return;
  const std::uint64_t needed = (footer_.size + header.blockSize - 1) / header.blockSize;
  const std::uint64_t fileSize = file_->Size();
  const bool fits = header.tableOffset <= fileSize && (fileSize - header.tableOffset) / 4 >= header.maxTableEntries;
  if (!fits && needed < header.maxTableEntries) {
    repairs_.push_back({"dynamic header: entry count", std::to_string(header.maxTableEntries) + " do not fit in the file",
                        std::to_string(needed) + " taken, what the disk's size needs"});
    header.maxTableEntries = static_cast<std::uint32_t>(needed);
  }
}

// Entries that cannot be right (a zeroed entry points at the footer's copy,
// an overwritten one past the end) are taken as lost and the blocks no entry
// names placed where the blocks around them show they belong (see
// BlockTableSalvage.h). Blocks lie after the tables, each behind its bitmap.
void VhdImage::SalvageBat(std::vector<TableEntry>& entries, std::uint64_t tablesEnd) {
  if (blockSize_ == 0 || entries.empty()) return;
  BlockFileLayout layout;
  layout.areaSize = bitmapBytes_ + blockSize_;
  layout.alignment = kSectorSize;
  layout.dataStart = (tablesEnd + kSectorSize - 1) / kSectorSize * kSectorSize;
  layout.dataEnd = dataEnd_;
  layout.holdsData = [this](std::uint64_t at) { return AreaHoldsData(*file_, at + bitmapBytes_, blockSize_); };
  const TableSalvage salvage = SalvageBlockTable(entries, layout);
  if (!salvage.Changed()) return;
  for (const std::uint64_t area : UnclaimedBlockAreas(entries, layout)) unplacedAreas_.push_back(area + bitmapBytes_);
  const SalvageWords words = DescribeSalvage(salvage);
  repairs_.push_back({"BAT", words.problem, words.action});
  if (!diagnostic_.empty()) diagnostic_ += "; ";
  diagnostic_ += repairs_.back().Text();
}

LostBlocks VhdImage::Lost() const {
  LostBlocks lost;
  if (unplacedAreas_.empty() && std::find(blockOffsets_.begin(), blockOffsets_.end(), kLostBlock) == blockOffsets_.end()) return lost;
  lost.file = file_.get();
  lost.blockSize = blockSize_;
  lost.areas = unplacedAreas_;
  lost.entries.resize(blockOffsets_.size());
  for (std::size_t i = 0; i < blockOffsets_.size(); ++i) {
    const std::uint64_t data = blockOffsets_[i];
    if (data == kLostBlock) lost.entries[i].state = TableEntry::kLost;
    else if (data != 0) lost.entries[i] = {TableEntry::kPresent, data};
  }
  return lost;
}

void VhdImage::Place(const std::vector<BlockPlacement>& placements) {
  for (const BlockPlacement& placement : placements) {
    if (placement.block >= blockOffsets_.size()) continue;
    std::uint64_t& entry = blockOffsets_[static_cast<std::size_t>(placement.block)];
    if (placement.fileOffset == 0) {
      if (entry == kLostBlock) entry = 0;
      continue;
    }
    if (!TakeUnplacedArea(unplacedAreas_, placement.fileOffset)) continue;
    entry = placement.fileOffset;
  }
}

// The footer of a fixed disk is no part of its data: a read that reaches it
// fails there, whatever size the footer claims.
bool VhdImage::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  if (!file_) return FailWithZeros(out);
  if (!ReadsThroughBat(footer_.diskTypeCode)) {
    const std::uint64_t left = offset < dataEnd_ ? dataEnd_ - offset : 0;
    const auto inData = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), left));
    const bool ok = file_->ReadAt(offset, out.first(inData));
    if (inData < out.size()) return FailWithZeros(out.subspan(inData));
    return ok;
  }
  if (IsDifferencing()) {
    return ReadChildBlocks(*file_, parent_.get(), blockSize_, blockOffsets_.size(), SectorBitmapLayout{kSectorSize, true},
                           offset, out, [this](std::uint64_t block) {
                             const std::uint64_t data = blockOffsets_[static_cast<std::size_t>(block)];
                             if (data == 0) return ChildBlock{};
                             return ChildBlock{ChildBlock::kBitmap, data, data - bitmapBytes_};
                           });
  }
  return ReadMappedBlocks(*file_, blockSize_, blockOffsets_.size(), offset, out, [this](std::uint64_t block) {
    return blockOffsets_[static_cast<std::size_t>(block)];
  });
}

std::optional<FileSpan> VhdImage::Locate(std::uint64_t offset, std::uint64_t length) const {
  if (!file_) return std::nullopt;
  if (!ReadsThroughBat(footer_.diskTypeCode)) {
    if (offset >= dataEnd_) return std::nullopt;
    return file_->Locate(offset, std::min(length, dataEnd_ - offset));
  }
  // A differencing image's bytes may come from two files within one block.
  if (IsDifferencing()) return std::nullopt;
  return LocateMappedBlock(*file_, blockSize_, blockOffsets_.size(), offset, length, [this](std::uint64_t block) {
    return blockOffsets_[static_cast<std::size_t>(block)];
  });
}

std::optional<ByteRange> VhdImage::PresentRange(std::uint64_t offset) const {
  if (!file_) return std::nullopt;
  if (!ReadsThroughBat(footer_.diskTypeCode)) {
    if (offset >= dataEnd_) return std::nullopt;
    return ByteRange{offset, dataEnd_};
  }
  const auto own = [this](std::uint64_t at) {
    return PresentMappedRange(file_->Size(), blockSize_, blockOffsets_.size(), at, [this](std::uint64_t block) {
      return blockOffsets_[static_cast<std::size_t>(block)];
    });
  };
  if (!parent_) return own(offset);
  // A sector is present when the child or any image behind it holds it.
  return UnitePresentRanges(offset, own, [this](std::uint64_t at) { return parent_->PresentRange(at); });
}

}  // namespace dravik
