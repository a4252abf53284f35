#include "fs/ntfs/NtfsVolumeLayout.h"

#include <algorithm>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "disk/BootSector.h"
#include "disk/SectorReader.h"
#include "fs/ntfs/MftRecord.h"
#include "fs/ntfs/RunList.h"

namespace dravik::ntfs {

namespace {

// A folder's index is read as far as this many clusters: enough to place
// the blocks its buffers lie in, bounded whatever its run list claims.
constexpr std::size_t kMaxIndexClusters = 1 << 16;

// An index buffer ("INDX"): 16 the VCN it has in its folder's index, 24 the
// offset of its first entry (from 24); an entry's $FILE_NAME (from 16)
// begins with its folder's record number.
constexpr std::size_t kIndexVcnOffset = 16;
constexpr std::size_t kIndexEntriesOffset = 24;
constexpr std::size_t kEntryStreamLengthOffset = 10;
constexpr std::size_t kEntryStreamOffset = 16;

// Where the MFT's records lie on the disk: its $DATA runs.
struct MftMap {
  struct Piece {
    std::uint64_t mftByte = 0;  // offset in the MFT
    std::uint64_t length = 0;
    std::uint64_t diskByte = 0;
  };
  std::vector<Piece> pieces;

  std::optional<std::uint64_t> DiskByteOf(std::uint64_t record) const {
    const std::uint64_t at = record * kRecordSize;
    for (const Piece& piece : pieces)
      if (at >= piece.mftByte && at - piece.mftByte < piece.length) return piece.diskByte + (at - piece.mftByte);
    return std::nullopt;
  }
};

class NtfsLayout final : public VolumeLayout {
 public:
  NtfsLayout(DiskExtent bytes, std::uint64_t clusterBytes, MftMap mft)
      : bytes_(bytes), clusterBytes_(clusterBytes), mft_(std::move(mft)) {}

  // An MFT record by its number, an index buffer by its folder and VCN.
  SectorPlace PlaceOf(Bytes sector) const override {
    if (IsRecord(sector)) {
      if (const auto number = RecordNumber(sector)) return {true, mft_.DiskByteOf(*number)};
    }
    // Index buffers of 4 KiB count their VCNs in clusters up to that size.
    if (clusterBytes_ <= 4096 && HasAscii(sector, 0, "INDX")) return {true, IndexBufferPlace(sector)};
    return {};
  }

  const std::vector<DiskExtent>& Held() const override { return held_; }
  bool HeldComplete() const override { return complete_; }

  // Reads the whole MFT as placed so far: the disk bytes it keeps data in
  // (its boot sectors, the MFT and the runs of every record, in use or
  // deleted) and its folders' index buffers. Not complete when part of the
  // MFT could not be read.
  void ScanMft(const PlacementView& view) {
    held_.push_back({bytes_.begin, bytes_.begin + kSectorSize});
    held_.push_back({bytes_.end - kSectorSize, bytes_.end});
    const std::uint64_t clusters = (bytes_.end - bytes_.begin) / clusterBytes_;
    bool complete = true;
    // An MFT larger than the image file is a damaged run list: the file
    // could not hold it, and reading a claimed size could take for ever.
    std::uint64_t budget = view.FileSize();
    for (const MftMap::Piece& piece : mft_.pieces) {
      held_.push_back({piece.diskByte, piece.diskByte + piece.length});
      if (piece.length > budget) return;
      budget -= piece.length;
      complete = view.ReadDiskInChunks(piece.diskByte, piece.length, [&](std::uint64_t, std::span<std::uint8_t> bytes) {
        for (std::size_t at = 0; at + kRecordSize <= bytes.size(); at += kRecordSize)
          ReadRecord(bytes.subspan(at, kRecordSize), clusters);
      }) && complete;
    }
    complete_ = complete;
  }

