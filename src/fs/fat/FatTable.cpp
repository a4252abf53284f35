#include "fs/fat/FatTable.h"

#include <algorithm>
#include <unordered_set>

#include "disk/SectorReader.h"
#include "util/Bytes.h"

namespace dravik::fat {

namespace {

// A chain ends at the first value from these up: the bad-cluster mark, then
// the end marks (systems write different ones: 0xFFF8 as well as 0xFFFF).
constexpr std::uint32_t kFat12Bad = 0xFF7;
constexpr std::uint32_t kFat16Bad = 0xFFF7;
constexpr std::uint32_t kFat32Bad = 0x0FFFFFF7;

// A volume of fewer clusters than this has 12-bit table entries, whatever
// its boot sector or partition type calls it.
constexpr std::uint32_t kFat12MaxClusters = 4085;

}  // namespace

bool IsFat32(const FsParams& params) { return params.fsType == kFat32; }

bool IsFat12(const FsParams& params) {
  const std::uint32_t last = LastCluster(params);
  return params.fsType == kFat16 && last >= 2 && last - 1 < kFat12MaxClusters;
}

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

FatTable::FatTable(const SectorReader& reader, const FsParams& params, std::uint64_t fatLba)
    : reader_(reader), params_(params), fatLba_(fatLba), bits_(IsFat32(params) ? 32 : IsFat12(params) ? 12 : 16) {}

bool FatTable::Load(std::uint64_t lba) {
  if (lba == cachedLba_) return true;
  // Two sectors, so that a 12-bit entry across a sector's end is whole.
  cached_.resize(2 * kSectorSize);
  if (!reader_.Read(lba, 2, cached_) && !reader_.Read(lba, 1, std::span(cached_).first(kSectorSize))) {
    cachedLba_ = ~std::uint64_t{0};
    return false;
  }
  cachedLba_ = lba;
  return true;
}

bool FatTable::Next(std::uint32_t cluster, std::uint32_t& next) {
  // Byte offset of the entry in the table: 4, 2 or 1.5 bytes an entry.
  const std::uint64_t offset = std::uint64_t{cluster} * bits_ / 8;
  if (!Load(fatLba_ + offset / kSectorSize)) return false;
  const std::size_t at = offset % kSectorSize;
  switch (bits_) {
    case 32: next = le32(cached_, at); break;
    case 16: next = le16(cached_, at); break;
    default: next = cluster % 2 == 0 ? le16(cached_, at) & 0x0FFFu : le16(cached_, at) >> 4; break;
  }
  return next >= 2 && next < BadMark();
}

std::uint32_t FatTable::BadMark() const { return bits_ == 32 ? kFat32Bad : bits_ == 16 ? kFat16Bad : kFat12Bad; }

std::vector<std::uint32_t> FatTable::DirectoryChain(std::uint32_t start) {
  std::vector<std::uint32_t> chain{start};
  if (fatLba_ == 0) return chain;
  const std::uint32_t last = LastCluster(params_);
  std::unordered_set<std::uint32_t> seen{start};
  std::uint32_t next = 0;
  while (Next(chain.back(), next) && next <= last && seen.insert(next).second) chain.push_back(next);
  return chain;
}

bool FatTable::IsEndMark(std::uint32_t value) const { return value > BadMark(); }

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
