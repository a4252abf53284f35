#pragma once
// VHDs written from nothing in layouts common tools do not make, and byte edits of images a tool made (sizes claimed,
// checksums made to fit again). qemu-img reads the results, so it stays the oracle.

#include <cstdint>
#include <filesystem>
#include <map>
#include <vector>

namespace dravik::test {

struct VhdLayout {
  std::uint32_t storedDiskType = 3;
  std::uint32_t blockSize = 2 * 1024 * 1024;
  std::uint64_t virtualSize = 8 * 1024 * 1024;
  std::uint64_t headerOffset = 512;
  std::uint64_t batOffset = 1536;
  // Present blocks: virtual block index -> file sector where its bitmap starts; each filled with a pattern.
  std::map<std::uint32_t, std::uint64_t> blocks;
};
void WriteDynamicVhd(const std::filesystem::path& path, const VhdLayout& layout);

// Makes the VHD claim another disk size in its footer (and the copy at offset 0 of a dynamic disk).
void SetVhdCurrentSize(const std::filesystem::path& vhd, std::uint64_t size);
// Makes the VHDX claim another virtual disk size (metadata has no checksum).
void SetVhdxVirtualSize(const std::filesystem::path& vhdx, std::uint64_t size);

}  // namespace dravik::test
