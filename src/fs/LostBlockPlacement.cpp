#include "fs/LostBlockPlacement.h"

#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "disk/BootSector.h"
#include "disk/FsParamsReader.h"
#include "disk/PartitionTable.h"
#include "disk/SectorReader.h"
#include "fs/fat/DirEntry.h"
#include "fs/fat/FatTable.h"
#include "fs/ntfs/MftRecord.h"
#include "fs/ntfs/RunList.h"
#include "util/ScanControl.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {

namespace {

// Each round reads what the last one placed; the next round may then read
// structures (an MFT, a FAT) that lay in blocks placed just before.
constexpr std::size_t kRounds = 4;
constexpr std::size_t kChunk = std::size_t{1} << 20;
constexpr std::size_t kRecord = ntfs::kRecordSize;
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

// Bytes [begin, end) of the disk.
struct Extent {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
};

// Where the MFT's records lie on the disk: its $DATA runs.
struct MftMap {
  struct Piece {
    std::uint64_t mftByte = 0;  // offset in the MFT
    std::uint64_t length = 0;
    std::uint64_t diskByte = 0;
  };
  std::vector<Piece> pieces;

  std::optional<std::uint64_t> DiskByteOf(std::uint64_t record) const {
    const std::uint64_t at = record * kRecord;
    for (const Piece& piece : pieces)
      if (at >= piece.mftByte && at - piece.mftByte < piece.length) return piece.diskByte + (at - piece.mftByte);
    return std::nullopt;
  }
};

// A volume as far as the placing needs it.
struct Volume {
  PartitionEntry entry;
  Extent bytes;
  std::uint64_t clusterBytes = 0;
  std::optional<MftMap> mft;     // NTFS, once its first record reads
  std::optional<FsParams> fat;   // FAT, once its boot sector reads
  // The disk bytes the volume keeps data in, and whether all of its
  // allocation (the whole MFT, the whole first FAT) could be read.
  std::vector<Extent> held;
  bool heldComplete = false;
  // NTFS: where each folder's index buffers lie (the disk byte of each of
  // their clusters, by folder record number).
  std::map<std::uint32_t, std::vector<std::uint64_t>> indexClusters;
};

class Placer {
 public:
  explicit Placer(VirtualDisk& disk) : disk_(disk), reader_(disk) {}

  std::uint64_t Run() {
    Refresh();
    const std::size_t before = lost_.areas.size();
    for (std::size_t round = 0; round < kRounds && !lost_.areas.empty(); ++round) {
      const std::size_t left = lost_.areas.size();
      PlaceFirstBlock();
      const std::vector<Volume> volumes = FindVolumes();
      AnchorByContent(volumes);
      const std::vector<BlockUse> use = BlockUses(volumes);
      const std::vector<BlockPlacement> placements = PlaceBetweenNeighbours(lost_, use);
      if (!placements.empty()) {
        disk_.Place(placements);
        Refresh();
      }
      if (lost_.areas.empty()) ClearFreeBlocks(use);
      if (lost_.areas.size() == left) break;
    }
    return before - lost_.areas.size();
  }

  std::uint64_t Unplaced() const { return lost_.areas.size(); }
  std::uint64_t Cleared() const { return cleared_; }

 private:
  void Refresh() { lost_ = disk_.Lost(); }

  std::uint64_t BlockSize() const { return lost_.blockSize; }
  std::uint64_t BlockCount() const { return lost_.entries.size(); }
  bool IsOpenBlock(std::uint64_t block) const { return block < BlockCount() && IsOpen(lost_.entries[block]); }

  // Once the file holds no block left to place, a lost entry whose block
  // the volume keeps nothing in was a block of zeros the writer never
  // stored: it reads as zeros, not as a failure. A lost block the volume
  // keeps data in stays lost (the data went, say, with the file's cut end).
  void ClearFreeBlocks(const std::vector<BlockUse>& use) {
    std::vector<BlockPlacement> zeros;
    for (std::uint64_t block = 0; block < BlockCount() && block < use.size(); ++block)
      if (lost_.entries[block].state == TableEntry::kLost && use[block] == BlockUse::kFree) zeros.push_back({block, 0});
    if (zeros.empty()) return;
    disk_.Place(zeros);
    cleared_ += zeros.size();
  }

  // Puts an area whose content shows where it belongs.
  void Anchor(std::uint64_t area, std::uint64_t block) {
    const auto at = std::find(lost_.areas.begin(), lost_.areas.end(), area);
    if (!IsOpenBlock(block) || at == lost_.areas.end()) return;
    disk_.Place({{block, area}});
    lost_.areas.erase(at);
    lost_.entries[block] = {TableEntry::kPresent, area};
  }

