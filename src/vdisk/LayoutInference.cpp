#include "vdisk/LayoutInference.h"

#include <algorithm>
#include <map>

namespace dravik {

namespace {

constexpr std::size_t kBootSignatureOffset = 510;
constexpr std::size_t kPartitionEntriesOffset = 446;
constexpr std::size_t kPartitionEntrySize = 16;
constexpr std::size_t kEntryTypeOffset = 4;
constexpr std::size_t kEntryStartOffset = 8;
constexpr std::size_t kEntrySectorsOffset = 12;
constexpr std::uint64_t kSectorBytes = 512;
constexpr std::uint32_t kMaxBlockSize = 256u * 1024 * 1024;

}  // namespace

std::uint64_t PartitionTableExtent(Bytes firstSector) {
  if (firstSector.size() < kSectorBytes || u8(firstSector, kBootSignatureOffset) != 0x55 ||
      u8(firstSector, kBootSignatureOffset + 1) != 0xAA)
    return 0;
  // A volume's boot sector holds code where a table would be: its status
  // bytes are no table's.
  for (std::size_t i = 0; i < 4; ++i) {
    const std::uint8_t status = u8(firstSector, kPartitionEntriesOffset + i * kPartitionEntrySize);
    if (status != 0x00 && status != 0x80) return 0;
  }
  std::uint64_t end = 0;
  for (std::size_t i = 0; i < 4; ++i) {
    const std::size_t entry = kPartitionEntriesOffset + i * kPartitionEntrySize;
    if (u8(firstSector, entry + kEntryTypeOffset) == 0 || le32(firstSector, entry + kEntryStartOffset) == 0) continue;
    const std::uint64_t sectors = le32(firstSector, entry + kEntrySectorsOffset);
    if (sectors == 0) continue;
    end = std::max(end, (le32(firstSector, entry + kEntryStartOffset) + sectors) * kSectorBytes);
  }
  return end;
}

std::optional<std::uint32_t> BlockSizeFromSpacing(std::vector<std::uint64_t> offsets,
                                                  std::uint64_t (*overhead)(std::uint32_t blockSize),
                                                  std::uint32_t minimum) {
  std::sort(offsets.begin(), offsets.end());
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  if (offsets.size() < 2) return std::nullopt;
  std::map<std::uint64_t, std::size_t> distances;
  for (std::size_t i = 1; i < offsets.size(); ++i) ++distances[offsets[i] - offsets[i - 1]];
  const auto common = std::max_element(distances.begin(), distances.end(),
                                       [](const auto& a, const auto& b) { return a.second < b.second; });
  if (common->second * 2 < offsets.size() - 1) return std::nullopt;
  for (std::uint64_t size = minimum; size <= kMaxBlockSize; size *= 2) {
    const auto blockSize = static_cast<std::uint32_t>(size);
    if (size + overhead(blockSize) == common->first) return blockSize;
  }
  return std::nullopt;
}

}  // namespace dravik
