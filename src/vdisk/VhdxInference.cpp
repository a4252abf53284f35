#include "vdisk/VhdxInference.h"

#include <algorithm>

#include "util/Bytes.h"
#include "vdisk/LayoutInference.h"
#include "vdisk/VhdxFormat.h"
#include "vdisk/VhdxMetadataCheck.h"

namespace dravik::vhdx {

namespace {

constexpr std::size_t kReadSize = 1024 * 1024;
constexpr std::uint64_t kReservedMask = 0xFFFF8;
constexpr std::uint64_t kFullyPresent = 6;
// The most entries any image can need: 64 TiB of 1 MiB blocks, and one
// sector bitmap entry per chunk of at least 16 of them.
constexpr std::uint64_t kMaxBatEntries = kMaxVirtualDiskSize / kMinBlockSize * 17 / 16;

std::uint64_t NoOverhead(std::uint32_t) { return 0; }

}  // namespace

std::vector<std::uint64_t> ReadBatEntries(const ByteSource& file, std::uint64_t batOffset, std::uint64_t batLength) {
  const std::uint64_t fileSize = file.Size();
  if (batOffset >= fileSize) return {};
  const std::uint64_t total = std::min(std::min(batLength, fileSize - batOffset) / kBatEntrySize, kMaxBatEntries);
  std::vector<std::uint64_t> entries;
  entries.reserve(static_cast<std::size_t>(total));
  std::vector<std::uint8_t> buffer;
  for (std::uint64_t first = 0; first < total;) {
    const std::uint64_t count = std::min<std::uint64_t>(total - first, kReadSize / kBatEntrySize);
    buffer.resize(static_cast<std::size_t>(count * kBatEntrySize));
    file.ReadAt(batOffset + first * kBatEntrySize, buffer);
    for (std::uint64_t k = 0; k < count; ++k) entries.push_back(le64(buffer, static_cast<std::size_t>(k * kBatEntrySize)));
    first += count;
  }
  return entries;
}

BatEvidence EvidenceOf(const std::vector<std::uint64_t>& entries, std::uint64_t fileSize) {
  BatEvidence bat;
  bat.entryCount = entries.size();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::uint64_t raw = entries[i];
    const std::uint64_t at = raw & kBatFileOffsetMask;
    if ((raw & kReservedMask) != 0 || (raw & kBatStateMask) != kFullyPresent || at == 0 || at >= fileSize) continue;
    bat.blockOffsets.push_back(at);
    bat.lastPresent = i + 1;
    if (i == 0) bat.firstBlock = at;
  }
  return bat;
}

std::optional<std::uint32_t> BlockSizeFromBat(const BatEvidence& bat) {
  return BlockSizeFromSpacing(bat.blockOffsets, NoOverhead, kMinBlockSize);
}

std::uint64_t VirtualSizeFromBat(const ByteSource& file, const BatEvidence& bat, std::uint32_t blockSize,
                                 std::uint32_t sectorSize) {
  if (blockSize == 0 || sectorSize == 0) return 0;
  const auto chunk = static_cast<std::uint64_t>(ComputeBlockGeometry(1, blockSize, sectorSize, false).chunkRatio);
  // Payload blocks before the last present entry, bitmap entries left out.
  const std::uint64_t blocks = chunk ? bat.lastPresent - bat.lastPresent / (chunk + 1) : bat.lastPresent;
  const std::uint64_t named = blocks * blockSize;
  const std::uint64_t extent = bat.firstBlock ? PartitionTableExtent(ReadBlock(file, bat.firstBlock, 512)) : 0;
  const std::uint64_t size = std::max(named, extent);
  return std::min(size / sectorSize * sectorSize, kMaxVirtualDiskSize);
}

}  // namespace dravik::vhdx