  std::vector<std::uint8_t> ReadFile(std::uint64_t at, std::size_t size) const {
    std::vector<std::uint8_t> bytes(size);
    lost_.file->ReadAt(at, bytes);
    return bytes;
  }

  // Reads the disk as placed so far; ok tells whether every byte came from
  // a placed block (an open block may read as zeros without failing).
  std::vector<std::uint8_t> ReadDisk(std::uint64_t at, std::size_t size, bool* ok = nullptr) const {
    std::vector<std::uint8_t> bytes(size);
    bool read = disk_.ReadAt(at, bytes);
    for (std::uint64_t block = at / BlockSize(); size != 0 && block <= (at + size - 1) / BlockSize(); ++block)
      read = read && !IsOpenBlock(block);
    if (ok) *ok = read;
    return bytes;
  }

  // The unplaced area that holds, at inBlock, a sector that passes test:
  // the first in file order, for the first block written; else the only one.
  std::optional<std::uint64_t> FindArea(std::uint64_t inBlock, const std::function<bool(Bytes)>& test,
                                        bool firstWins) const {
    std::optional<std::uint64_t> found;
    for (const std::uint64_t area : lost_.areas) {
      if (!test(ReadFile(area + inBlock, kSectorSize))) continue;
      if (firstWins) return area;
      if (found) return std::nullopt;
      found = area;
    }
    return found;
  }

  // Writers write the disk's first block before any other (partitioning is
  // the first thing done to a new disk), so it leads the file.
  void PlaceFirstBlock() {
    if (!IsOpenBlock(0) || lost_.areas.empty()) return;
    const auto hasTable = [](Bytes sector) { return boot::HasSignature(sector); };
    if (hasTable(ReadFile(lost_.areas.front(), kSectorSize))) {
      Anchor(lost_.areas.front(), 0);
    } else if (const auto area = FindArea(0, hasTable, false)) {
      Anchor(*area, 0);
    }
  }

  // Places the block of a boot sector at byte (the volume's start, or its
  // backup at the end) when exactly one area holds one of the volume's kind there.
  void AnchorBootSector(std::uint64_t byte, std::uint16_t code) {
    if (lost_.areas.empty() || !IsOpenBlock(byte / BlockSize())) return;
    const auto area =
        FindArea(byte % BlockSize(), [code](Bytes sector) { return boot::RecogniseBootSector(sector).code == code; }, false);
    if (area) Anchor(*area, byte / BlockSize());
  }

  std::vector<Volume> FindVolumes() {
    std::vector<Volume> volumes;
    PartitionTable table;
    ReadDrivePartitions(reader_, table);
    for (const PartitionEntry& entry : table.Entries()) {
      Volume volume;
      volume.entry = entry;
      volume.bytes = {entry.start * kSectorSize, (entry.start + entry.sectors) * kSectorSize};
      AnchorBootSector(volume.bytes.begin, entry.code);
      if (entry.code == kNtfs) ReadNtfs(volume);
      if (entry.code == kFat16 || entry.code == kFat32) ReadFat(volume);
      volumes.push_back(std::move(volume));
    }
    return volumes;
  }

  void ReadNtfs(Volume& volume) {
    const auto fields = boot::ReadNtfsBootFields(ReadDisk(volume.bytes.begin, kSectorSize));
    if (!fields) return;
    volume.clusterBytes = std::uint64_t{fields->sectorsPerCluster} * kSectorSize;
    if (fields->totalSectors != 0)
      AnchorBootSector(volume.bytes.begin + fields->totalSectors * kSectorSize, kNtfs);
    const std::uint64_t diskBytes = disk_.Size();
    if (fields->mftCluster >= diskBytes / volume.clusterBytes) return;
    const std::uint64_t mftByte = volume.bytes.begin + fields->mftCluster * volume.clusterBytes;
    if (IsOpenBlock(mftByte / BlockSize())) {
      const auto firstRecord = [](Bytes sector) {
        return ntfs::IsRecord(sector) && ntfs::RecordNumber(sector) == std::optional<std::uint32_t>{0};
      };
      if (const auto area = FindArea(mftByte % BlockSize(), firstRecord, false)) Anchor(*area, mftByte / BlockSize());
    }
    std::vector<std::uint8_t> record = ReadDisk(mftByte, kRecord);
    if (!ntfs::IsRecord(record)) return;
    ntfs::ApplyFixup(record);
    const auto data = ntfs::FindData(record);
    if (!data || data->resident) return;
    const std::uint64_t clusters = (volume.bytes.end - volume.bytes.begin) / volume.clusterBytes;
    MftMap map;
    std::uint64_t mftByteAt = 0;
    for (const ntfs::Run& run : ntfs::RunsWithinVolume(ntfs::DecodeRunList(data->runList).runs, clusters)) {
      const std::uint64_t length = run.clusters * volume.clusterBytes;
      if (run.firstCluster)
        map.pieces.push_back({mftByteAt, length, volume.bytes.begin + *run.firstCluster * volume.clusterBytes});
      mftByteAt += length;
    }
    if (map.pieces.empty()) return;
    volume.mft = std::move(map);
    volume.heldComplete = ScanMft(volume);
  }

