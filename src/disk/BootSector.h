#pragma once
// Recognising boot sectors and partition records by their signatures.

#include <cstdint>

#include "util/Bytes.h"

namespace dravik::boot {

constexpr std::size_t kSignatureOffset = 510;
constexpr std::size_t kFat32LabelOffset = 82;  // "FAT32"
constexpr std::size_t kFat16LabelOffset = 54;  // "FAT16"
constexpr std::size_t kNtfsOemOffset = 3;      // "NTFS"
constexpr std::size_t kFat32DigitsOffset = 85;  // the "32" of "FAT32"
constexpr std::size_t kFat16DigitsOffset = 57;  // the "16" of "FAT16"
constexpr std::size_t kTotalSectors16Offset = 19;
constexpr std::size_t kTotalSectors32Offset = 32;
constexpr std::size_t kNtfsTotalSectorsOffset = 40;

// 0x55 at 510 and 0xAA at 511.
bool HasSignature(Bytes sector);
// Either of the two signature bytes; enough for a partition table sector.
bool HasEitherSignatureByte(Bytes sector);

// The file-system code named by a boot sector's labels, tested in the order
// FAT32, FAT16, NTFS; 0 when none matches.
std::uint16_t FsCodeFromLabels(Bytes sector);
// A sector that starts like a GPT header ("EFI" at 0, "PART" at 4).
bool LooksLikeGptHeader(Bytes sector);

// A cluster of 1 to 128 sectors, a power of two, as FAT and NTFS allow.
constexpr bool PowerOfTwoClusterSize(std::uint64_t sectors) {
  return sectors >= 1 && sectors <= 128 && (sectors & (sectors - 1)) == 0;
}

// The partition search's test of a candidate sector: the code and the
// sector count its boot sector gives, or code 0.
struct FoundBootSector {
  std::uint16_t code = 0;
  std::uint64_t sectors = 0;
};
FoundBootSector RecogniseBootSector(Bytes sector);

}  // namespace dravik::boot
