#include "vdisk/VhdxFormat.h"

#include <algorithm>
#include <cmath>

namespace dravik::vhdx {
namespace {

// GUIDs as they are stored: the first three fields little-endian.
constexpr Guid MakeGuid(std::uint32_t a, std::uint16_t b, std::uint16_t c, std::array<std::uint8_t, 8> d) {
  return {static_cast<std::uint8_t>(a), static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a >> 16),
          static_cast<std::uint8_t>(a >> 24), static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(b >> 8),
          static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8), d[0], d[1], d[2], d[3], d[4], d[5], d[6],
          d[7]};
}

struct NamedGuid {
  KnownItem item;
  Guid guid;
  const char* name;
};

constexpr std::array<NamedGuid, 8> kKnownGuids{{
    {KnownItem::kBat, MakeGuid(0x2DC27766, 0xF623, 0x4200, {0x9D, 0x64, 0x11, 0x5E, 0x9B, 0xFD, 0x4A, 0x08}),
     "Bat Guid"},
    {KnownItem::kMetadata, MakeGuid(0x8B7CA206, 0x4790, 0x4B9A, {0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E}),
     "MetaData_Guid"},
    {KnownItem::kFileParameter,
     MakeGuid(0xCAA16737, 0xFA36, 0x4D43, {0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B}), "File Parameter"},
    {KnownItem::kVirtualDiskSize,
     MakeGuid(0x2FA54224, 0xCD1B, 0x4876, {0xB2, 0x11, 0x5D, 0xBE, 0xD8, 0x3B, 0xF4, 0xB8}), "Virtual Disk Size"},
    {KnownItem::kPage83, MakeGuid(0xBECA12AB, 0xB2E6, 0x4523, {0x93, 0xEF, 0xC3, 0x09, 0xE0, 0x00, 0xC7, 0x46}),
     "Page83"},
    {KnownItem::kLogicalSectorSize,
     MakeGuid(0x8141BF1D, 0xA96F, 0x4709, {0xBA, 0x47, 0xF2, 0x33, 0xA8, 0xFA, 0xAB, 0x5F}), "Logical Sector Size"},
    {KnownItem::kPhysicalSectorSize,
     MakeGuid(0xCDA348C7, 0x445D, 0x4471, {0x9C, 0xC9, 0xE9, 0x88, 0x52, 0x51, 0xC5, 0x56}), "Physical Sector Size"},
    {KnownItem::kParentLocator,
     MakeGuid(0xA8D35F2D, 0xB30B, 0x454D, {0xAB, 0xF7, 0xD3, 0xD8, 0x48, 0x34, 0xAB, 0x0C}), "Parent Locator"},
}};

}  // namespace

KnownItem IdentifyGuid(Bytes bytes, std::size_t offset) {
  const Bytes stored = Slice(bytes, offset, 16);
  if (stored.size() != 16) return KnownItem::kInvalid;
  for (const auto& known : kKnownGuids)
    if (std::equal(stored.begin(), stored.end(), known.guid.begin())) return known.item;
  return KnownItem::kInvalid;
}

const char* ItemName(KnownItem item) {
  for (const auto& known : kKnownGuids)
    if (known.item == item) return known.name;
  return "Invalid Item Id";
}

const char* DiskTypeText(bool leaveBlocksAllocated, bool hasParent) {
  if (leaveBlocksAllocated && !hasParent) return "Fixed Disk";
  if (!leaveBlocksAllocated && hasParent) return "Differencing Disk";
  if (!leaveBlocksAllocated && !hasParent) return "Dynamic Disk";
  return "Invalid Disk";
}

BlockGeometry ComputeBlockGeometry(std::uint64_t virtualDiskSize, std::uint32_t blockSize,
                                   std::uint32_t logicalSectorSize, bool hasParent) {
  BlockGeometry g;
  if (blockSize == 0 || logicalSectorSize == 0) return g;
  const double size = static_cast<double>(virtualDiskSize);
  const double block = static_cast<double>(blockSize);
  g.chunkRatio = 8388608.0 * static_cast<double>(logicalSectorSize) / block;
  if (g.chunkRatio < 1.0) return g;
  const double dataBlocks = std::ceil(size / block);
  const double bitmapBlocks = std::ceil(dataBlocks / g.chunkRatio);
  const double total = hasParent ? bitmapBlocks * std::trunc(g.chunkRatio + 1.0)
                                 : dataBlocks + std::floor((dataBlocks - 1.0) / g.chunkRatio);
  g.dataBlockCount = static_cast<std::uint64_t>(dataBlocks);
  g.totalBatEntries = total > 0 ? static_cast<std::uint64_t>(total) : 0;
  g.usable = true;
  return g;
}

}  // namespace dravik::vhdx
