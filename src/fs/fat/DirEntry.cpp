#include "fs/fat/DirEntry.h"

#include <algorithm>

namespace dravik::fat {

FolderRecord FolderOfEntry(DirEntry entry, std::uint32_t parentId) {
  return {.name = std::move(entry.name),
          .id = entry.firstCluster,
          .parentId = parentId,
          .times = ItemTimes::Dos(entry.writeDate, entry.writeTime, entry.accessDate),
          .deleted = entry.deleted};
}

FileRecord FileOfEntry(DirEntry entry, std::uint32_t parentId, std::uint64_t key) {
  return {.name = std::move(entry.name),
          .parentId = parentId,
          .times = ItemTimes::Dos(entry.writeDate, entry.writeTime, entry.accessDate),
          .size = entry.size,
          .deleted = entry.deleted,
          .key = key,
          .locator = entry.firstCluster};
}

namespace {

// Characters of one long-name entry, in order: 5 at 1, 6 at 14, 2 at 28.
constexpr std::size_t kLongNameCharOffsets[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
constexpr std::size_t kMaxRunEntries = (kMaxLongName + 12) / 13;

char16_t Lowered(std::uint8_t c, bool lower) {
  return static_cast<char16_t>(lower && c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
}

// The 8.3 name, lower-cased where the case flags ask for it.
std::u16string ShortName(Bytes entry) {
  const std::uint8_t flags = entry[kCaseFlagsOffset];
  std::u16string name;
  for (std::size_t i = 0; i < 8; ++i) {
    // A first byte 0x05 stands for 0xE5, which would read as the deletion mark.
    const std::uint8_t c = i == 0 && entry[kNameOffset] == kE5Stand ? kDeletedMark : entry[kNameOffset + i];
    if (c != ' ') name += Lowered(c, flags & kLowerCaseName);
  }
  if (entry[kExtensionOffset] != ' ') {
    name += u'.';
    for (std::size_t i = 0; i < 3; ++i)
      if (entry[kExtensionOffset + i] != ' ')
        name += Lowered(entry[kExtensionOffset + i], flags & kLowerCaseExtension);
  }
  return name;
}

bool IsForbidden(char16_t c) {
  return (c >= 1 && c <= 31) || c == u'"' || c == u'\\' || c == u'/' || c == u'?' || c == u'*' || c == u'<' ||
         c == u'>' || c == u'|';
}

bool HasForbiddenCharacter(const std::u16string& name) { return std::any_of(name.begin(), name.end(), IsForbidden); }

// A long name that a clean short entry vouches for (its checksum ties them)
// is a real file's even when it holds characters no name may hold (a damaged
// or hostile volume): each such character becomes "_", so the name can
// neither climb out of a folder nor break a path.
std::u16string SafeLongName(std::u16string name) {
  std::replace_if(name.begin(), name.end(), IsForbidden, u'_');
  return name;
}

std::uint8_t ChecksumWithFirst(Bytes entry, std::uint8_t first) {
  std::uint8_t sum = first;
  for (std::size_t i = 1; i < 11; ++i) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + entry[i]);
  return sum;
}

// Deleting a short entry overwrites its first name byte, which the checksum
// covers. The one first byte that gives the run's checksum must then be the
// one a system derives from the long name: its first character upper-cased,
// or "_" (or a code-page byte) for one an 8.3 name cannot hold.
bool DeletedRunMatches(Bytes entry, std::uint8_t checksum, const std::u16string& longName) {
  std::uint8_t first = 0;
  while (ChecksumWithFirst(entry, first) != checksum) ++first;  // exactly one byte matches
  const auto lead = std::find_if(longName.begin(), longName.end(), [](char16_t c) { return c != u'.' && c != u' '; });
  if (lead == longName.end()) return false;
  const char16_t c = *lead;
  if (c >= u'a' && c <= u'z') return first == c - u'a' + u'A';
  if (c < 0x80) return first == c || first == '_';
  return first == '_' || first >= 0x80;
}

void AppendChars(Bytes entry, std::u16string& name, bool& ended) {
  for (const std::size_t offset : kLongNameCharOffsets) {
    const char16_t c = le16(entry, offset);
    if (c == 0 || name.size() >= kMaxLongName) {
      ended = true;
      return;
    }
    name += c;
  }
}

}  // namespace

std::uint8_t ShortNameChecksum(Bytes entry) { return ChecksumWithFirst(entry, entry[0]); }

std::optional<std::u16string> DirectoryReader::LongName(Bytes shortEntry, bool deleted) const {
  if (run_.empty()) return std::nullopt;
  const std::uint8_t checksum = deleted ? run_.back()[kChecksumOffset] : ShortNameChecksum(shortEntry);
  // The run is read back from the short entry: ordinal 1 holds the first characters.
  std::u16string name;
  bool ended = false;
  bool complete = false;
  std::uint8_t ordinal = 1;
  for (auto it = run_.rbegin(); it != run_.rend() && !ended; ++it, ++ordinal) {
    const Bytes piece(it->data(), it->size());
    if (piece[kChecksumOffset] != checksum) break;
    if (!deleted && (piece[kOrdinalOffset] & ~kLastLongEntry) != ordinal) return std::nullopt;
    AppendChars(piece, name, ended);
    if (!deleted && (piece[kOrdinalOffset] & kLastLongEntry)) {
      complete = true;
      break;
    }
  }
  if (name.empty()) return std::nullopt;
  if (!deleted) return complete ? std::optional(name) : std::nullopt;
  return DeletedRunMatches(shortEntry, checksum, name) ? std::optional(name) : std::nullopt;
}

std::optional<DirEntry> DirectoryReader::Take(Bytes entry) {
  const std::uint8_t attributes = entry[kAttributesOffset];
  if (attributes == kLongNameAttributes) {
    if (run_.size() == kMaxRunEntries) run_.erase(run_.begin());
    std::copy(entry.begin(), entry.end(), run_.emplace_back().begin());
    return std::nullopt;
  }
  const bool deletedEntry = entry[0] == kDeletedMark;
  std::optional<std::u16string> longName = LongName(entry, deletedEntry);
  run_.clear();

  DirEntry d;
  d.directory = (attributes & kDirectoryAttribute) != 0;
  d.size = le32(entry, kSizeOffset);
  d.firstCluster = le16(entry, kClusterLowOffset);
  if (fat32_) d.firstCluster += 65536u * le16(entry, kClusterHighOffset);
  if (attributes & kVolumeLabelAttribute) return std::nullopt;
  const bool emptyFile = !d.directory && d.size == 0;
  if (d.firstCluster == 0 && !emptyFile) return std::nullopt;

  d.deleted = parentDeleted_ || deletedEntry;
  // The character rule tells junk from entries: it holds for the short name
  // whatever long name goes with it.
  std::u16string shortName = ShortName(entry);
  if (deletedEntry && !shortName.empty()) shortName[0] = u'x';
  if (shortName.empty() || HasForbiddenCharacter(shortName)) return std::nullopt;
  d.name = longName && !longName->empty() ? SafeLongName(std::move(*longName)) : std::move(shortName);
  d.writeDate = le16(entry, kWriteDateOffset);
  d.writeTime = le16(entry, kWriteTimeOffset);
  d.accessDate = le16(entry, kAccessDateOffset);
  return d;
}

bool StartsWithDotEntries(Bytes sector) {
  return HasAscii(sector, 0, ". ") && HasAscii(sector, kEntrySize, "..");
}

}  // namespace dravik::fat
