#pragma once
// Every scanner, previewer and writer reads the disk in 512-byte sectors
// through a SectorReader over the opened image.

#include <cstdint>
#include <span>

#include "vdisk/ByteSource.h"

namespace dravik {

constexpr std::uint32_t kSectorSize = 512;

class SectorReader {
 public:
  explicit SectorReader(const ByteSource& disk) : disk_(&disk) {}

  // Reads count sectors from firstSector into buffer, which must hold
  // count * 512 bytes. A read of 0 sectors succeeds. On failure the sectors
  // that could not be read are zero.
  bool Read(std::uint64_t firstSector, std::uint32_t count, std::span<std::uint8_t> buffer) const;

  std::uint64_t SectorCount() const { return disk_->Size() / kSectorSize; }

 private:
  const ByteSource* disk_;
};

}  // namespace dravik
