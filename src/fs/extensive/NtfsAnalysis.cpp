#include "fs/extensive/NtfsAnalysis.h"

#include <algorithm>
#include <map>
#include <unordered_map>
#include <vector>

#include "disk/SectorReader.h"
#include "fs/extensive/NtfsStructureSearch.h"
#include "fs/ntfs/MftRecord.h"
#include "util/ScanControl.h"

namespace dravik {

namespace {

using namespace ntfs;

// Boot sector fields.
constexpr std::size_t kSectorsPerClusterOffset = 13;
constexpr std::size_t kTotalSectorsOffset = 40;
constexpr std::size_t kMftClusterOffset = 48;
constexpr std::size_t kMirrorClusterOffset = 56;
constexpr std::size_t kIndexClustersOffset = 68;
// Clusters per index record 0xF4 (-12) means records of 2^12 bytes.
constexpr std::uint8_t kIndexRecordOf4096 = 0xF4;
constexpr std::uint32_t kDefaultIndexRecordSectors = 8;

int Percent(std::uint64_t done, std::uint64_t total) {
  return total == 0 ? 0 : static_cast<int>(std::min<std::uint64_t>(done * 100 / total, 99));
}

bool PowerOfTwoClusterSize(std::uint64_t sectors) {
  return sectors >= 1 && sectors <= 128 && (sectors & (sectors - 1)) == 0;
}

std::int16_t NextNumber(const ExtensiveFindings& findings) {
  return static_cast<std::int16_t>(findings.fileSystems.size() + 1);
}

// The last sector searched (bounded by the disk).
std::uint64_t LastSector(const SectorReader& reader, const ExtensiveFindings& findings) {
  const std::uint64_t last = findings.rangeStart + findings.rangeSectors;
  return reader.SectorCount() > 0 ? std::min(last, reader.SectorCount() - 1) : 0;
}

// Folder names and numbers of one index record's entries, given to the
// unnumbered folders whose creation time, parent and name they share.
class EntryMatcher {
 public:
  explicit EntryMatcher(std::vector<NtfsFoundFolder>& folders) : folders_(folders) {
    for (std::size_t i = 0; i < folders.size(); ++i)
      if (folders[i].mftNumber == 0) byKey_.emplace(Key{folders[i].creationTime, folders[i].parentId}, i);
  }

  void Walk(Bytes record) {
    std::size_t at = kIndexNodeOffset + le32(record, kIndexFirstEntryOffset);
    while (at + kEntryNameOffset <= record.size()) {
      const std::uint16_t length = le16(record, at + kEntryLengthOffset);
      if (length == 0 || (le32(record, at + kEntryFlagsOffset) & kEntryLast) != 0) return;
      Match(record, at);
      at += length;
    }
  }

 private:
  struct Key {
    std::uint64_t creationTime;
    std::uint32_t parentId;
    bool operator<(const Key& other) const {
      return creationTime != other.creationTime ? creationTime < other.creationTime : parentId < other.parentId;
    }
  };

  void Match(Bytes record, std::size_t at) {
    const std::size_t length = u8(record, at + kEntryNameLengthOffset);
    if (length == 0 || (le16(record, at + kEntryFlagsHighOffset) & kEntryDirectoryHigh) == 0) return;
    const Bytes chars = Slice(record, at + kEntryNameOffset, 2 * length);
    if (chars.size() != 2 * length) return;
    std::u16string name;
    for (std::size_t i = 0; i < length; ++i) name += static_cast<char16_t>(le16(chars, 2 * i));
    const Key key{le64(record, at + kEntryCreationOffset), le32(record, at + kEntryParentOffset)};
    const auto [first, last] = byKey_.equal_range(key);
    for (auto it = first; it != last; ++it) {
      NtfsFoundFolder& folder = folders_[it->second];
      if (folder.mftNumber != 0 || folder.name != name) continue;
      folder.mftNumber = le32(record, at);
      byKey_.erase(it);
      return;
    }
  }

