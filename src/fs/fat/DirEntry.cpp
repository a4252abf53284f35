#include "fs/fat/DirEntry.h"

namespace dravik::fat {

namespace {

std::u16string ShortName(Bytes entry) {
  std::u16string name;
  for (std::size_t i = 0; i < 8; ++i)
    if (entry[kNameOffset + i] != ' ') name += static_cast<char16_t>(entry[kNameOffset + i]);
  if (entry[kExtensionOffset] != ' ') {
    name += u'.';
    for (std::size_t i = 0; i < 3; ++i)
      if (entry[kExtensionOffset + i] != ' ') name += static_cast<char16_t>(entry[kExtensionOffset + i]);
  }
  return name;
}

// Characters of one long-name entry, in order: 5 at 1, 6 at 14, 2 at 28.
constexpr std::size_t kLongNameCharOffsets[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

std::optional<std::u16string> LongName(Bytes sector, std::size_t index) {
  std::u16string name;
  bool any = false;
  for (std::size_t i = index; i-- > 0;) {
    const Bytes entry = sector.subspan(i * kEntrySize, kEntrySize);
    if (entry[kAttributesOffset] != kLongNameAttributes) break;
    any = true;
    for (const std::size_t offset : kLongNameCharOffsets) {
      const char16_t c = le16(entry, offset);
      if (c == 0 || name.size() >= kMaxLongName) return name;
      name += c;
    }
  }
  if (!any) return std::nullopt;
  return name;
}

bool HasForbiddenCharacter(const std::u16string& name) {
  for (const char16_t c : name) {
    if ((c >= 1 && c <= 31) || c == u'"' || c == u'\\' || c == u'/' || c == u'?' || c == u'*' || c == u'<' ||
        c == u'>' || c == u'|')
      return true;
  }
  return false;
}

}  // namespace

ParsedEntry ParseEntry(Bytes sector, std::size_t index, bool fat32, bool parentDeleted) {
  const Bytes entry = Slice(sector, index * kEntrySize, kEntrySize);
  if (entry.size() < kEntrySize) return {EntryKind::kEndOfDirectory, {}};
  if (entry[0] == 0) return {EntryKind::kEndOfDirectory, {}};
  const std::uint8_t attributes = entry[kAttributesOffset];
  if (attributes == kLongNameAttributes) return {EntryKind::kSkipped, {}};

  DirEntry d;
  d.firstCluster = le16(entry, kClusterLowOffset);
  if (fat32) d.firstCluster += 65536u * le16(entry, kClusterHighOffset);
  if (d.firstCluster == 0) return {EntryKind::kSkipped, {}};

  d.deleted = parentDeleted;
  d.name = ShortName(entry);
  if (entry[0] == kDeletedMark) {
    d.name[0] = u'x';
    d.deleted = true;
  }
  if (auto longName = LongName(sector, index); longName && !longName->empty()) d.name = std::move(*longName);
  if (d.name.empty() || HasForbiddenCharacter(d.name)) return {EntryKind::kSkipped, {}};

  d.directory = (attributes & kDirectoryAttribute) != 0;
  d.writeDate = le16(entry, kWriteDateOffset);
  d.accessDate = le16(entry, kAccessDateOffset);
  d.size = le32(entry, kSizeOffset);
  return {EntryKind::kEntry, std::move(d)};
}

bool StartsWithDotEntries(Bytes sector) {
  return HasAscii(sector, 0, ". ") && HasAscii(sector, kEntrySize, "..");
}

}  // namespace dravik::fat
