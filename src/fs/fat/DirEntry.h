#pragma once
// FAT directory entries: 32 bytes each, 16 to a sector. Long names are kept
// in entries of attribute 0x0F just before the short entry they belong to.

#include <cstdint>
#include <optional>
#include <string>

#include "util/Bytes.h"

namespace dravik::fat {

constexpr std::size_t kEntrySize = 32;
constexpr std::size_t kEntriesPerSector = 16;
constexpr std::size_t kNameOffset = 0;
constexpr std::size_t kExtensionOffset = 8;
constexpr std::size_t kAttributesOffset = 11;
constexpr std::size_t kAccessDateOffset = 18;
constexpr std::size_t kClusterHighOffset = 20;
constexpr std::size_t kWriteDateOffset = 24;
constexpr std::size_t kClusterLowOffset = 26;
constexpr std::size_t kSizeOffset = 28;

constexpr std::uint8_t kLongNameAttributes = 0x0F;
constexpr std::uint8_t kDirectoryAttribute = 0x10;
constexpr std::uint8_t kDeletedMark = 0xE5;
constexpr std::size_t kMaxLongName = 255;

struct DirEntry {
  std::u16string name;
  std::uint32_t firstCluster = 0;
  std::uint16_t writeDate = 0;
  std::uint16_t accessDate = 0;
  std::uint32_t size = 0;
  bool directory = false;
  bool deleted = false;
};

enum class EntryKind { kEndOfDirectory, kSkipped, kEntry };

struct ParsedEntry {
  EntryKind kind;
  DirEntry entry;
};

// Reads entry `index` of a 512-byte directory sector. Long-name entries,
// entries without a first cluster and entries whose names hold characters
// a name cannot have are skipped.
ParsedEntry ParseEntry(Bytes sector, std::size_t index, bool fat32, bool parentDeleted);

// True when the sector begins with the "." and ".." entries of a folder.
bool StartsWithDotEntries(Bytes sector);

}  // namespace dravik::fat
