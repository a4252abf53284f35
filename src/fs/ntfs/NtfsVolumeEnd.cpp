#include "fs/ntfs/NtfsVolumeEnd.h"

#include <algorithm>
#include <optional>
#include <vector>

#include "disk/BootSector.h"
#include "disk/SectorReader.h"
#include "fs/ntfs/MftRecord.h"

namespace dravik {

namespace {

constexpr std::uint64_t kBitsPerByte = 8;

std::optional<std::uint64_t> BackupBootSector(const SectorReader& reader, const ExtensiveFindings& findings,
                                              const NtfsVolumeShape& volume, std::uint64_t limit) {
  std::vector<std::uint8_t> sector(kSectorSize);
  for (const std::uint64_t s : findings.bootSectors) {
    if (s <= volume.start || s > limit || !reader.Read(s, 1, sector)) continue;
    const auto fields = boot::ReadNtfsBootFields(sector);
    if (fields && fields->sectorsPerCluster == volume.sectorsPerCluster && s - volume.start == fields->totalSectors)
      return s;
  }
  return std::nullopt;
}

// The volume's copy of a system record: where its MFT keeps it, else the
// first found after its start.
const NtfsSystemRecord* SystemRecord(const ExtensiveFindings& findings, const NtfsVolumeShape& volume,
                                     std::uint32_t number, std::uint64_t limit) {
  const NtfsSystemRecord* first = nullptr;
  for (const NtfsSystemRecord& system : findings.systemRecords) {
    if (system.number != number || system.sector <= volume.start || system.sector > limit) continue;
    if (volume.mftStart != 0 && system.sector == volume.mftStart + std::uint64_t{number} * ntfs::kRecordSectors)
      return &system;
    if (!first) first = &system;
  }
  return first;
}

// One past the highest cluster that the records anchored between the start
// and limit use.
std::uint64_t UsedClusterEnd(const ExtensiveFindings& findings, const NtfsVolumeShape& volume, std::uint64_t limit) {
  std::uint64_t end = 0;
  for (const MftAnchor& anchor : findings.mftAnchors)
    if (anchor.sector >= volume.start && anchor.sector <= limit) end = std::max(end, anchor.clusterEnd);
  return end;
}

}  // namespace

std::uint64_t NtfsVolumeEnd(const SectorReader& reader, const ExtensiveFindings& findings,
                            const NtfsVolumeShape& volume, std::uint64_t limit) {
  if (const auto backup = BackupBootSector(reader, findings, volume, limit)) return *backup;
  const std::uint64_t clusterBytes = std::uint64_t{volume.sectorsPerCluster} * kSectorSize;
  const auto lastSectorOf = [&](std::uint64_t clusters) {
    return volume.start + clusters * volume.sectorsPerCluster - 1;
  };
  const auto* bad = SystemRecord(findings, volume, NtfsSystemRecord::kBadClusters, limit);
  if (bad && bad->dataSize >= clusterBytes) return std::min(lastSectorOf(bad->dataSize / clusterBytes), limit);
  const std::uint64_t used = UsedClusterEnd(findings, volume, limit);
  const auto* bitmap = SystemRecord(findings, volume, NtfsSystemRecord::kBitmap, limit);
  if (bitmap && bitmap->dataSize > 0) {
    const std::uint64_t room = (limit - volume.start) / volume.sectorsPerCluster / kBitsPerByte;
    const std::uint64_t bound =
        bitmap->dataSize > room ? limit : std::min(lastSectorOf(bitmap->dataSize * kBitsPerByte), limit);
    return used > 0 ? std::max(bound, lastSectorOf(used)) : bound;
  }
  return used > 0 ? lastSectorOf(used) : limit;
}

}  // namespace dravik
