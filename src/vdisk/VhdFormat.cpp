#include "vdisk/VhdFormat.h"

namespace dravik::vhd {

std::uint32_t DiskTypeCodeFor(std::uint32_t storedDiskType) {
  switch (storedDiskType) {
    case 0: return kFlatNone;
    case 2: return kFixed;
    case 3: return kDynamic;
    case 4: return kDifferencing;
    case 101: return kFlat101;
    default: return kFlatOther;
  }
}

bool ReadsThroughBat(std::uint32_t diskTypeCode) { return diskTypeCode == kDynamic || diskTypeCode == kDifferencing; }

const char* DiskTypeName(std::uint32_t diskTypeCode) {
  switch (diskTypeCode) {
    case kFixed: return "Fixed Disk";
    case kDynamic: return "Dynamic Disk";
    case kDifferencing: return "Differencing Disk";
    default: return "Flat Disk";
  }
}

Footer ParseFooter(Bytes footer) {
  Footer f;
  f.dataOffset = be64(footer, kFooterDataOffsetOffset);
  f.size = be64(footer, kFooterCurrentSizeOffset);
  if (f.size == 0) f.size = be64(footer, kFooterOriginalSizeOffset);
  f.cylinders = be16(footer, kFooterCylindersOffset);
  f.heads = u8(footer, kFooterHeadsOffset);
  f.sectorsPerTrack = u8(footer, kFooterSectorsPerTrackOffset);
  f.diskTypeCode = DiskTypeCodeFor(be32(footer, kFooterDiskTypeOffset));
  return f;
}

DynamicHeader ParseDynamicHeader(Bytes header) {
  DynamicHeader h;
  h.hasCookie = HasAscii(header, kHeaderCookieOffset, kDynamicHeaderCookie);
  h.tableOffset = be64(header, kHeaderTableOffsetOffset);
  h.maxTableEntries = be32(header, kHeaderMaxTableEntriesOffset);
  h.blockSize = be32(header, kHeaderBlockSizeOffset);
  return h;
}

std::uint32_t BitmapSectors(std::uint32_t blockSize) {
  const std::uint64_t sectorsPerBlock = (std::uint64_t{blockSize} + kSectorSize - 1) / kSectorSize;
  const std::uint64_t bitmapBytes = (sectorsPerBlock + 7) / 8;
  return static_cast<std::uint32_t>((bitmapBytes + kSectorSize - 1) / kSectorSize);
}

}  // namespace dravik::vhd
