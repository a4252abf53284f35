#include "fs/fat/FatParams.h"

#include <optional>
#include <string>
#include <vector>

#include "disk/BootSector.h"
#include "disk/SectorReader.h"
#include "disk/SectorWalk.h"
#include "util/Diagnostics.h"
#include "util/ScanControl.h"

namespace dravik::fat {

namespace {

constexpr std::uint8_t kMediaDescriptor = 0xF8;

using Sector = std::vector<std::uint8_t>;

void SetFatPositions(FsParams& p) {
  p.firstFatLba = p.partitionStart + p.reservedSectors;
  p.secondFatLba = p.firstFatLba + p.fatSize;
}

// The second FAT, where the boot sector's fields put it, begins with the
// media byte.
bool SecondFatStartsWithMedia(const SectorReader& reader, const FsParams& p, Diagnostics& diagnostics) {
  const std::uint64_t lba = std::uint64_t{p.partitionStart} + p.reservedSectors + p.fatSize;
  if (reader.ReadSector(lba)[0] == kMediaDescriptor) return true;
  diagnostics.Add(lba,
                  "the second FAT does not begin with the media byte F8 here (reserved sectors " +
                      std::to_string(p.reservedSectors) + ", FAT size " + std::to_string(p.fatSize) + ")",
                  "damaged boot sector fields or a damaged FAT");
  return false;
}

void TakeFat32Fields(Bytes sector, FsParams& p) {
  const boot::BootSector b = boot::Decode(sector);
  p.rootStart = b.rootCluster;
  p.reservedSectors = b.reservedSectors;
  p.sectorsPerCluster = b.sectorsPerCluster;
  p.fatSize = b.fatSize32;
}

bool ReadFat32(const SectorReader& reader, FsParams& p, Diagnostics& diagnostics) {
  const std::uint64_t backupLba = std::uint64_t{p.partitionStart} + boot::kFat32BackupSector;
  Sector boot = reader.ReadSector(p.partitionStart);
  if (!boot::CheckSignature(boot, p.partitionStart, diagnostics)) boot = reader.ReadSector(backupLba);
  if (!boot::CheckSignature(boot, backupLba, diagnostics)) return false;
  TakeFat32Fields(boot, p);
  if (!SecondFatStartsWithMedia(reader, p, diagnostics)) {
    TakeFat32Fields(reader.ReadSector(backupLba), p);
    if (!SecondFatStartsWithMedia(reader, p, diagnostics)) return false;
  }
  p.rootDirSectors = 0;
  p.clusterBase = p.partitionStart + p.reservedSectors + 2 * p.fatSize - 2 * p.sectorsPerCluster;
  SetFatPositions(p);
  return true;
}

bool ReadFat16(const SectorReader& reader, FsParams& p, Diagnostics& diagnostics) {
  const Sector sector = reader.ReadSector(p.partitionStart);
  if (!boot::CheckSignature(sector, p.partitionStart, diagnostics)) return false;
  const boot::BootSector b = boot::Decode(sector);
  p.reservedSectors = b.reservedSectors;
  p.fatSize = b.fatSize16;
  p.sectorsPerCluster = b.sectorsPerCluster;
  if (!SecondFatStartsWithMedia(reader, p, diagnostics)) return false;
  p.rootDirSectors = b.rootEntries / 16u;
  p.rootStart = p.partitionStart + 2 * p.fatSize + p.reservedSectors;
  p.clusterBase = p.partitionStart + p.reservedSectors + 2 * p.fatSize + p.rootDirSectors - 2 * p.sectorsPerCluster;
  SetFatPositions(p);
  return true;
}


// A sector that starts a directory: "." and ".." as its first two entries.
bool IsDirectoryStart(Bytes sector) {
  return HasAscii(sector, 0, ".          ") && HasAscii(sector, 32, "..         ");
}

std::uint64_t DirectoryCluster(Bytes sector, bool fat32) {
  const std::uint64_t low = le16(sector, 26);
  return fat32 ? low + 65536ULL * le16(sector, 20) : low;
}

// The first sectors of the volume are searched for the first FAT, which
// begins with the media byte and 0xFF.
std::uint32_t FindReservedSectors(const SectorReader& reader, const FsParams& p, bool fat32) {
  const std::uint32_t from = fat32 ? 30 : 0;
  const std::uint32_t to = fat32 ? 59 : 9;
  for (std::uint32_t offset = from; offset <= to; ++offset) {
    const Sector sector = reader.ReadSector(std::uint64_t{p.partitionStart} + offset);
    if (sector[0] == kMediaDescriptor && sector[1] == 0xFF) return offset;
  }
  return fat32 ? 32 : 1;
}

struct DirectoryStart {
  std::int64_t sector;
  std::int64_t cluster;
};

// Two directories give the cluster size and base; the FAT size follows from
// how far the data area lies from the reserved sectors.
bool SolveFromDirectories(const DirectoryStart& a, const DirectoryStart& b, bool fat32, FsParams& p) {
  const std::int64_t clusters = b.cluster - a.cluster;
  const std::int64_t sectors = b.sector - a.sector;
  if (clusters == 0 || sectors % clusters != 0) return false;
  const std::int64_t spc = sectors / clusters;
  if (spc <= 0 || !boot::PowerOfTwoClusterSize(static_cast<std::uint64_t>(spc))) return false;
  if (b.cluster >= a.sector || b.cluster >= b.sector) return false;
  const std::int64_t base = a.sector - spc * a.cluster;
  if (base != b.sector - spc * b.cluster || base < 0) return false;
  const std::int64_t rootSectors = fat32 ? 0 : 32;
  const auto fatArea = [&](const DirectoryStart& d) {
    return d.sector - (d.cluster - 2) * spc - static_cast<std::int64_t>(p.partitionStart) - p.reservedSectors -
           rootSectors;
  };
  const std::int64_t d = fatArea(a);
  if (d != fatArea(b) || d <= 0) return false;
  p.sectorsPerCluster = static_cast<std::uint32_t>(spc);
  p.clusterBase = static_cast<std::uint64_t>(base);
  p.fatSize = static_cast<std::uint32_t>(d / 2);
  SetFatPositions(p);
  if (!fat32) p.rootStart = p.secondFatLba + p.fatSize;
  return true;
}

}  // namespace

bool ReadFatParams(const SectorReader& reader, FsParams& params, Diagnostics& diagnostics) {
  return params.fsType == kFat32 ? ReadFat32(reader, params, diagnostics) : ReadFat16(reader, params, diagnostics);
}

bool CalculateFatParams(const SectorReader& reader, FsParams& params, ScanControl& control, Diagnostics& diagnostics) {
  const bool fat32 = params.fsType == kFat32;
  params.reservedSectors = FindReservedSectors(reader, params, fat32);
  if (fat32) {
    params.rootStart = 2;
    params.rootDirSectors = 0;
  } else {
    params.rootDirSectors = 32;
  }
  if (params.partitionSectors == 0) {
    diagnostics.Add(params.partitionStart, "the partition's length is 0, so there is no data area to search",
                    "a damaged partition table entry");
    control.RequestStop();
    return false;
  }

  // A damaged table can give a length far past the disk's end; the
  // sectors there read as zeros and hold no folder.
  const std::uint64_t diskSectors = reader.SectorCount();
  const std::uint64_t sectors = std::min<std::uint64_t>(
      params.partitionSectors, diskSectors > params.partitionStart ? diskSectors - params.partitionStart : 0);
  const std::uint64_t clusterLimit = fat32 ? 0xFFFFFFFFULL : 0xFFFFULL;
  // Sectors the image does not hold read as zeros and begin no folder: the
  // walk passes over them.
  constexpr std::uint32_t kReadSectors = 256;
  constexpr std::uint32_t kChunkReads = 8;
  const WalkShape shape{params.partitionStart, params.partitionStart + sectors, kReadSectors, kChunkReads, false, 0};
  std::optional<DirectoryStart> first;
  std::uint64_t folderStarts = 0;
  bool solved = false;
  // Each chunk's folder starts, in sector order, are found on a worker; the
  // first two of different clusters that solve the layout end the walk.
  WalkSectors<std::vector<DirectoryStart>>(
      reader, shape, control,
      [&](const SectorChunk& chunk, Bytes bytes) {
        std::vector<DirectoryStart> starts;
        for (std::uint32_t i = 0; i < chunk.sectors; ++i) {
          const Bytes sector = bytes.subspan(std::size_t{i} * kSectorSize, kSectorSize);
          if (!IsDirectoryStart(sector)) continue;
          const std::uint64_t cluster = DirectoryCluster(sector, fat32);
          if (cluster <= 1 || cluster >= clusterLimit) continue;
          starts.push_back({static_cast<std::int64_t>(chunk.first + i), static_cast<std::int64_t>(cluster)});
        }
        return starts;
      },
      [&](const SectorChunk& chunk, std::vector<DirectoryStart>&& starts) {
        auto next = starts.begin();
        for (std::uint64_t s = chunk.first; s < chunk.first + chunk.sectors; ++s) {
          const std::uint64_t done = s - params.partitionStart;
          if (done % 500 == 0) {
            control.ReportPercent(static_cast<int>(100ULL * done / sectors));
            if (!control.Continue()) return false;
          }
          if (next == starts.end() || static_cast<std::uint64_t>(next->sector) != s) continue;
          const DirectoryStart here = *next++;
          ++folderStarts;
          if (!first) {
            first = here;
          } else if (here.cluster != first->cluster && SolveFromDirectories(*first, here, fat32, params)) {
            solved = true;
            return false;
          }
        }
        return true;
      });
  if (solved) return true;
  if (!control.StopRequested())
    diagnostics.Add(params.partitionStart,
                    folderStarts < 2 ? "fewer than two folder starts (\".\" and \"..\") in the data area: " +
                                           std::to_string(folderStarts) + " found"
                                     : "no two of the " + std::to_string(folderStarts) +
                                           " folder starts found give one cluster size and cluster base",
                    "the data area was overwritten, or the volume is not the FAT kind its partition names");
  control.RequestStop();
  return false;
}

}  // namespace dravik::fat
