#include "fs/fat/FatVolumeLayout.h"

#include <algorithm>
#include <vector>

#include "disk/SectorReader.h"
#include "fs/fat/DirEntry.h"
#include "fs/fat/FatParams.h"
#include "fs/fat/FatTable.h"
#include "util/Diagnostics.h"

namespace dravik::fat {

namespace {

class FatLayout final : public VolumeLayout {
 public:
  FatLayout(DiskExtent bytes, const FsParams& params) : bytes_(bytes), params_(params) {}

  // A folder's first cluster by its "." entry.
  SectorPlace PlaceOf(Bytes sector) const override {
    if (!StartsWithDotEntries(sector)) return {};
    std::uint32_t cluster = le16(sector, kClusterLowOffset);
    if (params_.fsType == kFat32) cluster |= std::uint32_t{le16(sector, kClusterHighOffset)} << 16;
    if (cluster < 2 || cluster > LastCluster(params_)) return {};
    return {true, ClusterSector(params_, cluster) * kSectorSize};
  }

  const std::vector<DiskExtent>& Held() const override { return held_; }
  bool HeldComplete() const override { return complete_; }

  // The disk bytes the volume keeps data in: its reserved sectors, the
  // parts of its FATs that name clusters, its root folder and every cluster
  // its first FAT names. Not complete when part of that FAT could not be
  // read (or it is a FAT12 one, which this does not decode).
  void ReadHeld(const PlacementView& view) {
    const FsParams& params = params_;
    held_.push_back({bytes_.begin, params.firstFatLba * kSectorSize});
    if (params.fsType == kFat16) {
      held_.push_back({params.rootStart * kSectorSize, (params.rootStart + params.rootDirSectors) * kSectorSize});
      if (IsFat12(params)) return;
    }
    const std::size_t entryBytes = params.fsType == kFat32 ? 4 : 2;
    const std::uint64_t lastCluster = LastCluster(params);
    const std::uint64_t fatBytes = std::uint64_t{params.fatSize} * kSectorSize;
    const std::uint64_t tableBytes = std::min(fatBytes, (lastCluster + 1) * entryBytes);
    if (tableBytes > view.FileSize()) return;
    const std::uint64_t firstFat = params.firstFatLba * kSectorSize;
    const std::uint64_t secondFat =
        (params.secondFatLba ? params.secondFatLba : params.firstFatLba + params.fatSize) * kSectorSize;
    std::uint64_t runStart = 0;
    std::uint64_t runLength = 0;
    complete_ = view.ReadDiskInChunks(firstFat, tableBytes, [&](std::uint64_t done, std::span<std::uint8_t> bytes) {
      for (std::size_t sector = 0; sector < bytes.size(); sector += kSectorSize) {
        const auto end = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), sector + kSectorSize));
        if (std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(sector), end, [](std::uint8_t b) { return b == 0; }))
          continue;
        held_.push_back({firstFat + done + sector, firstFat + done + sector + kSectorSize});
        held_.push_back({secondFat + done + sector, secondFat + done + sector + kSectorSize});
      }
      for (std::size_t at = 0; at + entryBytes <= bytes.size(); at += entryBytes) {
        const std::uint64_t cluster = (done + at) / entryBytes;
        const std::uint32_t value = entryBytes == 4 ? le32(bytes, at) & 0x0FFFFFFF : le16(bytes, at);
        if (cluster < 2 || value == 0) continue;
        if (runLength != 0 && runStart + runLength == cluster) {
          ++runLength;
          continue;
        }
        if (runLength != 0) AddClusters(runStart, runLength);
        runStart = cluster;
        runLength = 1;
      }
    });
    if (runLength != 0) AddClusters(runStart, runLength);
  }

 private:
  // Clusters counted from the cluster base, the sector where cluster 0
  // would begin.
  void AddClusters(std::uint64_t first, std::uint64_t count) {
    const std::uint64_t clusterBytes = std::uint64_t{params_.sectorsPerCluster} * kSectorSize;
    const std::uint64_t begin = params_.clusterBase * kSectorSize + first * clusterBytes;
    held_.push_back({begin, std::min(bytes_.end, begin + count * clusterBytes)});
  }

  DiskExtent bytes_;
  FsParams params_;
  std::vector<DiskExtent> held_;
  bool complete_ = false;
};

}  // namespace

std::unique_ptr<VolumeLayout> ReadVolumeLayout(const PartitionEntry& entry, PlacementView& view) {
  FsParams params = FsParams::ForPartition(entry);
  Diagnostics unread;
  if (!ReadFatParams(view.Reader(), params, unread) || params.sectorsPerCluster == 0) return nullptr;
  auto layout = std::make_unique<FatLayout>(
      DiskExtent{entry.start * kSectorSize, (entry.start + entry.sectors) * kSectorSize}, params);
  layout->ReadHeld(view);
  return layout;
}

}  // namespace dravik::fat
