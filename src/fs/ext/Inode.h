#pragma once
// An ext inode: the 128 bytes every revision has, and on larger inodes the
// extra fields after 0x80 (nanoseconds and epoch bits of the times, the
// creation time). Little-endian.
//
//   0x00 mode    0x04 size (low)  0x08 atime  0x0C ctime  0x10 mtime
//   0x14 dtime   0x1A links       0x20 flags  0x28 i_block (60 bytes)
//   0x68 extended attribute block (low)        0x6C size (high)
//   0x80 extra size  0x84/88/8C ctime/mtime/atime extra  0x90 crtime  0x94 crtime extra

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "util/Bytes.h"

namespace dravik::ext {

constexpr std::size_t kBlockArrayOffset = 0x28;
constexpr std::size_t kBlockArraySize = 60;

// Inode flags.
constexpr std::uint32_t kFlagIndex = 0x1000;  // an htree directory
constexpr std::uint32_t kFlagExtents = 0x80000;
constexpr std::uint32_t kFlagInlineData = 0x10000000;

// File types in the mode's top four bits.
constexpr std::uint16_t kTypeMask = 0xF000;
constexpr std::uint16_t kTypeDirectory = 0x4000;
constexpr std::uint16_t kTypeRegular = 0x8000;
constexpr std::uint16_t kTypeSymlink = 0xA000;

// A time as ext keeps it: seconds since 1970 (the 32-bit field signed,
// extended by the epoch bits of its extra field) and nanoseconds.
struct ExtTime {
  std::int64_t seconds = 0;
  std::uint32_t nanoseconds = 0;
  // 100 ns ticks since 1601, as the records keep times; 0 for a time
  // before 1601.
  std::uint64_t FileTime() const;
};

// A time from its 32-bit field and, where the inode has it, its extra field
// (low two bits: epoch, above them: nanoseconds).
ExtTime DecodeTime(std::uint32_t field, std::uint32_t extra);

struct Inode {
  std::uint32_t number = 0;  // 0 where the reader did not say
  std::uint16_t mode = 0;
  std::uint64_t size = 0;
  std::uint16_t links = 0;
  std::uint32_t flags = 0;
  std::uint32_t deletionTime = 0;
  ExtTime accessed, changed, modified;
  std::optional<ExtTime> created;  // none where the inode has no room for it
  std::uint64_t xattrBlock = 0;
  std::uint16_t extraSize = 0;  // bytes after the first 128 that the fields use
  std::array<std::uint8_t, kBlockArraySize> blocks{};
  std::vector<std::uint8_t> raw;  // the whole on-disk inode, for in-inode extended attributes

  std::uint16_t Type() const { return mode & kTypeMask; }
  bool IsDirectory() const { return Type() == kTypeDirectory; }
  bool IsSymlink() const { return Type() == kTypeSymlink; }
  // Never used, or freed: no mode, or a deletion time with no link left.
  bool InUse() const { return mode != 0 && links != 0 && deletionTime == 0; }
};

// Decodes an inode of the superblock's inode size, the inode of that number
// (its checksum and its extent tree blocks' checksums depend on it).
Inode DecodeInode(Bytes bytes, std::uint32_t number = 0);

}  // namespace dravik::ext
