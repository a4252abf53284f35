#include "fs/ext/DirEntries.h"

namespace dravik::ext {

namespace {

constexpr std::size_t kInodeOffset = 0x0;
constexpr std::size_t kRecordLengthOffset = 0x4;
constexpr std::size_t kNameLengthOffset = 0x6;
constexpr std::size_t kTypeOffset = 0x7;
constexpr std::size_t kNameOffset = 0x8;
constexpr std::uint8_t kMaxFileType = 7;

std::size_t NameLength(Bytes b, std::size_t at, const DirFormat& format) {
  return format.fileTypes ? u8(b, at + kNameLengthOffset) : le16(b, at + kNameLengthOffset);
}

std::size_t Needed(std::size_t nameLength) { return (kNameOffset + nameLength + 3) / 4 * 4; }

std::string NameAt(Bytes b, std::size_t at, std::size_t length) {
  const Bytes name = Slice(b, at + kNameOffset, length);
  return {name.begin(), name.end()};
}

bool IsDots(const std::string& name) { return name == "." || name == ".."; }

// The deleted entries in [from, end), at every 4-byte step.
void ScanSlack(Bytes b, std::size_t from, std::size_t end, const DirFormat& format, std::vector<DirEntry>& entries) {
  std::size_t at = (from + 3) / 4 * 4;
  while (at + kNameOffset < end) {
    if (!PlausibleDeletedEntry(b, at, end, format)) {
      at += 4;
      continue;
    }
    const std::size_t length = NameLength(b, at, format);
    entries.push_back({le32(b, at + kInodeOffset), NameAt(b, at, length),
                       format.fileTypes ? u8(b, at + kTypeOffset) : std::uint8_t{0}, true});
    at += Needed(length);
  }
}

}  // namespace

bool PlausibleDeletedEntry(Bytes b, std::size_t at, std::size_t end, const DirFormat& format) {
  if (end > b.size() || at + kNameOffset > end) return false;
  const std::uint32_t inode = le32(b, at + kInodeOffset);
  const std::size_t record = le16(b, at + kRecordLengthOffset);
  const std::size_t length = NameLength(b, at, format);
  if (inode == 0 || inode > format.inodesCount || length == 0) return false;
  if (record % 4 != 0 || record < kNameOffset + length || record > end - at) return false;
  if (format.fileTypes && u8(b, at + kTypeOffset) > kMaxFileType) return false;
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint8_t c = u8(b, at + kNameOffset + i);
    if (c == 0 || c == '/') return false;
  }
  return !IsDots(NameAt(b, at, length));
}

bool ParseDirEntries(Bytes b, const DirFormat& format, bool slackAfterDots, std::vector<DirEntry>& entries) {
  std::size_t at = 0;
  while (at + kNameOffset <= b.size()) {
    const std::size_t record = le16(b, at + kRecordLengthOffset);
    const std::size_t length = NameLength(b, at, format);
    if (record < kNameOffset || record % 4 != 0 || record > b.size() - at || kNameOffset + length > record)
      return false;
    const std::uint32_t inode = le32(b, at + kInodeOffset);
    const std::string name = NameAt(b, at, length);
    if (inode != 0 && length != 0 && !IsDots(name))
      entries.push_back({inode, name, format.fileTypes ? u8(b, at + kTypeOffset) : std::uint8_t{0}, false});
    if (slackAfterDots || name != "..") ScanSlack(b, at + Needed(length), at + record, format, entries);
    at += record;
  }
  return true;
}

std::optional<std::uint32_t> DotEntryInode(Bytes block) {
  constexpr std::size_t kDotDot = 12;
  constexpr std::uint16_t kDotRecordLength = 12;
  if (block.size() < kDotDot + kNameOffset + 2) return std::nullopt;
  const bool dot = le16(block, kRecordLengthOffset) == kDotRecordLength && u8(block, kNameLengthOffset) == 1 &&
                   u8(block, kNameOffset) == '.';
  const bool dotDot = u8(block, kDotDot + kNameLengthOffset) == 2 && u8(block, kDotDot + kNameOffset) == '.' &&
                      u8(block, kDotDot + kNameOffset + 1) == '.';
  const std::uint32_t inode = le32(block, kInodeOffset);
  if (!dot || !dotDot || inode == 0) return std::nullopt;
  return inode;
}

bool IsIndexNode(Bytes block) {
  return le32(block, kInodeOffset) == 0 && le16(block, kRecordLengthOffset) == block.size() &&
         u8(block, kNameLengthOffset) == 0;
}

}  // namespace dravik::ext
