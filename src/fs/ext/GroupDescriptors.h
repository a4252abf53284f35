#pragma once
// The block group descriptors: 32 bytes each, or the superblock's
// descriptor size (64) on a 64bit volume, in the blocks after the
// superblock; with meta_bg, the groups from the first meta group on keep
// their descriptors one block per meta group, at the start of its first
// group.
//
//   0x00 block bitmap (low)  0x04 inode bitmap (low)  0x08 inode table (low)   0x12 flags
//   0x1C unused inodes at the table's end (low)
//   0x20 block bitmap (high) 0x24 inode bitmap (high) 0x28 inode table (high)  0x32 unused inodes (high)

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fs/ext/Superblock.h"

namespace dravik {
class SectorReader;
}

namespace dravik::ext {

struct GroupDescriptor {
  std::uint64_t inodeBitmap = 0;
  std::uint64_t blockBitmap = 0;
  std::uint64_t inodeTable = 0;
  std::uint16_t flags = 0;
  std::uint32_t unusedInodes = 0;
  // Whether its checksum holds (always without group checksums), and
  // whether it was taken from a backup table because the one read first
  // failed its checksum. A backup may be older than the group, and a
  // descriptor that fails is damaged: their flags and unused counts are not
  // trusted. A backup's locations are (they never move).
  bool checksumHolds = true;
  bool fromBackup = false;
  // The flags and unused count count: group checksums guard them and this
  // descriptor is the current one, whole.
  bool FlagsTrusted(const Superblock& s) const;
  // mke2fs leaves the inodes of a group uninitialised (flag 1) when no inode
  // of it was ever used; the flag counts only with group checksums.
  bool InodesUninitialised(const Superblock& s) const;
  // How many of the group's inodes may have been used: all of them, less
  // the unused tail the descriptor names (with group checksums).
  std::uint32_t UsedInodes(const Superblock& s) const;
  // Likewise the block bitmap of a group none of whose blocks but its
  // metadata was ever used is left unwritten (flag 2).
  bool BlocksUninitialised(const Superblock& s) const;
};

// The most groups read: 2^20 groups are 128 TiB of 4 KiB blocks, more than
// a VHDX holds.
constexpr std::uint64_t kMaxGroups = std::uint64_t{1} << 20;

// The most backup descriptor tables tried for a descriptor whose checksum
// fails: the first ones cover the copies of groups 1, 3, 5, 7, 9, 25...
constexpr std::size_t kMaxBackupTables = 16;

// The bytes of one descriptor: 32, or the superblock's size on a 64bit volume.
std::uint32_t DescriptorSize(const Superblock& s);

// The volume block that holds group g's descriptor, in the descriptor table
// that goes with the superblock at superblockBlock.
std::uint64_t DescriptorBlock(const Superblock& s, std::uint64_t superblockBlock, std::uint64_t group);

// The descriptors of every group, read from the descriptor table that goes
// with the superblock found at superblockBlock; none, with why, when the
// volume has more groups than kMaxGroups or a table lies past the volume.
// A descriptor whose checksum fails is taken from the first backup table
// (after a copy of the superblock, or with meta_bg the copies of its meta
// group's block) whose descriptor of that group holds its checksum; kept as
// read when none does.
std::optional<std::vector<GroupDescriptor>> ReadGroupDescriptors(const SectorReader& reader, std::uint64_t start,
                                                                 const Superblock& s, std::uint64_t superblockBlock,
                                                                 std::string& why);

}  // namespace dravik::ext
