#include "fs/ntfs/MftRecordNotes.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <string_view>

#include "fs/ntfs/MftRecord.h"
#include "fs/ntfs/RunList.h"

namespace dravik {

namespace {

using namespace ntfs;

constexpr std::uint32_t kRootFolder = 5;

struct KnownSystemRecord {
  std::uint32_t number;
  std::u16string_view name;
};

constexpr KnownSystemRecord kKnown[] = {{NtfsSystemRecord::kMft, u"$MFT"},
                                        {NtfsSystemRecord::kMftMirror, u"$MFTMirr"},
                                        {NtfsSystemRecord::kBitmap, u"$Bitmap"},
                                        {NtfsSystemRecord::kBadClusters, u"$BadClus"}};

// System files are named in the Win32 and DOS namespace; ntfs-3g and
// Windows both write them so, but any namespace is taken.
bool NamedInRoot(Bytes record, std::u16string_view wanted) {
  for (const std::uint8_t space : {std::uint8_t{1}, std::uint8_t{3}, std::uint8_t{2}}) {
    const auto name = FindFileName(record, space);
    if (name) return name->parentId == kRootFolder && name->name == wanted;
  }
  return false;
}

// One past the highest cluster that the run lists of the record's
// non-resident attributes name.
std::uint64_t ClusterEnd(Bytes record) {
  std::uint64_t end = 0;
  for (const std::size_t at : AttributeOffsets(record)) {
    if (u8(record, at + kAttrNonResidentOffset) == 0) continue;
    for (const Run& run : DecodeRunList(ReadAttributeValue(record, at).runList).runs)
      if (run.firstCluster) end = std::max(end, *run.firstCluster + run.clusters);
  }
  return end;
}

// The record (fixed up) at sector s as one of the system records kept,
// when its header number and name make it one: $MFT and $MFTMirr with the
// runs of their data, $Bitmap with the bitmap's size, $BadClus with the size
// of its "$Bad" stream.
std::optional<NtfsSystemRecord> SystemRecordOf(Bytes record, std::uint64_t s) {
  const auto number = RecordNumber(record);
  if (!number || BaseRecordNumber(record) != 0) return std::nullopt;
  const auto known = std::find_if(std::begin(kKnown), std::end(kKnown),
                                  [&](const KnownSystemRecord& k) { return k.number == *number; });
  if (known == std::end(kKnown) || !NamedInRoot(record, known->name)) return std::nullopt;
  NtfsSystemRecord system;
  system.sector = s;
  system.number = *number;
  if (system.number == NtfsSystemRecord::kBadClusters) {
    // The "$Bad" stream is sparse and as long as the volume.
    const auto bad = FindNamedAttribute(record, kData, u"$Bad");
    if (!bad || u8(record, *bad + kAttrNonResidentOffset) == 0) return std::nullopt;
    system.dataSize = ReadAttributeValue(record, *bad).size;
    return system;
  }
  const auto data = FindData(record);
  if (!data || data->resident) return std::nullopt;
  system.dataSize = data->size;
  if (system.number != NtfsSystemRecord::kBitmap) system.runs = DecodeRunList(data->runList).runs;
  return system;
}

}  // namespace

void MftRecordNotes::Note(Bytes record, std::uint64_t s) {
  const auto number = RecordNumber(record);
  if (!number || std::uint64_t{*number} * kRecordSectors > s) return;
  MftAnchor& anchor = anchors_[s - std::uint64_t{*number} * kRecordSectors];
  anchor.clusterEnd = std::max(anchor.clusterEnd, ClusterEnd(record));
  if (auto system = SystemRecordOf(record, s)) systemRecords_.push_back(std::move(*system));
}

void MftRecordNotes::Absorb(MftRecordNotes&& later) {
  for (const auto& [sector, anchor] : later.anchors_) {
    MftAnchor& mine = anchors_[sector];
    mine.clusterEnd = std::max(mine.clusterEnd, anchor.clusterEnd);
  }
  std::move(later.systemRecords_.begin(), later.systemRecords_.end(), std::back_inserter(systemRecords_));
  later.anchors_.clear();
  later.systemRecords_.clear();
}

void MftRecordNotes::MoveInto(ExtensiveFindings& findings) {
  findings.mftAnchors.reserve(anchors_.size());
  for (auto& [sector, anchor] : anchors_) {
    anchor.sector = sector;
    findings.mftAnchors.push_back(anchor);
  }
  anchors_.clear();
  findings.systemRecords = std::move(systemRecords_);
  systemRecords_.clear();
}

}  // namespace dravik