 private:
  // Adds the clusters of the record's non-resident attributes, and of a
  // folder's index allocation its buffers' places.
  void ReadRecord(std::span<std::uint8_t> record, std::uint64_t clusters) {
    if (!IsRecord(record)) return;
    ApplyFixup(record);
    const std::optional<std::uint32_t> number = RecordNumber(record);
    for (const std::size_t attribute : AttributeOffsets(record)) {
      if (record[attribute + kAttrNonResidentOffset] == 0) continue;
      const AttributeValue value = ReadAttributeValue(record, attribute);
      const bool index = le32(record, attribute + kAttrTypeOffset) == kIndexAllocation;
      for (const Run& run : RunsWithinVolume(DecodeRunList(value.runList).runs, clusters)) {
        if (!run.firstCluster) continue;
        const std::uint64_t begin = bytes_.begin + *run.firstCluster * clusterBytes_;
        held_.push_back({begin, std::min(bytes_.end, begin + run.clusters * clusterBytes_)});
        if (!index || !number) continue;
        std::vector<std::uint64_t>& buffers = indexClusters_[*number];
        for (std::uint64_t c = 0; c < run.clusters && buffers.size() < kMaxIndexClusters; ++c)
          buffers.push_back(bytes_.begin + (*run.firstCluster + c) * clusterBytes_);
      }
    }
  }

  // Where an index buffer lies: its folder (the folder its first entry's
  // name belongs to) and its VCN in that folder's index.
  std::optional<std::uint64_t> IndexBufferPlace(Bytes sector) const {
    const std::size_t entry = kIndexEntriesOffset + le32(sector, kIndexEntriesOffset);
    if (entry + kEntryStreamOffset + 8 > sector.size() || le16(sector, entry + kEntryStreamLengthOffset) < 8)
      return std::nullopt;
    const auto folder = static_cast<std::uint32_t>(le32(sector, entry + kEntryStreamOffset));
    const auto it = indexClusters_.find(folder);
    if (it == indexClusters_.end()) return std::nullopt;
    const std::uint64_t vcn = le64(sector, kIndexVcnOffset);
    return vcn < it->second.size() ? std::optional<std::uint64_t>(it->second[vcn]) : std::nullopt;
  }

  DiskExtent bytes_;
  std::uint64_t clusterBytes_ = 0;
  MftMap mft_;
  std::vector<DiskExtent> held_;
  bool complete_ = false;
  // Where each folder's index buffers lie (the disk byte of each of their
  // clusters, by folder record number).
  std::map<std::uint32_t, std::vector<std::uint64_t>> indexClusters_;
};

}  // namespace

std::unique_ptr<VolumeLayout> ReadVolumeLayout(const PartitionEntry& entry, PlacementView& view) {
  const DiskExtent bytes{entry.start * kSectorSize, (entry.start + entry.sectors) * kSectorSize};
  const auto fields = boot::ReadNtfsBootFields(view.ReadDisk(bytes.begin, kSectorSize));
  if (!fields) return nullptr;
  const std::uint64_t clusterBytes = std::uint64_t{fields->sectorsPerCluster} * kSectorSize;
  const auto isBootSector = [](Bytes sector) { return boot::RecogniseBootSector(sector).code == kNtfs; };
  if (fields->totalSectors != 0) view.AnchorSector(bytes.begin + fields->totalSectors * kSectorSize, isBootSector);
  if (fields->mftCluster >= view.DiskSize() / clusterBytes) return nullptr;
  const std::uint64_t mftByte = bytes.begin + fields->mftCluster * clusterBytes;
  view.AnchorSector(mftByte, [](Bytes sector) {
    return IsRecord(sector) && RecordNumber(sector) == std::optional<std::uint32_t>{0};
  });
  std::vector<std::uint8_t> record = view.ReadDisk(mftByte, kRecordSize);
  if (!IsRecord(record)) return nullptr;
  ApplyFixup(record);
  const auto data = FindData(record);
  if (!data || data->resident) return nullptr;
  const std::uint64_t clusters = (bytes.end - bytes.begin) / clusterBytes;
  MftMap map;
  std::uint64_t mftByteAt = 0;
  for (const Run& run : RunsWithinVolume(DecodeRunList(data->runList).runs, clusters)) {
    const std::uint64_t length = run.clusters * clusterBytes;
    if (run.firstCluster) map.pieces.push_back({mftByteAt, length, bytes.begin + *run.firstCluster * clusterBytes});
    mftByteAt += length;
  }
  if (map.pieces.empty()) return nullptr;
  auto layout = std::make_unique<NtfsLayout>(bytes, clusterBytes, std::move(map));
  layout->ScanMft(view);
  return layout;
}

}  // namespace dravik::ntfs
