#pragma once
// The parent fields of a differencing VHD's dynamic header:
//
//   40   parent unique id (16)          the parent footer's unique id
//   64   parent unicode name (512)      UTF-16 big-endian, NUL padded
//   576  8 parent locator entries of 24 bytes:
//          0 platform code (4)   4 platform data space (4)
//          8 platform data length (4)   16 platform data offset (8, in the file)
//
// Platform data by code: "W2ru" relative and "W2ku" absolute Windows paths in
// UTF-16 little-endian; "Wi2r" relative and "Wi2k" absolute paths in 8-bit
// text; "MacX" a file URL in UTF-8; "Mac " a Mac OS alias, which names no
// path that can be followed here.

#include <cstdint>

#include "util/Bytes.h"
#include "vdisk/ByteSource.h"
#include "vdisk/DiskImage.h"

namespace dravik::vhd {

constexpr std::size_t kHeaderParentIdOffset = 40;
constexpr std::size_t kHeaderParentNameOffset = 64;
constexpr std::size_t kHeaderParentNameSize = 512;
constexpr std::size_t kHeaderLocatorsOffset = 576;
constexpr std::size_t kLocatorCount = 8;
constexpr std::size_t kLocatorSize = 24;
constexpr std::size_t kLocatorCodeOffset = 0;
constexpr std::size_t kLocatorDataLengthOffset = 8;
constexpr std::size_t kLocatorDataOffsetOffset = 16;
// No path needs more: 32,767 UTF-16 characters.
constexpr std::uint32_t kMaxLocatorDataLength = 65536;
constexpr std::size_t kFooterUniqueIdOffset = 68;

// The footer's unique id, which a child's header names its parent by.
ImageId FooterUniqueId(Bytes footer);

// The parent that a differencing image's dynamic header names; locator data
// is read from file. Entries whose data lies outside the file or is
// implausibly long are passed over.
ParentLink ReadParentLink(const ByteSource& file, Bytes dynamicHeader);

}  // namespace dravik::vhd
