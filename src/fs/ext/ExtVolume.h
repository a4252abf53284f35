#pragma once
// An ext volume opened for reading: its superblock (or the copy used in its
// place), the group descriptors, and the reading of inodes, file maps and
// directories through them.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk/FsParams.h"
#include "fs/ext/BlockReader.h"
#include "fs/ext/DirEntries.h"
#include "fs/ext/FileMap.h"
#include "fs/ext/GroupDescriptors.h"
#include "fs/ext/Inode.h"
#include "fs/ext/Superblock.h"

namespace dravik {
class Diagnostics;
class SectorReader;
}  // namespace dravik

namespace dravik::ext {

constexpr std::uint32_t kRootInode = 2;
// The most bytes of one directory read (a folder of millions of names takes
// less); a larger size is a damaged inode.
constexpr std::uint64_t kMaxDirectoryBytes = std::uint64_t{1} << 30;

class ExtVolume {
 public:
  // Opens the volume at start; none, with the reason in diagnostics, when
  // neither its superblock nor the copy of group 1 reads, or its group
  // descriptors do not.
  static std::optional<ExtVolume> Open(const SectorReader& reader, std::uint64_t start, Diagnostics& diagnostics);
  // Opens the volume at start by the superblock, the primary or a copy,
  // whose 1024 bytes start at superblockSector, with the group descriptors
  // that follow it (when the primary ones are lost).
  static std::optional<ExtVolume> OpenBy(const SectorReader& reader, std::uint64_t start,
                                         std::uint64_t superblockSector, Diagnostics& diagnostics);
  // The volume a result's parameters name: by their superblock sector when a
  // search found it so, else at the partition's start.
  static std::optional<ExtVolume> Open(const SectorReader& reader, const FsParams& params, Diagnostics& diagnostics);

  const Superblock& Super() const { return super_; }
  const BlockReader& Blocks() const { return blocks_; }
  std::uint64_t SuperblockBlock() const { return superblockBlock_; }

  // The inode of that number; none for 0, a number past the inodes count
  // or a table that does not read.
  std::optional<Inode> ReadInode(std::uint32_t number) const;
  // Whether an inode read with its number holds its checksum; true on a
  // volume without metadata_csum and for an inode whose number is unknown.
  bool InodeChecksumHolds(const Inode& inode) const;

  // Where an inode lies: the inode table block and the byte offset in it;
  // none where ReadInode has none.
  struct InodePlace {
    std::uint64_t block = 0;
    std::size_t offset = 0;
  };
  std::optional<InodePlace> PlaceOf(std::uint32_t number) const;
  const std::vector<GroupDescriptor>& Groups() const { return groups_; }

  // The blocks of a file with extents or a block map (empty for inline
  // data and fast symlinks, which keep their bytes in the inode). The
  // extent tree blocks of an inode read with its number are checked against
  // their checksums (FileMap::checksumFails).
  FileMap Map(const Inode& inode) const;
  // The same, its indirect blocks or extent tree nodes read through
  // readMapBlock.
  FileMap Map(const Inode& inode, const MapBlockReader& readMapBlock) const;
  // Whether the bytes lie in the inode itself: inline data, or a symlink's
  // target short enough for i_block.
  static bool KeepsBytesInInode(const Inode& inode);
  // The bytes of a file that keeps them in its inode.
  std::optional<std::vector<std::uint8_t>> BytesInInode(const Inode& inode) const;

  // The entries of a folder, live and deleted, in block order; false when
  // part of it did not read (a block, a record length), true when whole.
  bool ReadDirectory(const Inode& folder, std::vector<DirEntry>& entries) const;

  // Calls visit for every inode in use from the first ordinary inode on
  // (the reserved ones below it left out), group by group; groups whose
  // inodes were never initialised are passed over, as the unused tail of a
  // table, when the descriptors are the primary ones. A copy's descriptors
  // are as old as the last time the copies were written; with them, a
  // group's table is read up to the last inode its bitmap marks used (the
  // bitmap lies where mke2fs put it, and the kernel keeps it), all of it
  // when the bitmap does not read. So is a group whose descriptor was taken
  // from a backup table. visit returns false to stop.
  void ForEachInodeInUse(const std::function<bool(std::uint32_t, const Inode&)>& visit) const;

 private:
  ExtVolume(const SectorReader& reader, std::uint64_t start, const FoundSuperblock& found,
            std::vector<GroupDescriptor> groups);

  // How many inodes from the start of group g's table may be in use.
  std::uint64_t UsedInodes(std::uint64_t g) const;

  // The inode table blocks read last, kept because the inodes of one folder
  // often lie together; shared by the copies of the volume.
  struct InodeBlocks;

  const SectorReader* reader_;
  std::uint64_t start_;
  Superblock super_;
  std::uint64_t superblockBlock_;
  std::vector<GroupDescriptor> groups_;
  bool descriptorsCurrent_;
  std::uint32_t checksumSeed_;
  BlockReader blocks_;
  DirFormat format_;
  std::shared_ptr<InodeBlocks> inodeBlocks_;
};

}  // namespace dravik::ext
