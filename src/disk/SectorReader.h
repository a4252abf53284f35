#pragma once
// Every scanner, previewer and writer reads the disk in 512-byte sectors
// through a SectorReader over the opened image.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "vdisk/ByteSource.h"

namespace dravik {

constexpr std::uint32_t kSectorSize = 512;

// Sectors [first, end).
struct SectorRange {
  std::uint64_t first = 0;
  std::uint64_t end = 0;
};

class SectorReader {
 public:
  explicit SectorReader(const ByteSource& disk) : disk_(&disk) {}

  // Reads count sectors from firstSector into buffer, which must hold
  // count * 512 bytes. A read of 0 sectors succeeds. On failure the sectors
  // that could not be read are zero.
  bool Read(std::uint64_t firstSector, std::uint32_t count, std::span<std::uint8_t> buffer) const;
  // One sector; zeros where it could not be read (they match no signature).
  std::vector<std::uint8_t> ReadSector(std::uint64_t lba) const {
    std::vector<std::uint8_t> sector(kSectorSize);
    Read(lba, 1, sector);
    return sector;
  }

  // Where sectors lie in the image file as they are, as far as they run on
  // contiguously there (see ByteSource::Locate).
  std::optional<FileSpan> Locate(std::uint64_t firstSector, std::uint64_t count) const;

  // The first run of sectors at or after firstSector that hold any byte the
  // image really holds (see ByteSource::PresentRange); none when no such
  // sector is left. The sectors before the run read as zeros or fail to read.
  std::optional<SectorRange> PresentSectors(std::uint64_t firstSector) const;

  std::uint64_t SectorCount() const { return disk_->Size() / kSectorSize; }

 private:
  const ByteSource* disk_;
};

}  // namespace dravik