  void ReadFat(Volume& volume) {
    FsParams params = FsParams::ForPartition(volume.entry);
    ScanControl control;
    if (!ReadFsParams(reader_, params, control) || params.sectorsPerCluster == 0) return;
    volume.clusterBytes = std::uint64_t{params.sectorsPerCluster} * kSectorSize;
    volume.fat = params;
    volume.heldComplete = FatHeld(volume);
  }

  // Where on the disk a sector of an area says it lies: an MFT record by
  // its number, an index buffer by its folder and VCN, a FAT folder's first
  // cluster by its "." entry.
  static std::optional<std::uint64_t> SectorPlace(Bytes sector, const std::vector<Volume>& volumes) {
    for (const Volume& volume : volumes) {
      if (volume.mft && ntfs::IsRecord(sector)) {
        if (const auto number = ntfs::RecordNumber(sector)) return volume.mft->DiskByteOf(*number);
      }
      // Index buffers of 4 KiB count their VCNs in clusters up to that size.
      if (volume.mft && volume.clusterBytes <= 4096 && HasAscii(sector, 0, "INDX"))
        return IndexBufferPlace(sector, volume);
      if (volume.fat && fat::StartsWithDotEntries(sector)) {
        const FsParams& params = *volume.fat;
        std::uint32_t cluster = le16(sector, fat::kClusterLowOffset);
        if (params.fsType == kFat32) cluster |= std::uint32_t{le16(sector, fat::kClusterHighOffset)} << 16;
        if (cluster >= 2 && cluster <= fat::LastCluster(params)) return fat::ClusterSector(params, cluster) * kSectorSize;
      }
    }
    return std::nullopt;
  }

  // Where an index buffer lies: its folder (the folder its first entry's
  // name belongs to) and its VCN in that folder's index.
  static std::optional<std::uint64_t> IndexBufferPlace(Bytes sector, const Volume& volume) {
    const std::size_t entry = kIndexEntriesOffset + le32(sector, kIndexEntriesOffset);
    if (entry + kEntryStreamOffset + 8 > sector.size() || le16(sector, entry + kEntryStreamLengthOffset) < 8)
      return std::nullopt;
    const auto folder = static_cast<std::uint32_t>(le32(sector, entry + kEntryStreamOffset));
    const auto it = volume.indexClusters.find(folder);
    if (it == volume.indexClusters.end()) return std::nullopt;
    const std::uint64_t vcn = le64(sector, kIndexVcnOffset);
    return vcn < it->second.size() ? std::optional<std::uint64_t>(it->second[vcn]) : std::nullopt;
  }

