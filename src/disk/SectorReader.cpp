#include "disk/SectorReader.h"

#include <algorithm>
#include <limits>

namespace dravik {

bool SectorReader::Read(std::uint64_t firstSector, std::uint32_t count, std::span<std::uint8_t> buffer) const {
  const std::size_t bytes = std::size_t{count} * kSectorSize;
  if (buffer.size() < bytes || firstSector > std::numeric_limits<std::uint64_t>::max() / kSectorSize) {
    std::fill(buffer.begin(), buffer.end(), std::uint8_t{0});
    return false;
  }
  return disk_->ReadAt(firstSector * kSectorSize, buffer.first(bytes));
}

std::optional<FileSpan> SectorReader::Locate(std::uint64_t firstSector, std::uint64_t count) const {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max() / kSectorSize;
  if (firstSector > kMax || count > kMax) return std::nullopt;
  return disk_->Locate(firstSector * kSectorSize, count * kSectorSize);
}

std::optional<SectorRange> SectorReader::PresentSectors(std::uint64_t firstSector) const {
  if (firstSector > std::numeric_limits<std::uint64_t>::max() / kSectorSize) return std::nullopt;
  const auto range = disk_->PresentRange(firstSector * kSectorSize);
  if (!range) return std::nullopt;
  // A sector counts when any of its bytes is held.
  const std::uint64_t end = range->end / kSectorSize + (range->end % kSectorSize != 0);
  return SectorRange{std::max(firstSector, range->begin / kSectorSize), end};
}

}  // namespace dravik
