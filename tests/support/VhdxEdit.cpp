#include "VhdxEdit.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <vector>

#include "TestFiles.h"

namespace dravik::test {

namespace {

constexpr std::uint64_t kRegionTable = 192 * 1024;
// GUIDs as stored (first three fields little-endian).
constexpr std::array<std::uint8_t, 16> kMetadataRegion = {0x06, 0xA2, 0x7C, 0x8B, 0x90, 0x47, 0x9A, 0x4B,
                                                          0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E};
constexpr std::array<std::uint8_t, 16> kFileParameters = {0x37, 0x67, 0xA1, 0xCA, 0x36, 0xFA, 0x43, 0x4D,
                                                          0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B};
constexpr std::array<std::uint8_t, 16> kVirtualDiskSize = {0x24, 0x42, 0xA5, 0x2F, 0x1B, 0xCD, 0x76, 0x48,
                                                           0xB2, 0x11, 0x5D, 0xBE, 0xD8, 0x3B, 0xF4, 0xB8};

std::uint64_t Le(const std::vector<std::uint8_t>& bytes, std::uint64_t at, int width) {
  std::uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes.at(at + static_cast<std::uint64_t>(i));
  return value;
}

bool GuidAt(const std::vector<std::uint8_t>& bytes, std::uint64_t at, const std::array<std::uint8_t, 16>& guid) {
  return at + 16 <= bytes.size() && std::equal(guid.begin(), guid.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

std::uint64_t RegionOffset(const std::filesystem::path& vhdx, const std::array<std::uint8_t, 16>& guid) {
  const auto file = ReadFileBytes(vhdx);
  for (std::uint64_t i = 0; i < Le(file, kRegionTable + 8, 4); ++i) {
    const std::uint64_t entry = kRegionTable + 16 + 32 * i;
    if (GuidAt(file, entry, guid)) return Le(file, entry + 16, 8);
  }
  throw std::runtime_error(vhdx.string() + " has no such region");
}

}  // namespace

std::uint64_t VhdxMetadataOffset(const std::filesystem::path& vhdx) { return RegionOffset(vhdx, kMetadataRegion); }

std::uint64_t MetadataItemOffset(const std::filesystem::path& vhdx, const std::array<std::uint8_t, 16>& guid) {
  const auto file = ReadFileBytes(vhdx);
  const std::uint64_t metadata = VhdxMetadataOffset(vhdx);
  for (std::uint64_t k = 0; k < Le(file, metadata + 10, 2); ++k) {
    const std::uint64_t item = metadata + 32 + 32 * k;
    if (GuidAt(file, item, guid)) return metadata + Le(file, item + 16, 4);
  }
  throw std::runtime_error(vhdx.string() + " has no such metadata item");
}

std::uint64_t VhdxVirtualSizeOffset(const std::filesystem::path& vhdx) { return MetadataItemOffset(vhdx, kVirtualDiskSize); }

void SetVhdxBlockSize(const std::filesystem::path& vhdx, std::uint32_t size) {
  std::vector<std::uint8_t> value;
  for (int i = 0; i < 4; ++i) value.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
  PatchFile(vhdx, MetadataItemOffset(vhdx, kFileParameters), value);
}

void SetVhdxVirtualSize(const std::filesystem::path& vhdx, std::uint64_t size) {
  std::vector<std::uint8_t> value;
  for (int i = 0; i < 8; ++i) value.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
  PatchFile(vhdx, VhdxVirtualSizeOffset(vhdx), value);
}

}  // namespace dravik::test
