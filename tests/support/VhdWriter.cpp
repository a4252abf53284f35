#include "VhdWriter.h"

#include <cstring>

#include "TestFiles.h"

namespace dravik::test {

namespace {

void PutBe(std::vector<std::uint8_t>& b, std::size_t off, std::uint64_t value, int width) {
  for (int i = 0; i < width; ++i) b[off + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * (width - 1 - i)));
}

void PutText(std::vector<std::uint8_t>& b, std::size_t off, const char* text) {
  std::memcpy(b.data() + off, text, std::strlen(text));
}

void PutChecksum(std::vector<std::uint8_t>& b, std::size_t off) {
  std::uint32_t sum = 0;
  for (const std::uint8_t byte : b) sum += byte;
  PutBe(b, off, ~sum, 4);
}

std::vector<std::uint8_t> Footer(std::uint32_t diskType, std::uint64_t dataOffset, std::uint64_t size,
                                 std::uint16_t cylinders, std::uint8_t heads, std::uint8_t sectorsPerTrack) {
  std::vector<std::uint8_t> f(512, 0);
  PutText(f, 0, "conectix");
  PutBe(f, 8, 2, 4);           // features
  PutBe(f, 12, 0x10000, 4);    // version
  PutBe(f, 16, dataOffset, 8);
  PutText(f, 28, "win ");      // makes qemu use the current size rather than the geometry
  PutBe(f, 32, 0x000A0000, 4);
  PutText(f, 36, "Wi2k");
  PutBe(f, 40, size, 8);
  PutBe(f, 48, size, 8);
  PutBe(f, 56, cylinders, 2);
  f[58] = heads;
  f[59] = sectorsPerTrack;
  PutBe(f, 60, diskType, 4);
  for (int i = 0; i < 16; ++i) f[68 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(0xA0 + i);
  PutChecksum(f, 64);
  return f;
}

}  // namespace

std::uint8_t VhdPatternByte(std::uint64_t virtualOffset) {
  return static_cast<std::uint8_t>((virtualOffset * 131 + virtualOffset / 509) ^ (virtualOffset >> 20));
}

void WriteDynamicVhd(const std::filesystem::path& path, const VhdLayout& layout) {
  const std::uint32_t entries = layout.maxTableEntries
                                    ? layout.maxTableEntries
                                    : static_cast<std::uint32_t>((layout.virtualSize + layout.blockSize - 1) / layout.blockSize);
  const std::uint16_t cylinders = layout.cylinders ? layout.cylinders
      : static_cast<std::uint16_t>(layout.virtualSize / 512 / (layout.heads * layout.sectorsPerTrack));
  const auto footer = Footer(layout.storedDiskType, layout.headerOffset, layout.virtualSize, cylinders, layout.heads,
                             layout.sectorsPerTrack);

  std::vector<std::uint8_t> header(1024, 0);
  PutText(header, 0, "cxsparse");
  PutBe(header, 8, ~std::uint64_t{0}, 8);
  PutBe(header, 16, layout.batOffset, 8);
  PutBe(header, 24, 0x10000, 4);
  PutBe(header, 28, entries, 4);
  PutBe(header, 32, layout.blockSize, 4);
  PutChecksum(header, 36);

  std::vector<std::uint8_t> bat(std::size_t{entries} * 4, 0xFF);
  const std::uint64_t sectorsPerBlock = layout.blockSize / 512;
  const std::uint64_t bitmapBytes = ((sectorsPerBlock + 7) / 8 + 511) / 512 * 512;
  std::uint64_t end = layout.batOffset + bat.size();
  for (const auto& [block, sector] : layout.blocks) {
    PutBe(bat, std::size_t{block} * 4, sector, 4);
    end = std::max(end, sector * 512 + bitmapBytes + layout.blockSize);
  }
  end = (end + 511) / 512 * 512;

  WriteFileBytes(path, footer);
  PatchFile(path, layout.headerOffset, header);
  PatchFile(path, layout.batOffset, bat);
  for (const auto& [block, sector] : layout.blocks) {
    std::vector<std::uint8_t> data(bitmapBytes + layout.blockSize, 0xFF);
    for (std::uint64_t i = 0; i < layout.blockSize; ++i)
      data[bitmapBytes + i] = VhdPatternByte(std::uint64_t{block} * layout.blockSize + i);
    PatchFile(path, sector * 512, data);
  }
  PatchFile(path, end, footer);
}

void WriteFixedVhd(const std::filesystem::path& path, const std::vector<std::uint8_t>& data, std::uint16_t cylinders,
                   std::uint8_t heads, std::uint8_t sectorsPerTrack) {
  auto bytes = data;
  const auto footer = Footer(2, ~std::uint64_t{0}, data.size(), cylinders, heads, sectorsPerTrack);
  bytes.insert(bytes.end(), footer.begin(), footer.end());
  WriteFileBytes(path, bytes);
}

}  // namespace dravik::test
