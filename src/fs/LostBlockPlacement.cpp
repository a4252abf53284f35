#include "fs/LostBlockPlacement.h"

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk/BootSector.h"
#include "disk/PartitionTable.h"
#include "disk/SectorReader.h"
#include "fs/FamilyRegistry.h"
#include "fs/FileSystemFamily.h"
#include "fs/VolumeLayout.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {

namespace {

// Each round reads what the last one placed; the next round may then read
// structures (an MFT, a FAT) that lay in blocks placed just before.
constexpr std::size_t kRounds = 4;

// A volume as far as the placing needs it: its bytes, and its layout when
// its family could read one.
struct Volume {
  DiskExtent bytes;
  std::unique_ptr<VolumeLayout> layout;
};

class Placer final : public PlacementView {
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

  std::uint64_t DiskSize() const override { return disk_.Size(); }
  std::uint64_t FileSize() const override { return lost_.file->Size(); }
  const SectorReader& Reader() const override { return reader_; }

  std::vector<std::uint8_t> ReadDisk(std::uint64_t at, std::size_t size, bool* ok = nullptr) const override {
    std::vector<std::uint8_t> bytes(size);
    bool read = disk_.ReadAt(at, bytes);
    for (std::uint64_t block = at / BlockSize(); size != 0 && block <= (at + size - 1) / BlockSize(); ++block)
      read = read && !IsOpenBlock(block);
    if (ok) *ok = read;
    return bytes;
  }

  void AnchorSector(std::uint64_t byte, const std::function<bool(Bytes)>& test) override {
    if (lost_.areas.empty() || !IsOpenBlock(byte / BlockSize())) return;
    if (const auto area = FindArea(byte % BlockSize(), test, false)) Anchor(*area, byte / BlockSize());
  }

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
  // the first thing done to a new disk), so it leads the file; else it is
  // the only area that shows a disk's start.
  void PlaceFirstBlock() {
    if (!IsOpenBlock(0) || lost_.areas.empty()) return;
    const std::vector<DiskStartMark> marks = DiskStartMarks();
    for (const DiskStartMark& mark : marks) {
      if (!mark.test(ReadFile(lost_.areas.front() + mark.sector * kSectorSize, kSectorSize))) continue;
      Anchor(lost_.areas.front(), 0);
      return;
    }
    for (const DiskStartMark& mark : marks) {
      if (const auto area = FindArea(mark.sector * kSectorSize, mark.test, false)) {
        Anchor(*area, 0);
        return;
      }
    }
  }

  // Each partition's boot sector is placed at its start when exactly one
  // area holds one of the partition's kind there; then its family reads
  // what it can of the volume as placed so far.
  std::vector<Volume> FindVolumes() {
    std::vector<Volume> volumes;
    PartitionTable table;
    ReadDriveVolumes(reader_, table);
    for (const PartitionEntry& entry : table.Entries()) {
      Volume volume;
      volume.bytes = {entry.start * kSectorSize, (entry.start + entry.sectors) * kSectorSize};
      const std::uint16_t code = entry.code;
      AnchorSector(volume.bytes.begin,
                   [code](Bytes sector) { return boot::RecogniseBootSector(sector).code == code; });
      if (const auto family = FamilyOfCode(entry.code)) volume.layout = FamilyOf(*family).ReadVolumeLayout(entry, *this);
      volumes.push_back(std::move(volume));
    }
    return volumes;
  }

  // What a sector of an area says of its place, by the first volume whose
  // structures it is one of, or that holds copies of them.
  static SectorPlace SectorPlaceOf(Bytes sector, const std::vector<Volume>& volumes) {
    for (const Volume& volume : volumes) {
      if (!volume.layout) continue;
      const SectorPlace place = volume.layout->PlaceOf(sector);
      if (place.claimed || place.copies) return place;
    }
    return {};
  }

  // Places every area whose sectors that name their place all name the same
  // block, unless one of its sectors shows that it holds copies of others.
  void AnchorByContent(const std::vector<Volume>& volumes) {
    if (std::none_of(volumes.begin(), volumes.end(), [](const Volume& v) { return v.layout != nullptr; })) return;
    const std::vector<std::uint64_t> areas = lost_.areas;
    for (const std::uint64_t area : areas) {
      std::map<std::uint64_t, std::size_t> votes;
      bool conflict = false;
      for (std::uint64_t chunk = 0; chunk < BlockSize() && !conflict; chunk += kReadChunk) {
        const std::vector<std::uint8_t> bytes =
            ReadFile(area + chunk, static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, BlockSize() - chunk)));
        for (std::size_t at = 0; at + kSectorSize <= bytes.size(); at += kSectorSize) {
          const SectorPlace place = SectorPlaceOf(Bytes(bytes).subspan(at), volumes);
          if (!place.byte && !place.copies) continue;
          const std::uint64_t inBlock = chunk + at;
          if (place.copies || *place.byte < inBlock || (*place.byte - inBlock) % BlockSize() != 0) {
            conflict = true;
            break;
          }
          ++votes[(*place.byte - inBlock) / BlockSize()];
        }
      }
      if (!conflict && votes.size() == 1) Anchor(area, votes.begin()->first);
    }
  }

  // What each disk block holds as the partition table and the volumes tell.
  std::vector<BlockUse> BlockUses(const std::vector<Volume>& volumes) const {
    std::vector<BlockUse> use(BlockCount(), BlockUse::kUnknown);
    if (volumes.empty() || use.empty()) return use;
    const std::uint64_t size = BlockSize();
    const auto overlaps = [&](std::uint64_t block, const DiskExtent& e) {
      return e.begin < (block + 1) * size && block * size < e.end;
    };
    const auto inside = [&](std::uint64_t block, const DiskExtent& e) {
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
      if (!volume.layout) continue;
      if (volume.layout->HeldComplete()) {
        for (std::uint64_t block = 0; block < use.size(); ++block)
          if (use[block] == BlockUse::kUnknown && inside(block, volume.bytes)) use[block] = BlockUse::kFree;
      }
      for (const DiskExtent& extent : volume.layout->Held()) {
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
