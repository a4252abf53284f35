#include "fs/ext/InlineData.h"

#include <algorithm>
#include <string_view>

namespace dravik::ext {

namespace {

constexpr std::size_t kBaseInodeSize = 128;
constexpr std::uint32_t kXattrMagic = 0xEA020000;
constexpr std::size_t kEntryHeaderSize = 16;
constexpr std::size_t kNameLengthOffset = 0x0;
constexpr std::size_t kNameIndexOffset = 0x1;
constexpr std::size_t kValueOffsetOffset = 0x2;
constexpr std::size_t kValueInodeOffset = 0x4;
constexpr std::size_t kValueSizeOffset = 0x8;
constexpr std::uint8_t kSystemPrefix = 7;
constexpr std::string_view kDataName = "data";

}  // namespace

std::vector<std::uint8_t> InlineAttribute(const Inode& inode) {
  const Bytes raw = inode.raw;
  const std::size_t areaStart = kBaseInodeSize + inode.extraSize;
  if (areaStart + 4 > raw.size() || le32(raw, areaStart) != kXattrMagic) return {};
  const Bytes area = raw.subspan(areaStart + 4);
  std::size_t at = 0;
  // Each entry takes at least 16 bytes, so the walk ends within the area.
  while (at + kEntryHeaderSize <= area.size() && le32(area, at) != 0) {
    const std::size_t nameLength = u8(area, at + kNameLengthOffset);
    const Bytes name = Slice(area, at + kEntryHeaderSize, nameLength);
    const bool isData = u8(area, at + kNameIndexOffset) == kSystemPrefix &&
                        std::string_view(reinterpret_cast<const char*>(name.data()), name.size()) == kDataName;
    if (isData && le32(area, at + kValueInodeOffset) == 0) {
      const std::size_t offset = le16(area, at + kValueOffsetOffset);
      const std::size_t size = le32(area, at + kValueSizeOffset);
      if (offset > area.size() || size > area.size() - offset) return {};
      return {area.begin() + static_cast<std::ptrdiff_t>(offset),
              area.begin() + static_cast<std::ptrdiff_t>(offset + size)};
    }
    at += (kEntryHeaderSize + nameLength + 3) / 4 * 4;
  }
  return {};
}

std::optional<std::vector<std::uint8_t>> InlineBytes(const Inode& inode, std::uint64_t size) {
  std::vector<std::uint8_t> bytes(inode.blocks.begin(), inode.blocks.end());
  const std::vector<std::uint8_t> rest = InlineAttribute(inode);
  bytes.insert(bytes.end(), rest.begin(), rest.end());
  if (bytes.size() < size) return std::nullopt;
  bytes.resize(static_cast<std::size_t>(size));
  return bytes;
}

}  // namespace dravik::ext
