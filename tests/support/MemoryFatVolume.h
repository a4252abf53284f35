#pragma once
// A tiny FAT16 or FAT32 volume built in memory, for what real tools never
// write: entries at chosen slots, chains with loops or odd end marks, folders
// without dot entries. 512-byte sectors, one per cluster, clusters 2..255:
//   FAT16: boot 0, FATs 1 and 2, root 3..6 (64 entries), data from 7; so few
//          clusters make 12-bit FAT entries (the cluster count decides)
//   FAT32: boot 0, FATs 1-2 and 3-4, data from 5, root at cluster 2
// The memory disk goes on past the volume, so a chain beyond it reads.

#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "disk/FsParams.h"
#include "fs/RecoveryStore.h"
#include "vdisk/ByteSource.h"

namespace dravik::test {

using DirSlot = std::array<std::uint8_t, 32>;

// A short entry: name11 is the 8+3 name field as stored ("README  TXT").
DirSlot ShortSlot(std::string_view name11, std::uint8_t attributes, std::uint32_t firstCluster,
                  std::uint32_t size = 0, std::uint16_t date = 0);
// The long-name entries of name in disk order, for the short entry name11.
std::vector<DirSlot> LongNameSlots(std::u16string_view name, std::string_view name11);
DirSlot Deleted(DirSlot slot);

constexpr std::uint16_t FatDate(int year, int month, int day) {
  return static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

class MemoryFatVolume {
 public:
  static constexpr std::uint32_t kLastCluster = 255;
  static constexpr std::uint32_t kDiskSectors = 400;

  explicit MemoryFatVolume(bool fat32);

  FsParams Params() const { return params_; }
  // The FAT entry of cluster in one or both copies.
  void SetFat(std::uint32_t cluster, std::uint32_t value, bool first = true, bool second = true);
  // Links the clusters into a chain ending with the end mark.
  void Chain(const std::vector<std::uint32_t>& clusters, std::uint32_t endMark = 0);
  std::uint64_t ClusterSector(std::uint32_t cluster) const;
  std::span<std::uint8_t> Sector(std::uint64_t lba);
  // Root directory sector i (0 is the first).
  std::uint64_t RootSector(std::uint32_t i) const;
  void PutSlot(std::uint64_t lba, std::size_t index, const DirSlot& slot);
  // Puts slots one after the other from index, on into the next sectors;
  // returns the index after the last.
  std::size_t PutSlots(std::uint64_t lba, std::size_t index, const std::vector<DirSlot>& slots);
  // "." and ".." at the start of the folder's first cluster.
  void StartFolder(std::uint32_t cluster, std::uint32_t parent);

  // A reader's source over a copy of the bytes as they are now.
  MemorySource Source() const { return MemorySource(bytes_); }
  RecoveryStore Scan() const;

 private:
  bool fat32_;
  FsParams params_;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace dravik::test
