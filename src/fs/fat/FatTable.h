#pragma once
// Cluster chains read from a FAT12, FAT16 or FAT32 allocation table.

#include <cstdint>
#include <vector>

#include "disk/FsParams.h"

namespace dravik {

class SectorReader;

namespace fat {

bool IsFat32(const FsParams& params);
// A volume the scan calls FAT16 whose clusters are too few for 16-bit
// entries: its table holds 12-bit ones.
bool IsFat12(const FsParams& params);
// The highest cluster number the volume has (its data area ends after it).
std::uint32_t LastCluster(const FsParams& params);
// First sector of a cluster.
std::uint64_t ClusterSector(const FsParams& params, std::uint32_t cluster);

class FatTable {
 public:
  FatTable(const SectorReader& reader, const FsParams& params, std::uint64_t fatLba);

  // The chain of a folder: from start until an end mark or free entry, a
  // cluster already in the chain, or a cluster past the volume's end.
  std::vector<std::uint32_t> DirectoryChain(std::uint32_t start);

  struct FileChain {
    std::vector<std::uint32_t> clusters;
    bool endMarked = false;  // ended at an end mark, not at a free or bad entry or the volume's end
  };
  // The chain of a file, at most limit clusters long, within the volume.
  FileChain Chain(std::uint32_t start, std::size_t limit);

 private:
  // The next cluster, or none at the chain's end or on a failed read.
  bool Next(std::uint32_t cluster, std::uint32_t& next);
  bool IsEndMark(std::uint32_t value) const;
  std::uint32_t BadMark() const;
  // Reads the table's sectors from lba into the cache.
  bool Load(std::uint64_t lba);

  const SectorReader& reader_;
  const FsParams& params_;
  std::uint64_t fatLba_;
  std::uint32_t bits_;  // of an entry: 12, 16 or 32
  std::uint64_t cachedLba_ = ~std::uint64_t{0};
  std::vector<std::uint8_t> cached_;
};

// The clusters of a file of size bytes: its chain in the first FAT when that
// holds exactly the clusters needed, else in the second; else, for a live
// file, a chain that ends at an end mark before the size is reached (the
// size is what was damaged); else the clusters that follow the first one. Never a cluster
// past the volume's end, so a file may come out shorter than its size.
std::vector<std::uint32_t> FileClusters(const SectorReader& reader, const FsParams& params, std::uint32_t firstCluster,
                                        std::uint64_t size, bool deleted);

}  // namespace fat
}  // namespace dravik
