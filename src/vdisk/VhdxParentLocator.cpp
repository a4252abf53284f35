#include "vdisk/VhdxParentLocator.h"

#include <cctype>

#include "util/Utf.h"
#include "vdisk/ParentPath.h"

namespace dravik::vhdx {

namespace {

std::string TextAt(Bytes item, std::uint32_t offset, std::uint16_t length) {
  const Bytes bytes = Slice(item, offset, length);
  std::u16string text;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) text += static_cast<char16_t>(le16(bytes, i));
  return ToUtf8(text);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower >= 'a' && lower <= 'f') return lower - 'a' + 10;
  return -1;
}

}  // namespace

std::optional<ImageId> ParseGuidText(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return std::nullopt;
  // Printed order of the stored bytes: the first three fields are little-endian.
  static constexpr int kStoredIndex[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  ImageId id;
  id.guidByteOrder = true;
  std::size_t printed = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (text[i] != '-') return std::nullopt;
      ++i;
      continue;
    }
    const int high = HexValue(text[i]);
    const int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    id.bytes[static_cast<std::size_t>(kStoredIndex[printed++])] = static_cast<std::uint8_t>(high * 16 + low);
    i += 2;
  }
  return id;
}

ParentLink ParseParentLocator(Bytes item, std::string* warnings) {
  ParentLink link;
  std::string relative, volume, absolute;
  const std::uint16_t count = le16(item, kLocatorCountOffset);
  for (std::uint16_t i = 0; i < count; ++i) {
    const std::size_t entry = kLocatorEntriesOffset + kLocatorEntrySize * i;
    if (entry + kLocatorEntrySize > item.size()) {
      if (warnings) *warnings += "the parent locator's entries run past the item; ";
      break;
    }
    const std::string key = TextAt(item, le32(item, entry), le16(item, entry + 8));
    const std::string value = TextAt(item, le32(item, entry + 4), le16(item, entry + 10));
    if (key == "parent_linkage") {
      link.id = ParseGuidText(value);
      if (!link.id && warnings) *warnings += "parent_linkage \"" + value + "\" is no GUID; ";
    } else if (key == "relative_path") {
      relative = value;
    } else if (key == "volume_path") {
      volume = value;
    } else if (key == "absolute_win32_path") {
      absolute = value;
    }
  }
  for (const std::string* path : {&relative, &volume, &absolute})
    if (!path->empty()) link.locations.push_back(*path);
  for (const std::string& path : link.locations) {
    if (!ParentFileName(path).empty()) {
      link.name = ParentFileName(path);
      break;
    }
  }
  return link;
}

}  // namespace dravik::vhdx