  std::vector<NtfsFoundFolder>& folders_;
  std::multimap<Key, std::size_t> byKey_;  // unnumbered folders, in list order per key
};

// Marks the index record at this sector as the given file system's, so
// that a folder of another volume with the same MFT number is not paired
// with it.
void ClaimIndexRecord(std::vector<IndexRecordEntry>& records, std::uint64_t sector, std::int16_t number) {
  const auto it = std::lower_bound(records.begin(), records.end(), sector,
                                   [](const IndexRecordEntry& entry, std::uint64_t s) { return entry.sector < s; });
  if (it != records.end() && it->sector == sector) it->fsNumber = number;
}

}  // namespace

void AssignMftNumbers(const SectorReader& reader, ExtensiveFindings& findings, ScanControl& control) {
  EntryMatcher matcher(findings.ntfsFolders);
  std::vector<std::uint8_t> record;
  const std::size_t n = findings.indexRecords.size();
  for (std::size_t i = 0; i < n; ++i) {
    const IndexRecordEntry& entry = findings.indexRecords[i];
    control.Report("Assigning MFT numbers ( Step 1/2 ) - " + std::to_string(i + 1) + " \\ " + std::to_string(n),
                   Percent(i, n));
    record.assign(std::size_t{entry.sectors} * kSectorSize, 0);
    if (!reader.Read(entry.sector, entry.sectors, record) || !HasAscii(record, 0, "INDX")) continue;
    ApplyFixup(record);
    matcher.Walk(record);
  }

  control.Report(NtfsAnalysisTexts::kAssignStep2, 0);
  std::uint64_t previousLba = 0;
  std::uint32_t previousNumber = 1;
  bool previous = false;
  const std::size_t folders = findings.ntfsFolders.size();
  for (std::size_t i = 0; i < folders; ++i) {
    NtfsFoundFolder& folder = findings.ntfsFolders[i];
    if (folder.mftNumber == 0) {
      // Records follow one another every 2 sectors within a run of the MFT.
      const std::uint64_t step = folder.recordLba - previousLba;
      folder.mftNumber = previous && folder.recordLba >= previousLba && step % 2 == 0
                             ? static_cast<std::uint32_t>(previousNumber + step / 2)
                             : previousNumber + 1;
    }
    previousLba = folder.recordLba;
    previousNumber = folder.mftNumber;
    previous = true;
    if (i % 256 == 0) control.ReportPercent(Percent(i, folders));
  }
}

void DeleteUnusedIndexEntries(ExtensiveFindings& findings, ScanControl& control) {
  control.Report(NtfsAnalysisTexts::kDeleting, 0);
  std::erase_if(findings.indexRecords, [](const IndexRecordEntry& entry) { return entry.vcn != 0; });
}

bool Classify(const SectorReader& reader, ExtensiveFindings& findings, std::uint64_t base,
              std::uint32_t sectorsPerCluster, std::uint64_t low, std::uint64_t high, int step, ScanControl& control) {
  const std::int16_t number = NextNumber(findings);
  const std::size_t total = findings.ntfsFolders.size();
  std::vector<std::uint8_t> sector(kSectorSize);
  bool assigned = false;
  std::size_t count = 0;
  for (NtfsFoundFolder& folder : findings.ntfsFolders) {
    if (folder.recordLba > high) break;
    if (folder.recordLba <= low || folder.fsNumber != 0 || folder.indexStartCluster == 0) continue;
    const std::uint64_t at = base + folder.indexStartCluster * sectorsPerCluster;
    if (!reader.Read(at, 1, sector) || !HasAscii(sector, 0, "INDX")) continue;
    folder.fsNumber = number;
    ClaimIndexRecord(findings.indexRecords, at, number);
    assigned = true;
    ++count;
    control.Report((step == 1 ? NtfsAnalysisTexts::kClassifyStep1 : NtfsAnalysisTexts::kClassifyStep2) +
                       std::to_string(count) + " \\ " + std::to_string(total),
                   Percent(count, total));
  }
  return assigned;
}

void ClassifyWithBootSectors(const SectorReader& reader, ExtensiveFindings& findings, ScanControl& control) {
  std::vector<std::uint8_t> sector(kSectorSize);
  for (const std::uint64_t s : findings.bootSectors) {
    if (!reader.Read(s, 1, sector)) continue;
    const std::uint32_t spc = sector[kSectorsPerClusterOffset];
    const std::uint64_t total = le64(sector, kTotalSectorsOffset);
    const std::uint8_t v = sector[kIndexClustersOffset];
    if (!PowerOfTwoClusterSize(spc) || v == 0 || total == 0) continue;
    FoundFileSystem found;
    found.fsType = kNtfs;
    found.sectorsPerCluster = spc;
    found.clusterBase = s;
    found.bootSector = s;
    found.indexRecordSectors = v == kIndexRecordOf4096 ? kDefaultIndexRecordSectors : v * spc;
    found.mftStart = s + le64(sector, kMftClusterOffset) * spc;
    found.mftMirrorStart = s + le64(sector, kMirrorClusterOffset) * spc;
    found.fsEnd = s + total;
    if (!Classify(reader, findings, s, spc, s, s + total, 1, control)) continue;
    findings.fileSystems.push_back(found);
  }
}

void ClassifyWithoutBootSectors(const SectorReader& reader, ExtensiveFindings& findings, ScanControl& control) {
  // The first index records of each folder number, in sector order. Every
  // volume numbers its records from 0, so one number may own records in
  // several volumes; the first not yet given to a volume is the folder's.
  std::unordered_map<std::uint32_t, std::vector<const IndexRecordEntry*>> indexesOf;
  for (const IndexRecordEntry& entry : findings.indexRecords)
    if (entry.vcn == 0) indexesOf[entry.ownerMft].push_back(&entry);
  const auto indexSector = [&](const NtfsFoundFolder& folder) -> std::uint64_t {
    if (folder.indexStartCluster == 0) return 0;
    const auto it = indexesOf.find(folder.mftNumber);
    if (it == indexesOf.end()) return 0;
    for (const IndexRecordEntry* entry : it->second)
      if (entry->fsNumber == kNoFileSystem) return entry->sector;
    return 0;
  };
  const std::uint64_t lastSector = LastSector(reader, findings);
  auto& folders = findings.ntfsFolders;
  for (std::size_t f = 0; f < folders.size(); ++f) {
    if (folders[f].fsNumber != 0) continue;
    const std::uint64_t s1 = indexSector(folders[f]);
    if (s1 == 0) {
      folders[f].fsNumber = kNoFileSystem;
      continue;
    }
    const std::uint64_t l1 = folders[f].indexStartCluster;
    for (std::size_t g = f + 1; g < folders.size(); ++g) {
      if (folders[g].fsNumber != 0) continue;
      const std::uint64_t s2 = indexSector(folders[g]);
      const std::uint64_t l2 = folders[g].indexStartCluster;
      if (s2 == 0 || s2 == s1 || l2 == l1) continue;
      // The index records lie as far apart as their clusters.
      const bool above = l1 > l2;
      const std::uint64_t sectorStep = above ? s1 - s2 : s2 - s1;
      if ((above && s1 < s2) || (!above && s2 < s1)) continue;
      const std::uint64_t clusterStep = above ? l1 - l2 : l2 - l1;
      if (sectorStep % clusterStep != 0 || !PowerOfTwoClusterSize(sectorStep / clusterStep)) continue;
      const auto size = static_cast<std::uint32_t>(sectorStep / clusterStep);
      if (l1 > s1 / size) continue;  // cluster 0 would lie before the disk
      const std::uint64_t start = s1 - size * l1;
      if (!Classify(reader, findings, start, size, start, lastSector, 2, control)) continue;
      FoundFileSystem found;
      found.fsType = kNtfs;
      found.sectorsPerCluster = size;
      found.clusterBase = start;
      found.indexRecordSectors = kDefaultIndexRecordSectors;
      found.fsEnd = lastSector;
      findings.fileSystems.push_back(found);
    }
  }
}

void AssignUnassignedEntries(ExtensiveFindings& findings, ScanControl& control) {
  control.Report(NtfsAnalysisTexts::kUnassigned, 0);
  std::int16_t previous = 1;
  for (NtfsFoundFolder& folder : findings.ntfsFolders) {
    if (folder.fsNumber == kNoFileSystem) folder.fsNumber = previous;
    previous = folder.fsNumber;
  }
}

void AnalyzeNtfsFindings(const SectorReader& reader, ExtensiveFindings& findings, ScanControl& control) {
  AssignMftNumbers(reader, findings, control);
  DeleteUnusedIndexEntries(findings, control);
  ClassifyWithBootSectors(reader, findings, control);
  ClassifyWithoutBootSectors(reader, findings, control);
  AssignUnassignedEntries(findings, control);
}

}  // namespace dravik
