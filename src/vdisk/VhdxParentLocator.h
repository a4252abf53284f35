#pragma once
// The VHDX parent locator metadata item (little-endian, offsets from the
// item's start):
//
//   0   locator type GUID (16)   16 reserved (2)   18 key-value count (2)
//   20  entries of 12 bytes: key offset (4), value offset (4),
//       key length (2), value length (2); keys and values are UTF-16LE text
//
// Keys read: parent_linkage (the parent's data write GUID as "{...}"),
// relative_path, volume_path and absolute_win32_path.

#include <cstdint>

#include "util/Bytes.h"
#include "vdisk/DiskImage.h"

namespace dravik::vhdx {

constexpr std::size_t kLocatorCountOffset = 18;
constexpr std::size_t kLocatorEntriesOffset = 20;
constexpr std::size_t kLocatorEntrySize = 12;
// Metadata items are at most 1 MiB long.
constexpr std::uint32_t kMaxMetadataItemLength = 1024 * 1024;

// The GUID written as text ("{83ac9a8f-...}", braces optional) in stored
// byte order; none when it is no GUID.
std::optional<ImageId> ParseGuidText(std::string_view text);

// The parent named by a parent locator item; warnings (when given) gathers
// what was passed over.
ParentLink ParseParentLocator(Bytes item, std::string* warnings = nullptr);

}  // namespace dravik::vhdx
