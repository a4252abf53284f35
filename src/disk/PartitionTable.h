#pragma once
// The partitions of a disk as the scanners use them: start, length and the
// file system found there. The table holds at most 25 entries.

#include <cstdint>
#include <string>
#include <vector>

#include "util/Bytes.h"

namespace dravik {

class SectorReader;

enum FsCode : std::uint16_t { kFat16 = 100, kFat32 = 200, kNtfs = 300, kExt2 = 402, kExt3 = 403, kExt4 = 404 };

// "FAT16", "FAT32", "NTFS", "EXT2", "EXT3", "EXT4", anything else "UNKNOWN".
const char* FsName(std::uint16_t code);

struct PartitionEntry {
  std::uint64_t start = 0;    // absolute LBA of the boot sector
  std::uint64_t sectors = 0;  // as the table or the boot sector gives it
  std::uint16_t code = 0;     // FsCode
  bool operator==(const PartitionEntry&) const = default;
};

class PartitionTable {
 public:
  static constexpr std::size_t kCapacity = 25;

  // Appends the entry unless the table is full; false when it was full.
  bool Add(const PartitionEntry& entry);
  bool Full() const { return entries_.size() >= kCapacity; }
  bool Contains(std::uint64_t start) const;
  void Clear() { entries_.clear(); }

  const std::vector<PartitionEntry>& Entries() const { return entries_; }
  std::size_t Count() const { return entries_.size(); }
  bool Empty() const { return entries_.empty(); }

 private:
  std::vector<PartitionEntry> entries_;
};

// Reads the partition table at sector tableSector (an MBR and its chain of
// extended boot records, or a GPT behind a protective entry) into table,
// which is emptied first.
void ReadPartitionTable(const SectorReader& reader, std::uint64_t tableSector, PartitionTable& table);

// The drive page's sequence: sector 0, again 0, then 61, then 62, until one
// leaves an entry.
void ReadDrivePartitions(const SectorReader& reader, PartitionTable& table);

// ReadDrivePartitions, and on a disk where it finds no table the ext volume
// that starts the disk (its primary superblock in sector 2), as a WSL disk
// holds one.
void ReadDriveVolumes(const SectorReader& reader, PartitionTable& table);

// How a disk's first sectors show themselves: sector 0 carries the boot
// signature (a partition table or a boot sector), or, on a disk without a
// table, sector 2 starts the primary superblock of an ext volume.
struct DiskStartMark {
  std::uint64_t sector = 0;
  bool (*test)(Bytes sector) = nullptr;
};
std::vector<DiskStartMark> DiskStartMarks();

}  // namespace dravik
