#pragma once
// The boot sector of a FAT16, FAT32 or NTFS volume: where its fields lie,
// the decoded parameter block, and the plausibility checks every reader of
// boot sectors (the Quick Scan's parameters, the partition search, the
// Extensive Scan's search and identification) shares.
//
//   offset size  field                         FAT16  FAT32  NTFS
//        3    8  OEM name                          .      .   "NTFS    "
//       11    2  bytes per sector                  x      x      x
//       13    1  sectors per cluster               x      x      x
//       14    2  reserved sectors                  x      x      0
//       16    1  number of FATs                    x      x      0
//       17    2  root directory entries            x      0      0
//       19    2  total sectors (16-bit)            x      0      0
//       21    1  media descriptor                  x      x      x
//       22    2  FAT size (16-bit)                 x      0      0
//       28    4  hidden sectors                    x      x      x
//       32    4  total sectors (32-bit)            x      x      0
//       36    4  FAT size (32-bit)                        x
//       40    8  total sectors (64-bit)                          x
//       44    4  root directory cluster                   x
//       48    8  MFT cluster                                     x
//       54    8  file-system type "FAT16   "       x
//       56    8  MFT mirror cluster                              x
//       64    1  clusters per MFT record (signed)                x
//       68    1  clusters per index record (signed)              x
//       82    8  file-system type "FAT32   "              x
//      510    2  signature 55 AA                   x      x      x
//
// A negative cluster count at 64 or 68 gives the record size as a power of
// two in bytes: 0xF4 (-12) means 4096 bytes.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "util/Bytes.h"

namespace dravik {

class Diagnostics;

namespace boot {

constexpr std::size_t kOemNameOffset = 3;
constexpr std::size_t kBytesPerSectorOffset = 11;
constexpr std::size_t kSectorsPerClusterOffset = 13;
constexpr std::size_t kReservedSectorsOffset = 14;
constexpr std::size_t kFatCountOffset = 16;
constexpr std::size_t kRootEntriesOffset = 17;
constexpr std::size_t kTotalSectors16Offset = 19;
constexpr std::size_t kMediaOffset = 21;
constexpr std::size_t kFatSize16Offset = 22;
constexpr std::size_t kHiddenSectorsOffset = 28;
constexpr std::size_t kTotalSectors32Offset = 32;
constexpr std::size_t kFatSize32Offset = 36;
constexpr std::size_t kNtfsTotalSectorsOffset = 40;
constexpr std::size_t kRootClusterOffset = 44;
constexpr std::size_t kMftClusterOffset = 48;
constexpr std::size_t kFat16TypeOffset = 54;
constexpr std::size_t kMirrorClusterOffset = 56;
constexpr std::size_t kMftRecordClustersOffset = 64;
constexpr std::size_t kIndexRecordClustersOffset = 68;
constexpr std::size_t kFat32TypeOffset = 82;
constexpr std::size_t kSignatureOffset = 510;

constexpr std::size_t kNameLength = 8;
// The "32" of "FAT32" and the "16" of "FAT16" in the type fields.
constexpr std::size_t kTypeDigitsOffset = 3;
// FAT32 keeps a copy of its boot sector this many sectors into the volume.
constexpr std::uint32_t kFat32BackupSector = 6;
// Clusters per record of 0xF4 (-12): records of 4096 bytes, 8 sectors.
constexpr std::uint8_t kRecordOf4096 = 0xF4;
constexpr std::uint32_t kSectorsOf4096 = 8;

using Name = std::array<char, kNameLength>;

// Every field of the parameter block, decoded; a field the sector is too
// short to hold reads as 0.
struct BootSector {
  Name oemName{};
  std::uint16_t bytesPerSector = 0;
  std::uint8_t sectorsPerCluster = 0;
  std::uint16_t reservedSectors = 0;
  std::uint8_t fatCount = 0;
  std::uint16_t rootEntries = 0;
  std::uint16_t totalSectors16 = 0;
  std::uint8_t media = 0;
  std::uint16_t fatSize16 = 0;
  std::uint32_t hiddenSectors = 0;
  std::uint32_t totalSectors32 = 0;
  std::uint32_t fatSize32 = 0;
  std::uint64_t totalSectors64 = 0;
  std::uint32_t rootCluster = 0;
  std::uint64_t mftCluster = 0;
  std::uint64_t mirrorCluster = 0;
  std::int8_t clustersPerMftRecord = 0;
  std::int8_t clustersPerIndexRecord = 0;
  // The three bytes after the index record size, 0 on a sound volume. The
  // Quick Scan reads the size as a 32-bit field, so they change what it
  // takes when they are not 0.
  std::uint32_t indexRecordUnused = 0;
  Name fat16Type{};
  Name fat32Type{};
  bool signature = false;  // 55 AA at 510

