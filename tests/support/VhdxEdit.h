#pragma once
// Byte edits of a VHDX that a tool made, found through its own region and
// metadata tables (read here from the bytes, not through the reader under
// test).

#include <cstdint>
#include <filesystem>

namespace dravik::test {

// File offset of the Virtual Disk Size metadata value, as region table 1
// and the metadata table place it.
std::uint64_t VhdxVirtualSizeOffset(const std::filesystem::path& vhdx);

// File offset of the metadata region, as region table 1 names it.
std::uint64_t VhdxMetadataOffset(const std::filesystem::path& vhdx);

// Makes the image claim another block size (in the file parameters item).
void SetVhdxBlockSize(const std::filesystem::path& vhdx, std::uint32_t size);

// Makes the image claim another virtual disk size (metadata carries no
// checksum, so nothing else changes).
void SetVhdxVirtualSize(const std::filesystem::path& vhdx, std::uint64_t size);

}  // namespace dravik::test
