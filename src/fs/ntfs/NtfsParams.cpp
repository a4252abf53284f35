#include "fs/ntfs/NtfsParams.h"

#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "disk/BootSector.h"
#include "disk/SectorReader.h"
#include "util/Diagnostics.h"

namespace dravik::ntfs {

namespace {

using Sector = std::vector<std::uint8_t>;

// NTFS keeps a copy of its boot sector in the partition's last sector.
struct NtfsBoot {
  boot::BootSector sector;
  boot::BootSector other;  // the copy not chosen
  std::uint64_t sectorLba = 0;
  std::uint64_t otherLba = 0;
};

std::optional<NtfsBoot> ReadNtfsBoot(const SectorReader& reader, const FsParams& p, Diagnostics& diagnostics) {
  const Sector first = reader.ReadSector(p.partitionStart);
  const Sector last = reader.ReadSector(p.lastSector);
  if (boot::CheckSignature(first, p.partitionStart, diagnostics))
    return NtfsBoot{boot::Decode(first), boot::Decode(last), p.partitionStart, p.lastSector};
  if (boot::CheckSignature(last, p.lastSector, diagnostics))
    return NtfsBoot{boot::Decode(last), boot::Decode(first), p.lastSector, p.partitionStart};
  return std::nullopt;
}

// The sector of the MFT (or its mirror) that a boot sector names, when it
// begins with "FILE"; otherwise the same from the other copy; otherwise 0.
std::uint64_t FindRecordTable(const SectorReader& reader, const FsParams& p, const NtfsBoot& boot,
                              std::uint64_t boot::BootSector::*clusterField, const char* table,
                              Diagnostics& diagnostics) {
  const std::pair<const boot::BootSector*, std::uint64_t> copies[] = {{&boot.sector, boot.sectorLba},
                                                                      {&boot.other, boot.otherLba}};
  for (const auto& [copy, copyLba] : copies) {
    const std::uint64_t spc =
        boot::PowerOfTwoClusterSize(copy->sectorsPerCluster) ? copy->sectorsPerCluster : p.sectorsPerCluster;
    const std::uint64_t cluster = copy->*clusterField;
    if (spc == 0 || cluster > (std::numeric_limits<std::uint64_t>::max() - p.partitionStart) / spc) {
      diagnostics.Add(copyLba, std::string("the boot sector's ") + table + " cluster " + std::to_string(cluster) +
                                   " lies past any disk", "a damaged boot sector");
      continue;
    }
    const std::uint64_t lba = cluster * spc + p.partitionStart;
    if (HasAscii(reader.ReadSector(lba), 0, "FILE")) return lba;
    diagnostics.Add(lba, std::string("no \"FILE\" record where the boot sector at ") + std::to_string(copyLba) +
                             " puts the " + table,
                    "a damaged boot sector, or the " + std::string(table) + " was overwritten");
  }
  return 0;
}

}  // namespace

bool ReadNtfsParams(const SectorReader& reader, FsParams& p, Diagnostics& diagnostics) {
  const auto boot = ReadNtfsBoot(reader, p, diagnostics);
  if (!boot) return false;
  std::uint32_t spc = boot->sector.sectorsPerCluster;
  if (!boot::CheckClusterSize(spc, boot->sectorLba, diagnostics)) spc = boot->other.sectorsPerCluster;
  if (!boot::CheckClusterSize(spc, boot->otherLba, diagnostics)) return false;
  p.sectorsPerCluster = spc;
  p.mftStart = FindRecordTable(reader, p, *boot, &boot::BootSector::mftCluster, "MFT", diagnostics);
  p.mftMirrorStart = FindRecordTable(reader, p, *boot, &boot::BootSector::mirrorCluster, "MFT mirror", diagnostics);
  if (p.mftStart == 0 && p.mftMirrorStart == 0) return false;
  // The size is read as a 32-bit field, the byte and the three after it.
  const std::uint32_t indexRecord =
      static_cast<std::uint8_t>(boot->sector.clustersPerIndexRecord) | boot->sector.indexRecordUnused << 8;
  p.indexRecordSectors = boot::IndexRecordSectors(indexRecord, spc);
  p.clusterBase = p.partitionStart;
  p.mftRecordSectors = 2;
  return true;
}

}  // namespace dravik::ntfs
