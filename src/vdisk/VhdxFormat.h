#pragma once
// VHDX on-disk layout. All integers are little-endian; GUIDs are compared as
// their 16 stored bytes.
//
//   0        file type identifier ("vhdxfile" + creator)
//   64 KiB   header 1            128 KiB  header 2
//   192 KiB  region table 1      256 KiB  region table 2
//   ...      log, metadata region, BAT region, payload and sector bitmap blocks
//
// The BAT interleaves one sector bitmap entry after every chunk-ratio payload
// entries; the chunk ratio is (2^23 * logical sector size) / block size.

#include <array>
#include <cstdint>
#include <string>

#include "util/Bytes.h"

namespace dravik::vhdx {

constexpr std::string_view kFileSignature = "vhdxfile";
constexpr std::size_t kIdentifierSize = 520;
constexpr std::uint64_t kHeader1Offset = 64 * 1024;
constexpr std::uint64_t kHeader2Offset = 128 * 1024;
constexpr std::size_t kHeaderSize = 4096;
constexpr std::uint64_t kRegionTableOffset = 192 * 1024;
constexpr std::size_t kTableSize = 64 * 1024;
constexpr std::uint32_t kMaxTableEntries = 2047;

// Region table.
constexpr std::size_t kRegionTableCountOffset = 8;
constexpr std::size_t kRegionEntriesOffset = 16;
constexpr std::size_t kRegionEntrySize = 32;
constexpr std::size_t kRegionGuidOffset = 0;
constexpr std::size_t kRegionFileOffsetOffset = 16;
constexpr std::size_t kRegionLengthOffset = 24;
constexpr std::size_t kRegionFlagsOffset = 28;
constexpr std::uint32_t kRegionRequired = 1;

// Metadata table.
constexpr std::string_view kMetadataSignature = "metadata";
constexpr std::size_t kMetadataCountOffset = 10;
constexpr std::size_t kMetadataEntriesOffset = 32;
constexpr std::size_t kMetadataEntrySize = 32;
constexpr std::size_t kMetadataGuidOffset = 0;
constexpr std::size_t kMetadataItemOffsetOffset = 16;
constexpr std::size_t kMetadataLengthOffset = 20;
constexpr std::size_t kMetadataFlagsOffset = 24;

// File Parameters item.
constexpr std::size_t kFileParametersBlockSizeOffset = 0;
constexpr std::size_t kFileParametersFlagsOffset = 4;
constexpr std::uint32_t kLeaveBlocksAllocated = 1;
constexpr std::uint32_t kHasParent = 2;

// BAT entries.
constexpr std::size_t kBatEntrySize = 8;
constexpr std::uint64_t kBatStateMask = 0x7;
constexpr std::uint64_t kBatFileOffsetMask = ~std::uint64_t{0xFFFFF};

using Guid = std::array<std::uint8_t, 16>;

// The regions and metadata items the reader knows, by the name it gives them.
enum class KnownItem { kBat, kMetadata, kFileParameter, kVirtualDiskSize, kPage83, kLogicalSectorSize,
                       kPhysicalSectorSize, kParentLocator, kInvalid };

KnownItem IdentifyGuid(Bytes bytes, std::size_t offset);
const char* ItemName(KnownItem item);

// Disk type text from the File Parameters flags.
const char* DiskTypeText(bool leaveBlocksAllocated, bool hasParent);

struct BlockGeometry {
  double chunkRatio = 0;
  std::uint64_t dataBlockCount = 0;
  std::uint64_t totalBatEntries = 0;
  bool usable = false;  // false when the sizes make no block table possible
};

BlockGeometry ComputeBlockGeometry(std::uint64_t virtualDiskSize, std::uint32_t blockSize,
                                   std::uint32_t logicalSectorSize, bool hasParent);

}  // namespace dravik::vhdx
