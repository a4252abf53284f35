#pragma once
// Directory entries, as linear directory blocks and inline directories keep
// them: 0x0 inode, 0x4 record length, 0x6 name length (one byte when the
// volume records file types, then the type at 0x7; two bytes otherwise),
// 0x8 the name. Records run on through the block; a record longer than its
// name needs (rounded up to 4) has slack, where the names deleted after it
// stay: deleting an entry adds its length to the record before it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/Bytes.h"

namespace dravik::ext {

// Directory entry file types.
constexpr std::uint8_t kEntryDirectory = 2;
constexpr std::uint8_t kEntrySymlink = 7;

struct DirEntry {
  std::uint32_t inode = 0;
  std::string name;  // bytes as on disk
  std::uint8_t type = 0;  // 0 when the volume records no types
  bool deleted = false;
};

struct DirFormat {
  bool fileTypes = true;        // the filetype feature
  std::uint32_t inodesCount = 0;  // a deleted name's inode must lie within
};

// Whether the bytes at offset can be a deleted entry that ends by end: an
// inode within the volume, a name without NUL or '/' that fits, a record
// length that covers it, a known file type. Names "." and ".." are not.
bool PlausibleDeletedEntry(Bytes bytes, std::size_t offset, std::size_t end, const DirFormat& format);

// Appends the entries of one block (or an inline directory's area) to
// entries: live ones, then within each record's slack the deleted ones.
// "." and ".." are left out. slackAfterDots false: the slack after ".."
// holds an htree index, not deleted names. Returns false when a record
// length is not sound (not a multiple of 4, too short for its name, past
// the block): the records before it are kept.
bool ParseDirEntries(Bytes block, const DirFormat& format, bool slackAfterDots, std::vector<DirEntry>& entries);

// The inode a folder's first block names as its own: the block opens with
// "." (a record of 12 bytes) and ".."; none when it does not.
std::optional<std::uint32_t> DotEntryInode(Bytes block);

// Whether a block of an htree directory is an index node: one empty record
// over the whole block.
bool IsIndexNode(Bytes block);

}  // namespace dravik::ext
