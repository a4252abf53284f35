#pragma once
// VHD on-disk layout. All integers are big-endian.
//
//   fixed:    [ data ........................................ ][ footer 512 ]
//   dynamic:  [ footer copy 512 ][ dynamic header 1024 ][ BAT ][ blocks ... ][ footer 512 ]
//             each block: [ sector bitmap ][ block data ]
//
// The footer's data offset names the dynamic header and the header's table
// offset names the BAT; images made by common tools put them at 512 and 1536.

#include <cstdint>

#include "util/Bytes.h"

namespace dravik::vhd {

constexpr std::size_t kFooterSize = 512;
constexpr std::size_t kDynamicHeaderSize = 1024;
constexpr std::uint64_t kDefaultDynamicHeaderOffset = 512;
constexpr std::uint64_t kDefaultBatOffset = 1536;
constexpr std::uint32_t kSectorSize = 512;
constexpr std::uint32_t kAbsentBlock = 0xFFFFFFFF;

// Footer.
constexpr std::string_view kFooterCookie = "conectix";
constexpr std::size_t kFooterCookieOffset = 0;
constexpr std::size_t kFooterDataOffsetOffset = 16;
constexpr std::size_t kFooterOriginalSizeOffset = 40;
constexpr std::size_t kFooterCurrentSizeOffset = 48;
constexpr std::size_t kFooterCylindersOffset = 56;
constexpr std::size_t kFooterHeadsOffset = 58;
constexpr std::size_t kFooterSectorsPerTrackOffset = 59;
constexpr std::size_t kFooterDiskTypeOffset = 60;
constexpr std::size_t kFooterChecksumOffset = 64;

// The boot signature 55 AA that ends the first sector of a partitioned disk
// or of a volume.
constexpr std::size_t kBootSignatureOffset = 510;

// Dynamic disk header.
constexpr std::string_view kDynamicHeaderCookie = "cxsparse";
constexpr std::size_t kHeaderCookieOffset = 0;
constexpr std::size_t kHeaderTableOffsetOffset = 16;
constexpr std::size_t kHeaderMaxTableEntriesOffset = 28;
constexpr std::size_t kHeaderBlockSizeOffset = 32;
constexpr std::size_t kHeaderChecksumOffset = 36;

// The disk type code the reader keeps for a stored Disk Type.
enum DiskTypeCode : std::uint32_t {
  kFlatNone = 1,
  kFixed = 2,
  kDynamic = 3,
  kDifferencing = 4,
  kFlatOther = 5,
  kFlat101 = 101,
};

std::uint32_t DiskTypeCodeFor(std::uint32_t storedDiskType);
bool ReadsThroughBat(std::uint32_t diskTypeCode);
const char* DiskTypeName(std::uint32_t diskTypeCode);

struct Footer {
  std::uint64_t dataOffset = 0;
  std::uint64_t size = 0;  // Current Size, or Original Size when Current Size is 0
  std::uint32_t cylinders = 0;
  std::uint32_t heads = 0;
  std::uint32_t sectorsPerTrack = 0;
  std::uint32_t diskTypeCode = kFlatOther;
};

Footer ParseFooter(Bytes footer);

struct DynamicHeader {
  bool hasCookie = false;
  std::uint64_t tableOffset = 0;
  std::uint32_t maxTableEntries = 0;
  std::uint32_t blockSize = 0;
};

DynamicHeader ParseDynamicHeader(Bytes header);

// Sectors of the bitmap in front of each block's data: one bit per sector,
// rounded up to whole sectors (one sector for blocks up to 2 MiB).
std::uint32_t BitmapSectors(std::uint32_t blockSize);

}  // namespace dravik::vhd