  // Places every area whose sectors that name their place all name the same block.
  void AnchorByContent(const std::vector<Volume>& volumes) {
    if (std::none_of(volumes.begin(), volumes.end(), [](const Volume& v) { return v.mft || v.fat; })) return;
    const std::vector<std::uint64_t> areas = lost_.areas;
    for (const std::uint64_t area : areas) {
      std::map<std::uint64_t, std::size_t> votes;
      bool conflict = false;
      for (std::uint64_t chunk = 0; chunk < BlockSize() && !conflict; chunk += kChunk) {
        const std::vector<std::uint8_t> bytes =
            ReadFile(area + chunk, static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, BlockSize() - chunk)));
        for (std::size_t at = 0; at + kSectorSize <= bytes.size(); at += kSectorSize) {
          const auto place = SectorPlace(Bytes(bytes).subspan(at, kSectorSize), volumes);
          if (!place) continue;
          const std::uint64_t inBlock = chunk + at;
          if (*place < inBlock || (*place - inBlock) % BlockSize() != 0) {
            conflict = true;
            break;
          }
          ++votes[(*place - inBlock) / BlockSize()];
        }
      }
      if (!conflict && votes.size() == 1) Anchor(area, votes.begin()->first);
    }
  }

  // Clusters counted from base, the byte where cluster 0 would begin.
  static void AddClusters(const Volume& volume, std::uint64_t base, std::uint64_t first, std::uint64_t count,
                          std::vector<Extent>& held) {
    const std::uint64_t begin = base + first * volume.clusterBytes;
    held.push_back({begin, std::min(volume.bytes.end, begin + count * volume.clusterBytes)});
  }

  // Reads the whole MFT of an NTFS volume as placed so far: the disk bytes
  // it keeps data in (its boot sectors, the MFT and the runs of every
  // record, in use or deleted) and its folders' index buffers. False when
  // part of the MFT could not be read.
  bool ScanMft(Volume& volume) const {
    std::vector<Extent>& held = volume.held;
    held.push_back({volume.bytes.begin, volume.bytes.begin + kSectorSize});
    held.push_back({volume.bytes.end - kSectorSize, volume.bytes.end});
    const std::uint64_t clusters = (volume.bytes.end - volume.bytes.begin) / volume.clusterBytes;
    bool complete = true;
    // An MFT larger than the image file is a damaged run list: the file
    // could not hold it, and reading a claimed size could take for ever.
    std::uint64_t budget = lost_.file->Size();
    for (const MftMap::Piece& piece : volume.mft->pieces) {
      held.push_back({piece.diskByte, piece.diskByte + piece.length});
      if (piece.length > budget) return false;
      budget -= piece.length;
      for (std::uint64_t done = 0; done < piece.length; done += kChunk) {
        bool ok = true;
        std::vector<std::uint8_t> bytes = ReadDisk(
            piece.diskByte + done, static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, piece.length - done)), &ok);
        complete = complete && ok;
        for (std::size_t at = 0; at + kRecord <= bytes.size(); at += kRecord) {
          const std::span<std::uint8_t> record(bytes.data() + at, kRecord);
          if (!ntfs::IsRecord(record)) continue;
          ntfs::ApplyFixup(record);
          const std::optional<std::uint32_t> number = ntfs::RecordNumber(record);
          for (const std::size_t attribute : ntfs::AttributeOffsets(record)) {
            if (record[attribute + ntfs::kAttrNonResidentOffset] == 0) continue;
            const ntfs::AttributeValue value = ntfs::ReadAttributeValue(record, attribute);
            const bool index = le32(record, attribute + ntfs::kAttrTypeOffset) == ntfs::kIndexAllocation;
            for (const ntfs::Run& run : ntfs::RunsWithinVolume(ntfs::DecodeRunList(value.runList).runs, clusters)) {
              if (!run.firstCluster) continue;
              AddClusters(volume, volume.bytes.begin, *run.firstCluster, run.clusters, held);
              if (!index || !number) continue;
              std::vector<std::uint64_t>& buffers = volume.indexClusters[*number];
              for (std::uint64_t c = 0; c < run.clusters && buffers.size() < kMaxIndexClusters; ++c)
                buffers.push_back(volume.bytes.begin + (*run.firstCluster + c) * volume.clusterBytes);
            }
          }
        }
      }
    }
    return complete;
  }

  // The disk bytes a FAT volume keeps data in: its reserved sectors, the
  // parts of its FATs that name clusters, its root folder and every cluster
  // its first FAT names. False when part of that FAT could not be read.
  bool FatHeld(Volume& volume) const {
    std::vector<Extent>& held = volume.held;
    if (!volume.fat) return false;
    const FsParams& params = *volume.fat;
    held.push_back({volume.bytes.begin, params.firstFatLba * kSectorSize});
    if (params.fsType == kFat16) {
      held.push_back({params.rootStart * kSectorSize, (params.rootStart + params.rootDirSectors) * kSectorSize});
      if (fat::IsFat12(params)) return false;
    }
    const std::size_t entryBytes = params.fsType == kFat32 ? 4 : 2;
    const std::uint64_t lastCluster = fat::LastCluster(params);
    const std::uint64_t fatBytes = std::uint64_t{params.fatSize} * kSectorSize;
    const std::uint64_t tableBytes = std::min(fatBytes, (lastCluster + 1) * entryBytes);
    if (tableBytes > lost_.file->Size()) return false;
    const std::uint64_t firstFat = params.firstFatLba * kSectorSize;
    const std::uint64_t secondFat = (params.secondFatLba ? params.secondFatLba : params.firstFatLba + params.fatSize) * kSectorSize;
    bool complete = true;
    std::uint64_t runStart = 0;
    std::uint64_t runLength = 0;
    for (std::uint64_t done = 0; done < tableBytes; done += kChunk) {
      bool ok = true;
      const std::vector<std::uint8_t> bytes =
          ReadDisk(firstFat + done, static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, tableBytes - done)), &ok);
      complete = complete && ok;
      for (std::size_t sector = 0; sector < bytes.size(); sector += kSectorSize) {
        const auto end = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), sector + kSectorSize));
        if (std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(sector), end, [](std::uint8_t b) { return b == 0; }))
          continue;
        held.push_back({firstFat + done + sector, firstFat + done + sector + kSectorSize});
        held.push_back({secondFat + done + sector, secondFat + done + sector + kSectorSize});
      }
      for (std::size_t at = 0; at + entryBytes <= bytes.size(); at += entryBytes) {
        const std::uint64_t cluster = (done + at) / entryBytes;
        const std::uint32_t value = entryBytes == 4 ? le32(bytes, at) & 0x0FFFFFFF : le16(bytes, at);
        if (cluster < 2 || value == 0) continue;
        if (runLength != 0 && runStart + runLength == cluster) {
          ++runLength;
          continue;
        }
        if (runLength != 0) AddClusters(volume, params.clusterBase * kSectorSize, runStart, runLength, held);
        runStart = cluster;
        runLength = 1;
      }
    }
    if (runLength != 0) AddClusters(volume, params.clusterBase * kSectorSize, runStart, runLength, held);
    return complete;
  }

  // What each disk block holds as the partition table and the volumes tell.
  std::vector<BlockUse> BlockUses(const std::vector<Volume>& volumes) const {
    std::vector<BlockUse> use(BlockCount(), BlockUse::kUnknown);
    if (volumes.empty() || use.empty()) return use;
    const std::uint64_t size = BlockSize();
    const auto overlaps = [&](std::uint64_t block, const Extent& e) {
      return e.begin < (block + 1) * size && block * size < e.end;
    };
    const auto inside = [&](std::uint64_t block, const Extent& e) {
      return e.begin <= block * size && (block + 1) * size <= e.end;
    };
    // Space outside every volume holds nothing but the partition tables,
    // at the disk's start and (a GPT's copy) its end.
    for (std::uint64_t block = 0; block < use.size(); ++block)
      if (std::none_of(volumes.begin(), volumes.end(), [&](const Volume& v) { return overlaps(block, v.bytes); }))
        use[block] = BlockUse::kFree;
    use.front() = BlockUse::kHeld;
    if (boot::LooksLikeGptHeader(ReadDisk(kSectorSize, kSectorSize))) use.back() = BlockUse::kHeld;
    for (const Volume& volume : volumes) {
      if (volume.heldComplete) {
        for (std::uint64_t block = 0; block < use.size(); ++block)
          if (use[block] == BlockUse::kUnknown && inside(block, volume.bytes)) use[block] = BlockUse::kFree;
      }
      for (const Extent& extent : volume.held) {
        if (extent.end <= extent.begin) continue;
        const std::uint64_t last = std::min<std::uint64_t>((extent.end - 1) / size, use.size() - 1);
        for (std::uint64_t block = extent.begin / size; block <= last; ++block) use[block] = BlockUse::kHeld;
      }
    }
    return use;
  }

  VirtualDisk& disk_;
  SectorReader reader_;
  LostBlocks lost_;
  std::uint64_t cleared_ = 0;
};

}  // namespace

std::uint64_t PlaceLostBlocks(VirtualDisk& disk) {
  Placer placer(disk);
  const std::uint64_t placed = placer.Run();
  if (placed == 0) return 0;
  std::string action = std::to_string(placed) +
                       " placed where the volume inside shows they belong (its partition table, boot sectors, MFT "
                       "record numbers, folders and allocation)";
  if (placer.Unplaced() != 0) action += "; " + std::to_string(placer.Unplaced()) + " left unplaced";
  if (placer.Cleared() != 0)
    action += "; " + std::to_string(placer.Cleared()) + " lost entries read as zeros, as the volume keeps nothing there";
  disk.AddRepair({"BAT", std::to_string(placed + placer.Unplaced()) + " blocks in the file were still unplaced", action});
  return placed;
}

}  // namespace dravik
