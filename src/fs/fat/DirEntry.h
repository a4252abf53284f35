#pragma once
// FAT directory entries: 32 bytes each. A long name is kept in a run of
// entries of attribute 0x0F just before the short entry it belongs to; the
// run may begin in an earlier sector or cluster than its short entry.
//
//   short entry: 0 name (8) 8 extension (3) 11 attributes 12 case flags
//     18 access date 20 cluster high 22 write time 24 write date
//     26 cluster low 28 size
//   long-name entry: 0 ordinal (0x40 marks the last, highest one) 11 0x0F
//     13 checksum of the short name; characters at 1, 14 and 28

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fs/RecoveryStore.h"
#include "util/Bytes.h"

namespace dravik::fat {

constexpr std::size_t kEntrySize = 32;
constexpr std::size_t kNameOffset = 0;
constexpr std::size_t kExtensionOffset = 8;
constexpr std::size_t kAttributesOffset = 11;
constexpr std::size_t kCaseFlagsOffset = 12;
constexpr std::size_t kAccessDateOffset = 18;
constexpr std::size_t kClusterHighOffset = 20;
constexpr std::size_t kWriteTimeOffset = 22;
constexpr std::size_t kWriteDateOffset = 24;
constexpr std::size_t kClusterLowOffset = 26;
constexpr std::size_t kSizeOffset = 28;
constexpr std::size_t kOrdinalOffset = 0;
constexpr std::size_t kChecksumOffset = 13;

constexpr std::uint8_t kLongNameAttributes = 0x0F;
constexpr std::uint8_t kVolumeLabelAttribute = 0x08;
constexpr std::uint8_t kDirectoryAttribute = 0x10;
constexpr std::uint8_t kLowerCaseName = 0x08;
constexpr std::uint8_t kLowerCaseExtension = 0x10;
constexpr std::uint8_t kLastLongEntry = 0x40;
constexpr std::uint8_t kDeletedMark = 0xE5;
// A live name that begins with the byte 0xE5 holds 0x05 there instead.
constexpr std::uint8_t kE5Stand = 0x05;
constexpr std::size_t kMaxLongName = 255;

struct DirEntry {
  std::u16string name;
  std::uint32_t firstCluster = 0;
  std::uint16_t writeDate = 0;
  std::uint16_t writeTime = 0;
  std::uint16_t accessDate = 0;
  std::uint32_t size = 0;
  bool directory = false;
  bool deleted = false;
};

// The store's records of an entry listed in the folder parentId; a file is
// identified by key, its data found from its first cluster.
FolderRecord FolderOfEntry(DirEntry entry, std::uint32_t parentId);
FileRecord FileOfEntry(DirEntry entry, std::uint32_t parentId, std::uint64_t key);

// The checksum a long-name run carries of its short entry's 11 name bytes.
std::uint8_t ShortNameChecksum(Bytes entry);

// Reads a directory's entries in order, across as many pieces (sectors,
// clusters) as it comes in, and hands on each entry worth listing with its
// long name. Long-name entries, volume labels, folders without a first
// cluster (links to the root), files with data but no first cluster, and
// entries whose names hold characters a name cannot have are not handed on.
class DirectoryReader {
 public:
  DirectoryReader(bool fat32, bool parentDeleted) : fat32_(fat32), parentDeleted_(parentDeleted) {}

  // Parses the whole 32-byte entries of piece; false once the directory's
  // end mark was met (later pieces are not to be read).
  template <typename Found>
  bool Read(Bytes piece, Found&& found) {
    for (std::size_t at = 0; at + kEntrySize <= piece.size(); at += kEntrySize) {
      const Bytes entry = piece.subspan(at, kEntrySize);
      if (entry[0] == 0) return false;
      if (auto parsed = Take(entry)) found(std::move(*parsed));
    }
    return true;
  }

 private:
  std::optional<DirEntry> Take(Bytes entry);
  std::optional<std::u16string> LongName(Bytes shortEntry, bool deleted) const;

  bool fat32_;
  bool parentDeleted_;
  // The long-name entries met since the last short entry, in disk order.
  std::vector<std::array<std::uint8_t, kEntrySize>> run_;
};

// True when the sector begins with the "." and ".." entries of a folder.
bool StartsWithDotEntries(Bytes sector);

}  // namespace dravik::fat
