#pragma once
// Writes VHD images of layouts that common tools do not make: other block
// sizes, tables at other offsets, blocks far into the file, other disk types.
// Checksums are right, so qemu-img reads the result as an oracle.

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
  std::uint32_t maxTableEntries = 0;  // 0: just enough for the virtual size
  std::uint16_t cylinders = 0;        // 0: derived from the size
  std::uint8_t heads = 16;
  std::uint8_t sectorsPerTrack = 63;
  // Present blocks: virtual block index -> file sector where its bitmap starts.
  std::map<std::uint32_t, std::uint64_t> blocks;
};

// The byte the writer puts at a virtual offset of a present block.
std::uint8_t VhdPatternByte(std::uint64_t virtualOffset);

void WriteDynamicVhd(const std::filesystem::path& path, const VhdLayout& layout);

// A fixed image: the given data followed by a footer.
void WriteFixedVhd(const std::filesystem::path& path, const std::vector<std::uint8_t>& data, std::uint16_t cylinders,
                   std::uint8_t heads, std::uint8_t sectorsPerTrack);

}  // namespace dravik::test
