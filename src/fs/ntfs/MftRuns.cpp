#include "fs/ntfs/MftRuns.h"

#include <algorithm>

#include "disk/SectorReader.h"
#include "fs/ntfs/MftRecord.h"
#include "fs/ntfs/RunList.h"

namespace dravik::ntfs {

namespace {

constexpr std::uint32_t kRootRecord = 5;
constexpr std::size_t kMaxExtensions = 50;
constexpr std::uint64_t kMaxAttributeListBytes = 1024 * 1024;

bool ReadRecordAt(const SectorReader& reader, std::uint64_t lba, std::vector<std::uint8_t>& buffer) {
  buffer.assign(kRecordSize, 0);
  reader.Read(lba, kRecordSectors, buffer);
  if (!IsRecord(buffer)) return false;
  ApplyFixup(buffer);
  return true;
}

}  // namespace

std::vector<std::uint32_t> AttributeListRecords(const SectorReader& reader, const FsParams& params, Bytes record,
                                                std::optional<std::uint32_t> wantedType) {
  const auto list = FindAttributeList(record);
  if (!list) return {};
  if (list->resident) return ListedRecords(list->value, wantedType);
  // A list kept in clusters: read its runs, no further than its size.
  const std::uint64_t size = std::min(list->size, kMaxAttributeListBytes);
  std::vector<std::uint8_t> bytes;
  const std::uint64_t clusterBytes = std::uint64_t{params.sectorsPerCluster} * kSectorSize;
  for (const Run& run : DecodeRunList(list->runList).runs) {
    if (bytes.size() >= size || clusterBytes == 0) break;
    const std::uint64_t take = std::min(run.clusters * clusterBytes, (size - bytes.size() + clusterBytes - 1) / clusterBytes * clusterBytes);
    const std::size_t at = bytes.size();
    bytes.resize(static_cast<std::size_t>(at + take), 0);
    if (run.firstCluster)
      reader.Read(params.clusterBase + *run.firstCluster * params.sectorsPerCluster,
                  static_cast<std::uint32_t>(take / kSectorSize), std::span(bytes).subspan(at));
  }
  bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), size)));
  return ListedRecords(bytes, wantedType);
}

// The root folder's record must be readable too; then record 0's $DATA runs
// are taken, and the runs of the extension records its attribute list names.
MftRunTable MftRunTable::Read(const SectorReader& reader, const FsParams& params) {
  MftRunTable table;
  std::vector<std::uint8_t> record;
  if (!ReadRecordAt(reader, std::uint64_t{params.mftStart} + kRootRecord * kRecordSectors, record)) return table;
  if (!ReadRecordAt(reader, params.mftStart, record)) return table;
  table.AppendRuns(reader, params, params.mftStart);
  std::vector<std::uint32_t> extensions = AttributeListRecords(reader, params, record, kData);
  if (extensions.size() > kMaxExtensions) extensions.resize(kMaxExtensions);
  bool first = true;
  for (const std::uint32_t number : extensions) {
    if (number == 0) continue;
    const auto lba = first ? std::optional<std::uint64_t>(std::uint64_t{params.mftStart} + 2ULL * number)
                           : table.RecordToLba(number);
    first = false;
    if (lba) table.AppendRuns(reader, params, *lba);
  }
  return table;
}

void MftRunTable::AppendRuns(const SectorReader& reader, const FsParams& params, std::uint64_t recordLba) {
  std::vector<std::uint8_t> record;
  if (!ReadRecordAt(reader, recordLba, record)) return;
  const auto data = FindData(record);
  if (!data || data->resident) return;
  // The MFT lies inside its volume: runs past it, or more of them than the
  // volume holds, come from a damaged list.
  const std::uint64_t volumeClusters = params.VolumeClusters(reader.SectorCount());
  std::uint64_t clusters = TotalSectors() / std::max<std::uint32_t>(params.sectorsPerCluster, 1);
  for (const Run& run : RunsWithinVolume(DecodeRunList(data->runList).runs, volumeClusters)) {
    if (run.clusters > volumeClusters - std::min(clusters, volumeClusters)) break;
    clusters += run.clusters;
    MftRun mftRun;
    if (run.firstCluster) mftRun.startSector = params.partitionStart + *run.firstCluster * params.sectorsPerCluster;
    mftRun.sectors = run.clusters * params.sectorsPerCluster;
    runs_.push_back(mftRun);
  }
}

std::uint64_t MftRunTable::TotalSectors() const {
  std::uint64_t total = 0;
  for (const MftRun& run : runs_) total += run.sectors;
  return total;
}

std::optional<std::uint64_t> MftRunTable::RecordToLba(std::uint32_t record) const {
  std::uint64_t offset = std::uint64_t{record} * kRecordSectors;
  for (const MftRun& run : runs_) {
    if (offset < run.sectors) {
      if (!run.startSector) return std::nullopt;
      return *run.startSector + offset;
    }
    offset -= run.sectors;
  }
  return std::nullopt;
}

bool MftRunTable::ReadRecord(const SectorReader& reader, std::uint32_t record, std::vector<std::uint8_t>& buffer) const {
  const auto lba = RecordToLba(record);
  return lba && ReadRecordAt(reader, *lba, buffer);
}

}  // namespace dravik::ntfs
