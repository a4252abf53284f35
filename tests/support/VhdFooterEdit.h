#pragma once
// Byte edits of the footer of a VHD that a tool made.

#include <cstdint>
#include <filesystem>

namespace dravik::test {

// Makes the image claim another disk size: the Current Size (offset 48,
// big-endian) of the footer at the end of the file and of the copy at offset
// 0 that dynamic disks keep, each with its checksum (offset 64: the ones'
// complement of the sum of the footer's other bytes) made to fit again.
void SetVhdCurrentSize(const std::filesystem::path& vhd, std::uint64_t size);

}  // namespace dravik::test
