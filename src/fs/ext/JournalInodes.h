#pragma once
// Deleted files brought back through the journal. Deleting a file clears
// its map in the inode (ext4 empties the extent tree, ext2/ext3 zero the
// block pointers) and often its size, but the journal may still hold an
// older copy of its inode table block in which the inode was whole. Such a
// copy is used when its map reads and none of the blocks it names is in
// use now (the block bitmaps say so), so that the blocks still hold the
// file and not another one written since: its data blocks, and the blocks
// of the map itself.
//
// Deleting also empties the map below the inode: ext2/ext3 block maps lose
// the pointers of their indirect blocks, ext4 extent tree nodes are freed
// and their entries may be cleared. Those blocks are read as the journal
// last logged them no later than the inode's copy; the volume's block only
// where the journal has no such copy and it still holds a sound node or a
// block number.
// With metadata_csum, a copy whose inode or extent tree blocks fail their
// checksums is not used either.

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "fs/ext/Inode.h"
#include "fs/ext/Journal.h"

namespace dravik::ext {

class ExtVolume;

// A file's locator: its inode number, and above it, for a file read through
// the journal, the journal block of the copy its inode is read from.
constexpr std::uint64_t FileLocator(std::uint32_t inode, std::uint32_t journalBlock = 0) {
  return inode | std::uint64_t{journalBlock} << 32;
}
constexpr std::uint32_t InodeOfLocator(std::uint64_t locator) { return static_cast<std::uint32_t>(locator); }
constexpr std::uint32_t JournalBlockOfLocator(std::uint64_t locator) { return static_cast<std::uint32_t>(locator >> 32); }

// The inode of that number in the journal's copy at journalBlock; none when
// no committed copy lies there or it is not a copy of that inode's table
// block.
std::optional<Inode> InodeFromJournal(const ExtVolume& volume, const Journal& journal, std::uint32_t number,
                                      std::uint32_t journalBlock);

// The map of an inode read from the journal's copy at journalBlock, its
// indirect blocks or extent nodes read as described above. A block that
// reads no node or no block number leaves the map damaged.
FileMap MapFromJournal(const ExtVolume& volume, const Journal& journal, const Inode& inode,
                       std::uint32_t journalBlock);

// Whether a deleted file's current inode lost what it needs to be read (no
// inode, or one freed whose map is empty) so that an older copy is worth
// looking for.
bool NeedsOlderInode(const ExtVolume& volume, const std::optional<Inode>& now);

class JournalInodes {
 public:
  JournalInodes(const ExtVolume& volume, const Journal& journal) : volume_(volume), journal_(journal) {}

  struct Found {
    Inode inode;
    std::uint32_t journalBlock = 0;
  };
  // The newest copy of the inode that was a live regular file, of the
  // current inode's size where that kept one, whose map reads and maps only
  // blocks free now; none when no copy is.
  std::optional<Found> Find(std::uint32_t number, const std::optional<Inode>& now);

 private:
  // Whether the block bitmap marks the block in use; true where it does not
  // read, so that an unknown block is never taken for free.
  bool InUse(std::uint64_t block);
  bool AllFree(const FileMap& map);

  const ExtVolume& volume_;
  const Journal& journal_;
  std::map<std::uint64_t, std::optional<std::vector<std::uint8_t>>> bitmaps_;  // by group
};

}  // namespace dravik::ext
