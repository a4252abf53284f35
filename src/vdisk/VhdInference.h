#pragma once
// How a dynamic VHD whose dynamic header is lost is still read: its block
// table is found by its shape and the block size by the spacing of the
// blocks the table names.

#include <cstdint>
#include <optional>

#include "vdisk/ByteSource.h"
#include "vdisk/VhdFormat.h"

namespace dravik::vhd {

// The dynamic header's cookie looked for at every sector of the file's
// first MiB (a header the footer does not lead to); its offset, or none.
std::optional<std::uint64_t> FindDynamicHeader(const ByteSource& file);

// A block table found by its shape: from a sector near the start of the
// file, big-endian entries that are absent (FFFFFFFF) or name sectors after
// the table and inside the data, up to the first block they name. The
// first place tried is the usual one, right after the header; then every
// sector of the first MiB. The block size is taken from the spacing of the
// blocks (2 MiB, what every common writer uses, when the table names fewer
// than two). The entry count covers diskSize when it is known (a footer
// survived); otherwise the last block named or the partition table inside,
// whichever reaches farther. The result has no cookie: it is inferred.
std::optional<DynamicHeader> FindBlockTableByShape(const ByteSource& file, std::uint64_t dataEnd,
                                                   std::uint64_t diskSize);

}  // namespace dravik::vhd
