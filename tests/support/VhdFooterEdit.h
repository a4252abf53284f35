#pragma once
// Byte edits of the footer of a VHD that a tool made.

#include <cstdint>
#include <filesystem>

namespace dravik::test {

// Makes the image claim another disk size in its footer and in the copy at
// offset 0 of a dynamic disk, each with its checksum made to fit again.
void SetVhdCurrentSize(const std::filesystem::path& vhd, std::uint64_t size);

}  // namespace dravik::test
