#include "fs/fat/FatTable.h"

#include <algorithm>
#include <unordered_set>

#include "disk/SectorReader.h"
#include "util/Bytes.h"

namespace dravik::fat {

namespace {

// A chain ends at the first value from these up: the bad-cluster mark, then
// the end marks (systems write different ones: 0xFFF8 as well as 0xFFFF).
constexpr std::uint32_t kFat16Bad = 0xFFF7;
constexpr std::uint32_t kFat32Bad = 0x0FFFFFF7;

}  // namespace

bool IsFat32(const FsParams& params) { return params.fsType == kFat32; }

std::uint32_t LastCluster(const FsParams& params) {
  if (params.sectorsPerCluster == 0) return 0;
  const std::uint64_t end = std::uint64_t{params.partitionStart} + params.partitionSectors;
  const std::uint64_t base = params.clusterBase;
  if (end <= base) return 0;
  const std::uint64_t clusters = (end - base) / params.sectorsPerCluster;  // counted from cluster 0
  return clusters > 0 ? static_cast<std::uint32_t>(std::min<std::uint64_t>(clusters - 1, 0xFFFFFFFF)) : 0;
}

std::uint64_t ClusterSector(const FsParams& params, std::uint32_t cluster) {
  return std::uint64_t{params.clusterBase} + std::uint64_t{cluster} * params.sectorsPerCluster;
}

bool FatTable::Next(std::uint32_t cluster, std::uint32_t& next) {
  const bool fat32 = IsFat32(params_);
  const std::uint32_t perSector = fat32 ? 128 : 256;
  const std::uint64_t lba = std::uint64_t{fatLba_} + cluster / perSector;
  if (lba != cachedLba_) {
    cached_.resize(kSectorSize);
    if (!reader_.Read(lba, 1, cached_)) {
      cachedLba_ = ~std::uint64_t{0};
      return false;
    }
    cachedLba_ = lba;
  }
  const std::size_t index = cluster % perSector;
  next = fat32 ? le32(cached_, index * 4) : le16(cached_, index * 2);
  return next >= 2 && next < (fat32 ? kFat32Bad : kFat16Bad);
}

std::vector<std::uint32_t> FatTable::DirectoryChain(std::uint32_t start) {
  std::vector<std::uint32_t> chain{start};
  if (fatLba_ == 0) return chain;
  const std::uint32_t last = LastCluster(params_);
  std::unordered_set<std::uint32_t> seen{start};
  std::uint32_t next = 0;
  while (Next(chain.back(), next) && next <= last && seen.insert(next).second) chain.push_back(next);
  return chain;
}

bool FatTable::IsEndMark(std::uint32_t value) const {
  return value > (IsFat32(params_) ? kFat32Bad : kFat16Bad);
}

FatTable::FileChain FatTable::Chain(std::uint32_t start, std::size_t limit) {
  FileChain chain{{start}, false};
  if (fatLba_ == 0) return chain;
  const std::uint32_t last = LastCluster(params_);
  std::uint32_t next = 0;
  while (chain.clusters.size() < limit) {
    if (!Next(chain.clusters.back(), next)) {
      chain.endMarked = IsEndMark(next);
      break;
    }
    if (next > last) break;
    chain.clusters.push_back(next);
  }
  return chain;
}

std::vector<std::uint32_t> FileClusters(const SectorReader& reader, const FsParams& params, std::uint32_t firstCluster,
                                        std::uint64_t size, bool deleted) {
  const std::uint64_t clusterBytes = std::uint64_t{params.sectorsPerCluster} * kSectorSize;
  const std::uint32_t last = LastCluster(params);
  if (clusterBytes == 0 || size == 0 || firstCluster < 2 || firstCluster > last) return {};
  const std::uint64_t needed = (size + clusterBytes - 1) / clusterBytes;
  std::vector<FatTable::FileChain> chains;
  for (const std::uint64_t fatLba : {params.firstFatLba, params.secondFatLba}) {
    if (fatLba == 0) continue;
    FatTable table(reader, params, fatLba);
    chains.push_back(table.Chain(firstCluster, static_cast<std::size_t>(std::min<std::uint64_t>(needed + 1, last))));
    if (chains.back().clusters.size() == needed) return std::move(chains.back().clusters);
  }
  for (FatTable::FileChain& chain : chains)
    if (!deleted && chain.endMarked) return std::move(chain.clusters);
  const std::uint64_t count = std::min<std::uint64_t>(needed, std::uint64_t{last} - firstCluster + 1);
  std::vector<std::uint32_t> contiguous(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < contiguous.size(); ++i) contiguous[i] = firstCluster + static_cast<std::uint32_t>(i);
  return contiguous;
}

}  // namespace dravik::fat