  // FAT volumes below 65536 sectors keep their size in the 16-bit field and
  // leave the 32-bit one 0.
  std::uint64_t FatTotalSectors() const { return totalSectors32 ? totalSectors32 : totalSectors16; }
};

BootSector Decode(Bytes sector);

// 0x55 at 510 and 0xAA at 511.
bool HasSignature(Bytes sector);
// Either of the two signature bytes; enough for a partition table sector.
bool HasEitherSignatureByte(Bytes sector);

// The type fields' digits alone: "32" at 85, "16" at 57.
bool HasFat32Digits(Bytes sector);
bool HasFat16Digits(Bytes sector);
// "NTFS" at 3.
bool HasNtfsName(Bytes sector);

// The file-system code named by a boot sector's labels in full ("FAT32",
// "FAT16", "NTFS"), tested in that order; 0 when none matches.
std::uint16_t FsCodeFromLabels(Bytes sector);
// A sector that starts like a GPT header ("EFI" at 0, "PART" at 4).
bool LooksLikeGptHeader(Bytes sector);

// The Extensive Scan's search: a whole sector with the signature and the
// digits of FAT32 or FAT16, or with the signature and "NTFS".
bool IsFatBootSector(Bytes sector);
bool IsNtfsBootSector(Bytes sector);

// A cluster of 1 to 128 sectors, a power of two, as FAT and NTFS allow.
constexpr bool PowerOfTwoClusterSize(std::uint64_t sectors) {
  return sectors >= 1 && sectors <= 128 && (sectors & (sectors - 1)) == 0;
}
// Why a cluster of this many sectors cannot be; empty when it can.
std::string ClusterSizeProblem(std::uint64_t sectors);

// The checks that tell why: true when the sector at lba passes, otherwise
// false with the reason added to diagnostics.
bool CheckSignature(Bytes sector, std::uint64_t lba, Diagnostics& diagnostics);
bool CheckClusterSize(std::uint64_t sectors, std::uint64_t lba, Diagnostics& diagnostics);

// Sectors of an index record as the scans take them: 0xF4 is 8 sectors,
// any other byte a count of clusters.
std::uint32_t IndexRecordSectors(std::uint32_t clusters, std::uint32_t sectorsPerCluster);

// The partition search's test of a candidate sector: the code and the
// sector count its boot sector gives, or code 0.
struct FoundBootSector {
  std::uint16_t code = 0;
  std::uint64_t sectors = 0;
};
FoundBootSector RecogniseBootSector(Bytes sector);

// The fields of an NTFS boot sector (or of its backup in the volume's last
// sector) that tell where the volume and its MFT lie; the backup lies at
// start + totalSectors.
struct NtfsBootFields {
  std::uint32_t sectorsPerCluster = 0;
  std::uint64_t totalSectors = 0;
  std::uint64_t mftCluster = 0;
  std::uint64_t mirrorCluster = 0;
  std::uint32_t indexRecordSectors = 0;
};

// The fields, when the cluster size is a power of two from 1 to 128 sectors
// and neither the total nor the index record size is 0.
std::optional<NtfsBootFields> ReadNtfsBootFields(Bytes sector);

}  // namespace boot
}  // namespace dravik
