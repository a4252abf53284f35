#include "disk/BootSector.h"

#include "disk/PartitionTable.h"

namespace dravik::boot {

bool HasSignature(Bytes sector) { return u8(sector, kSignatureOffset) == 0x55 && u8(sector, kSignatureOffset + 1) == 0xAA; }

bool HasEitherSignatureByte(Bytes sector) {
  return u8(sector, kSignatureOffset) == 0x55 || u8(sector, kSignatureOffset + 1) == 0xAA;
}

std::uint16_t FsCodeFromLabels(Bytes sector) {
  if (HasAscii(sector, kFat32LabelOffset, "FAT32")) return kFat32;
  if (HasAscii(sector, kFat16LabelOffset, "FAT16")) return kFat16;
  if (HasAscii(sector, kNtfsOemOffset, "NTFS")) return kNtfs;
  return 0;
}

bool LooksLikeGptHeader(Bytes sector) { return HasAscii(sector, 0, "EFI") && HasAscii(sector, 4, "PART"); }

// FAT volumes below 65536 sectors keep their size in the 16-bit field and
// leave the 32-bit one 0.
FoundBootSector RecogniseBootSector(Bytes sector) {
  const auto fatSectors = [&] {
    const std::uint32_t large = le32(sector, kTotalSectors32Offset);
    return large ? large : le16(sector, kTotalSectors16Offset);
  };
  if (HasAscii(sector, kFat32DigitsOffset, "32")) return {kFat32, fatSectors()};
  if (HasAscii(sector, kFat16DigitsOffset, "16")) return {kFat16, fatSectors()};
  if (HasAscii(sector, kNtfsOemOffset, "NTFS"))
    return {kNtfs, le64(sector, kNtfsTotalSectorsOffset)};
  return {};
}

}  // namespace dravik::boot
