#include "disk/FsParamsReader.h"

#include <limits>
#include <optional>
#include <vector>

#include "disk/BootSector.h"
#include "disk/SectorReader.h"
#include "disk/SectorWalk.h"
#include "util/ScanControl.h"

namespace dravik {

namespace {

// BIOS parameter block fields.
constexpr std::size_t kReservedSectorsOffset = 14;
constexpr std::size_t kSectorsPerClusterOffset = 13;
constexpr std::size_t kRootEntryCountOffset = 17;
constexpr std::size_t kFat16SizeOffset = 22;
constexpr std::size_t kFat32SizeOffset = 36;
constexpr std::size_t kFat32RootClusterOffset = 44;
constexpr std::size_t kNtfsMftClusterOffset = 48;
constexpr std::size_t kNtfsMirrorClusterOffset = 56;
constexpr std::size_t kNtfsIndexRecordOffset = 68;

constexpr std::uint32_t kFat32BackupBootOffset = 6;
constexpr std::uint8_t kMediaDescriptor = 0xF8;
constexpr std::uint32_t kNtfsIndexRecordSize4K = 0xF4;

using Sector = std::vector<std::uint8_t>;

Sector ReadSector(const SectorReader& reader, std::uint64_t lba) {
  Sector sector(kSectorSize);
  reader.Read(lba, 1, sector);
  return sector;
}

bool IsClusterSize(std::uint64_t sectors) {
  return sectors >= 1 && sectors <= 128 && (sectors & (sectors - 1)) == 0;
}

void SetFatPositions(FsParams& p) {
  p.firstFatLba = p.partitionStart + p.reservedSectors;
  p.secondFatLba = p.firstFatLba + p.fatSize;
}

bool SecondFatStartsWithMedia(const SectorReader& reader, const FsParams& p) {
  return ReadSector(reader, std::uint64_t{p.partitionStart} + p.reservedSectors + p.fatSize)[0] == kMediaDescriptor;
}

void TakeFat32Fields(Bytes boot, FsParams& p) {
  p.rootStart = le32(boot, kFat32RootClusterOffset);
  p.reservedSectors = le16(boot, kReservedSectorsOffset);
  p.sectorsPerCluster = u8(boot, kSectorsPerClusterOffset);
  p.fatSize = le32(boot, kFat32SizeOffset);
}

bool ReadFat32(const SectorReader& reader, FsParams& p) {
  const std::uint64_t backupLba = std::uint64_t{p.partitionStart} + kFat32BackupBootOffset;
  Sector boot = ReadSector(reader, p.partitionStart);
  if (!boot::HasSignature(boot)) boot = ReadSector(reader, backupLba);
  if (!boot::HasSignature(boot)) return false;
  TakeFat32Fields(boot, p);
  if (!SecondFatStartsWithMedia(reader, p)) {
    TakeFat32Fields(ReadSector(reader, backupLba), p);
    if (!SecondFatStartsWithMedia(reader, p)) return false;
  }
  p.rootDirSectors = 0;
  p.clusterBase = p.partitionStart + p.reservedSectors + 2 * p.fatSize - 2 * p.sectorsPerCluster;
  SetFatPositions(p);
  return true;
}

bool ReadFat16(const SectorReader& reader, FsParams& p) {
  const Sector boot = ReadSector(reader, p.partitionStart);
  if (!boot::HasSignature(boot)) return false;
  p.reservedSectors = le16(boot, kReservedSectorsOffset);
  p.fatSize = le16(boot, kFat16SizeOffset);
  p.sectorsPerCluster = u8(boot, kSectorsPerClusterOffset);
  if (!SecondFatStartsWithMedia(reader, p)) return false;
  p.rootDirSectors = le16(boot, kRootEntryCountOffset) / 16u;
  p.rootStart = p.partitionStart + 2 * p.fatSize + p.reservedSectors;
  p.clusterBase = p.partitionStart + p.reservedSectors + 2 * p.fatSize + p.rootDirSectors - 2 * p.sectorsPerCluster;
  SetFatPositions(p);
  return true;
}

// NTFS keeps a copy of its boot sector in the partition's last sector.
struct NtfsBoot {
  Sector sector;
  Sector other;  // the copy not chosen
};

std::optional<NtfsBoot> ReadNtfsBoot(const SectorReader& reader, const FsParams& p) {
  Sector first = ReadSector(reader, p.partitionStart);
  Sector last = ReadSector(reader, p.lastSector);
  if (boot::HasSignature(first)) return NtfsBoot{std::move(first), std::move(last)};
  if (boot::HasSignature(last)) return NtfsBoot{std::move(last), std::move(first)};
  return std::nullopt;
}

// The sector of the MFT (or its mirror) that a boot sector names, when it
// begins with "FILE"; otherwise the same from the other copy; otherwise 0.
std::uint64_t FindRecordTable(const SectorReader& reader, const FsParams& p, const NtfsBoot& boot,
                              std::size_t clusterOffset) {
  for (const Sector* copy : {&boot.sector, &boot.other}) {
    const std::uint64_t spc = IsClusterSize(u8(*copy, kSectorsPerClusterOffset)) ? u8(*copy, kSectorsPerClusterOffset)
                                                                                 : p.sectorsPerCluster;
    const std::uint64_t cluster = le64(*copy, clusterOffset);
    if (spc == 0 || cluster > (std::numeric_limits<std::uint64_t>::max() - p.partitionStart) / spc) continue;
    const std::uint64_t lba = cluster * spc + p.partitionStart;
    if (HasAscii(ReadSector(reader, lba), 0, "FILE")) return lba;
  }
  return 0;
}

bool ReadNtfs(const SectorReader& reader, FsParams& p) {
  const auto boot = ReadNtfsBoot(reader, p);
  if (!boot) return false;
  std::uint32_t spc = u8(boot->sector, kSectorsPerClusterOffset);
  if (!IsClusterSize(spc)) spc = u8(boot->other, kSectorsPerClusterOffset);
  if (!IsClusterSize(spc)) return false;
  p.sectorsPerCluster = spc;
  p.mftStart = FindRecordTable(reader, p, *boot, kNtfsMftClusterOffset);
  p.mftMirrorStart = FindRecordTable(reader, p, *boot, kNtfsMirrorClusterOffset);
  if (p.mftStart == 0 && p.mftMirrorStart == 0) return false;
  const std::uint32_t indexRecord = le32(boot->sector, kNtfsIndexRecordOffset);
  p.indexRecordSectors = indexRecord == kNtfsIndexRecordSize4K ? 8 : indexRecord * spc;
  p.clusterBase = p.partitionStart;
  p.mftRecordSectors = 2;
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
    const Sector sector = ReadSector(reader, std::uint64_t{p.partitionStart} + offset);
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
  if (spc <= 0 || !IsClusterSize(static_cast<std::uint64_t>(spc))) return false;
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

bool ReadFsParams(const SectorReader& reader, FsParams& params, const ScanControl& control) {
  if (control.StopRequested()) return false;
  switch (params.fsType) {
    case kFat32: return ReadFat32(reader, params);
    case kFat16: return ReadFat16(reader, params);
    case kNtfs: return ReadNtfs(reader, params);
    default: return true;
  }
}

bool CalculateFsParams(const SectorReader& reader, FsParams& params, ScanControl& control) {
  control.Report(kCalculatingParamsText, 0);
  const bool fat32 = params.fsType == kFat32;
  if (params.fsType != kFat16 && !fat32) {
    control.RequestStop();
    return false;
  }
  params.reservedSectors = FindReservedSectors(reader, params, fat32);
  if (fat32) {
    params.rootStart = 2;
    params.rootDirSectors = 0;
  } else {
    params.rootDirSectors = 32;
  }
  if (params.partitionSectors == 0) {
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
  control.RequestStop();
  return false;
}

}  // namespace dravik
