#include "vdisk/VhdxRegionTable.h"

#include <algorithm>

#include "util/Crc32.h"

namespace dravik::vhdx {

namespace {

const char* RegionName(KnownItem item) { return item == KnownItem::kBat ? "BAT" : "metadata"; }

constexpr std::uint64_t kSearchSpan = 256 * kRegionAlignment;
constexpr std::size_t kBatProbeEntries = 8192;

// Whether the bytes read like the start of a dynamic or differencing image's
// block table, and the lowest block they name (0 when they do not).
std::uint64_t LowestBlockOfBatShape(Bytes entries, std::uint64_t fileSize) {
  std::uint64_t lowest = 0;
  for (std::size_t at = 0; at + kBatEntrySize <= entries.size(); at += kBatEntrySize) {
    const std::uint64_t raw = le64(entries, at);
    const std::uint64_t state = raw & kBatStateMask;
    const std::uint64_t offset = raw & kBatFileOffsetMask;
    if ((raw & 0xFFFF8) != 0 || state == 4 || state == 5) return 0;
    if (state < 6 && state != 2 && state != 3 && offset != 0) return 0;
    if (state >= 6 && (offset < kRegionAlignment || offset >= fileSize)) return 0;
    if (state == 6) lowest = lowest == 0 ? offset : std::min(lowest, offset);
  }
  return lowest;
}

}  // namespace

RegionTable ParseRegionTable(Bytes block, int copy) {
  RegionTable table;
  table.copy = copy;
  if (block.size() < kTableSize || std::all_of(block.begin(), block.end(), [](std::uint8_t b) { return b == 0; })) {
    table.problem = "zeroed";
    return table;
  }
  table.hasSignature = HasAscii(block, 0, kRegionTableSignature);
  std::vector<std::uint8_t> zeroed(block.begin(), block.begin() + kTableSize);
  std::fill_n(zeroed.begin() + kRegionTableChecksumOffset, 4, std::uint8_t{0});
  table.checksumMatches = Crc32c(zeroed) == le32(block, kRegionTableChecksumOffset);
  const std::uint32_t count = le32(block, kRegionTableCountOffset);
  for (std::uint32_t i = 0; i < std::min(count, kMaxTableEntries); ++i) {
    const std::size_t entry = kRegionEntriesOffset + kRegionEntrySize * i;
    KnownItem item = IdentifyGuid(block, entry + kRegionGuidOffset);
    if (item != KnownItem::kBat && item != KnownItem::kMetadata) item = KnownItem::kInvalid;
    table.entries.push_back({item, le64(block, entry + kRegionFileOffsetOffset), le32(block, entry + kRegionLengthOffset),
                             (le32(block, entry + kRegionFlagsOffset) & kRegionRequired) != 0});
  }
  if (!table.hasSignature) table.problem = "no signature";
  else if (!table.checksumMatches) table.problem = "bad checksum";
  else if (count > kMaxTableEntries) table.problem = "claims " + std::to_string(count) + " entries";
  return table;
}

std::string ImplausibleEntries(const RegionTable& table, std::uint64_t fileSize) {
  std::vector<const RegionEntry*> known;
  for (const RegionEntry& e : table.entries) {
    if (e.item == KnownItem::kInvalid) {
      if (e.required) return "an unknown region is marked required";
      continue;
    }
    for (const RegionEntry* other : known)
      if (other->item == e.item) return std::string("the ") + RegionName(e.item) + " region is named twice";
    known.push_back(&e);
  }
  if (known.size() != 2) return "it does not name both the BAT and the metadata region";
  for (const RegionEntry* e : known) {
    const std::string name = RegionName(e->item);
    if (e->fileOffset % kRegionAlignment != 0 || e->length % kRegionAlignment != 0 || e->length == 0)
      return "the " + name + " region is not 1 MiB-aligned";
    if (e->fileOffset < kRegionAlignment || e->fileOffset >= fileSize || fileSize - e->fileOffset < e->length)
      return "the " + name + " region lies outside the file";
  }
  const RegionEntry& a = *known[0];
  const RegionEntry& b = *known[1];
  if (a.fileOffset < b.fileOffset + b.length && b.fileOffset < a.fileOffset + a.length)
    return "the BAT and metadata regions overlap";
  return {};
}

std::optional<RegionTable> FindRegionsBySearch(const ByteSource& file, std::uint64_t logOffset) {
  const std::uint64_t fileSize = file.Size();
  std::optional<std::uint64_t> metadata;
  std::optional<std::uint64_t> bat;
  std::uint64_t lowestBlock = fileSize;
  for (std::uint64_t at = kRegionAlignment; at < std::min(fileSize, kSearchSpan) && !(metadata && bat);
       at += kRegionAlignment) {
    if (at == logOffset) continue;
    if (!metadata && HasAscii(ReadBlock(file, at, kMetadataSignature.size()), 0, kMetadataSignature)) {
      metadata = at;
      continue;
    }
    if (bat) continue;
    if (const std::uint64_t lowest = LowestBlockOfBatShape(ReadBlock(file, at, kBatProbeEntries * kBatEntrySize), fileSize);
        lowest > at) {
      bat = at;
      lowestBlock = lowest;
    }
  }
  if (!metadata || !bat) return std::nullopt;
  RegionTable table;
  table.copy = 0;
  const std::uint64_t batEnd = *metadata > *bat ? std::min(*metadata, lowestBlock) : lowestBlock;
  table.entries.push_back({KnownItem::kBat, *bat, static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                                      batEnd - *bat, 0xFFF00000u))});
  table.entries.push_back({KnownItem::kMetadata, *metadata, static_cast<std::uint32_t>(kRegionAlignment)});
  return table;
}

RegionTable ReadRegionTable(const ByteSource& file, int copy) {
  const std::uint64_t at = copy == 1 ? kRegionTableOffset : kRegionTable2Offset;
  return ParseRegionTable(ReadBlock(file, at, kTableSize), copy);
}

}  // namespace dravik::vhdx
