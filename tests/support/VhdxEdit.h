#pragma once
// Byte edits of a VHDX that a tool made, found through its own region and
// metadata tables read from the bytes.

#include <cstdint>
#include <filesystem>

namespace dravik::test {

// File offsets of the metadata region and of the Virtual Disk Size value.
std::uint64_t VhdxMetadataOffset(const std::filesystem::path& vhdx);
std::uint64_t VhdxVirtualSizeOffset(const std::filesystem::path& vhdx);
// Makes the image claim another virtual disk size (metadata has no checksum).
void SetVhdxVirtualSize(const std::filesystem::path& vhdx, std::uint64_t size);

}  // namespace dravik::test
