#include "fs/ntfs/NtfsAnalysis.h"

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "disk/BootSector.h"
#include "disk/SectorReader.h"
#include "fs/extensive/RejectionNotes.h"
#include "fs/ntfs/MftRecord.h"
#include "fs/ntfs/NtfsPlacement.h"
#include "fs/ntfs/NtfsStructureSearch.h"
#include "fs/ntfs/NtfsVolumeEnd.h"
#include "util/Percent.h"
#include "util/ScanControl.h"

namespace dravik {

namespace {

using namespace ntfs;

constexpr std::uint32_t kDefaultIndexRecordSectors = 8;

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

FoundFileSystem FromBootFields(const boot::NtfsBootFields& boot, std::uint64_t start) {
  FoundFileSystem found;
  found.fsType = kNtfs;
  found.sectorsPerCluster = boot.sectorsPerCluster;
  found.clusterBase = start;
  found.indexRecordSectors = boot.indexRecordSectors;
  found.mftStart = start + boot.mftCluster * boot.sectorsPerCluster;
  found.mftMirrorStart = start + boot.mirrorCluster * boot.sectorsPerCluster;
  found.fsEnd = start + boot.totalSectors;
  return found;
}

// The boot sector at s is the backup (in the last sector) of a volume found
// through its first boot sector.
bool IsBackupOfFound(const ExtensiveFindings& findings, std::uint64_t s) {
  return std::any_of(findings.fileSystems.begin(), findings.fileSystems.end(),
                     [&](const FoundFileSystem& found) { return found.bootSector != 0 && found.fsEnd == s; });
}

bool AnyFoundStartsAt(const ExtensiveFindings& findings, std::uint64_t start) {
  return std::any_of(findings.fileSystems.begin(), findings.fileSystems.end(),
                     [&](const FoundFileSystem& found) { return found.Start() == start; });
}

// $MFT's record, or the mirror's copy of it, lies where the boot sector says.
bool MftWhereBootSays(const ExtensiveFindings& findings, const FoundFileSystem& found) {
  return std::any_of(findings.systemRecords.begin(), findings.systemRecords.end(), [&](const NtfsSystemRecord& r) {
    return r.number == NtfsSystemRecord::kMft && (r.sector == found.mftStart || r.sector == found.mftMirrorStart);
  });
}

// A boot sector at s taken as the backup that NTFS keeps in a volume's last
// sector: the volume starts the total sectors it gives before it. Taken, as
// a first boot sector is, when the folders' index records or the MFT lie
// where it says.
// True when it was taken, or a volume found already starts where it says.
bool TakeAsBackup(const SectorReader& reader, ExtensiveFindings& findings, std::uint64_t s,
                  const boot::NtfsBootFields& boot, ScanControl& control) {
  if (boot.totalSectors > s) return false;
  if (AnyFoundStartsAt(findings, s - boot.totalSectors)) return true;
  const std::uint64_t start = s - boot.totalSectors;
  const FoundFileSystem found = FromBootFields(boot, start);
  const bool classified = Classify(reader, findings, start, boot.sectorsPerCluster, start, s, 1, control);
  if (!classified && !MftWhereBootSays(findings, found)) return false;
  findings.fileSystems.push_back(found);
  return true;
}

// Why ReadNtfsBootFields gave nothing for a sector with the NTFS name.
std::string BootFieldsProblem(Bytes sector) {
  const boot::BootSector b = boot::Decode(sector);
  const std::string cluster = boot::ClusterSizeProblem(b.sectorsPerCluster);
  if (!cluster.empty()) return cluster;
  if (static_cast<std::uint8_t>(b.clustersPerIndexRecord) == 0) return "the size of its index records is 0";
  return "its total sectors are 0";
}

// The sectors a found volume is known to hold, from its start on.
struct HeldSectors {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  bool Holds(std::uint64_t s) const { return s >= first && s <= last; }
};

// The placements of the volumes not found through a boot sector: the one
// with most votes whose start lies on the disk and in no volume found, then,
// with the clues it accounts for set aside (those that agree with it, and
// any between its start and the farthest that agrees), the next, until no
// two clues agree. In the order of their starts.
std::vector<VolumePlacement> ChoosePlacements(const ExtensiveFindings& findings, std::uint64_t lastSector) {
  std::vector<HeldSectors> held;
  for (const FoundFileSystem& found : findings.fileSystems) held.push_back({found.Start(), found.fsEnd});
  const auto inHeld = [&](std::uint64_t s) {
    return std::any_of(held.begin(), held.end(), [&](const HeldSectors& h) { return h.Holds(s); });
  };
  std::vector<ClusterClue> clues = GatherClues(findings);
  std::erase_if(clues, [&](const ClusterClue& clue) { return inHeld(clue.sector); });
  std::sort(clues.begin(), clues.end());
  clues.erase(std::unique(clues.begin(), clues.end()), clues.end());
  PlacementVotes votes(clues);
  std::vector<VolumePlacement> chosen;
  while (const auto best = votes.Best([&](const VolumePlacement& placement) {
           return placement.start <= lastSector && !inHeld(placement.start);
         })) {
    HeldSectors sectors{best->start, best->start};
    for (const ClusterClue& clue : clues)
      if (Agrees(clue, *best)) sectors.last = std::max(sectors.last, clue.sector);
    std::vector<ClusterClue> left;
    for (const ClusterClue& clue : clues) {
      if (Agrees(clue, *best) || sectors.Holds(clue.sector))
        votes.Withdraw(clue);
      else
        left.push_back(clue);
    }
    clues = std::move(left);
    held.push_back(sectors);
    chosen.push_back(*best);
  }
  std::sort(chosen.begin(), chosen.end(),
            [](const VolumePlacement& a, const VolumePlacement& b) { return a.start < b.start; });
  return chosen;
}

// The last sector a volume that starts at start may reach: the sector
// before the next volume found, and no further than the search went.
std::uint64_t EndLimit(const SectorReader& reader, const ExtensiveFindings& findings,
                       const std::vector<VolumePlacement>& chosen, std::uint64_t start) {
  std::uint64_t limit = LastSector(reader, findings);
  for (const FoundFileSystem& found : findings.fileSystems)
    if (found.Start() > start) limit = std::min(limit, found.Start() - 1);
  for (const VolumePlacement& placement : chosen)
    if (placement.start > start) limit = std::min(limit, placement.start - 1);
  return limit;
}

// The number of the found volume whose sectors after its start hold s.
std::optional<std::int16_t> VolumeHolding(const ExtensiveFindings& findings, std::uint64_t s) {
  for (std::size_t i = 0; i < findings.fileSystems.size(); ++i) {
    const FoundFileSystem& found = findings.fileSystems[i];
    if (s > found.Start() && s <= found.fsEnd) return static_cast<std::int16_t>(i + 1);
  }
  return std::nullopt;
}

}  // namespace

void AssignMftNumbers(const SectorReader& reader, ExtensiveFindings& findings, ScanControl& control) {
  EntryMatcher matcher(findings.ntfsFolders);
  std::vector<std::uint8_t> record;
  const std::size_t n = findings.indexRecords.size();
  for (std::size_t i = 0; i < n; ++i) {
    const IndexRecordEntry& entry = findings.indexRecords[i];
    control.Report("Assigning MFT numbers ( Step 1/2 ) - " + std::to_string(i + 1) + " \\ " + std::to_string(n),
                   PercentDone(i, n));
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
    if (i % 256 == 0) control.ReportPercent(PercentDone(i, folders));
  }
}

void DeleteUnusedIndexEntries(ExtensiveFindings& findings, ScanControl& control) {
  control.Report(NtfsAnalysisTexts::kDeleting, 0);
  std::erase_if(findings.indexRecords, [](const IndexRecordEntry& entry) { return entry.vcn != 0; });
}

bool Classify(const SectorReader& reader, ExtensiveFindings& findings, std::uint64_t base,
              std::uint32_t sectorsPerCluster, std::uint64_t low, std::uint64_t high, int step, ScanControl& control) {
  const std::int16_t number = findings.NextFsNumber();
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
                   PercentDone(count, total));
  }
  return assigned;
}

void ClassifyWithBootSectors(const SectorReader& reader, ExtensiveFindings& findings, ScanControl& control,
                             Diagnostics& diagnostics) {
  RejectionNotes notes(diagnostics);
  std::vector<std::uint8_t> sector(kSectorSize);
  for (const std::uint64_t s : findings.bootSectors) {
    if (IsBackupOfFound(findings, s) || !reader.Read(s, 1, sector)) continue;
    const auto fields = boot::ReadNtfsBootFields(sector);
    if (!fields) {
      notes.Add(s, "an NTFS boot sector set aside: " + BootFieldsProblem(sector), "a damaged boot sector");
      continue;
    }
    FoundFileSystem found = FromBootFields(*fields, s);
    found.bootSector = s;
    const bool classified = Classify(reader, findings, s, fields->sectorsPerCluster, s, found.fsEnd, 1, control);
    if (classified || MftWhereBootSays(findings, found)) {
      findings.fileSystems.push_back(found);
    } else if (!TakeAsBackup(reader, findings, s, *fields, control)) {
      notes.Add(s,
                "an NTFS boot sector set aside: neither the MFT (at sector " + std::to_string(found.mftStart) +
                    ") nor a folder's index record lies where it says, as the volume's first boot sector or as "
                    "its backup",
                "a damaged boot sector (its cluster size or MFT cluster), a stale copy, or an overwritten MFT");
    }
  }
}

void ClassifyWithoutBootSectors(const SectorReader& reader, ExtensiveFindings& findings, ScanControl& control) {
  const std::vector<VolumePlacement> chosen = ChoosePlacements(findings, LastSector(reader, findings));
  for (const VolumePlacement& placement : chosen) {
    const PlacedMft mft = PlaceMft(findings, placement);
    FoundFileSystem found;
    found.fsType = kNtfs;
    found.sectorsPerCluster = placement.sectorsPerCluster;
    found.clusterBase = placement.start;
    found.indexRecordSectors = kDefaultIndexRecordSectors;
    found.mftStart = mft.mftStart;
    found.mftMirrorStart = mft.mirrorStart;
    found.fsEnd = NtfsVolumeEnd(reader, findings, {placement.start, placement.sectorsPerCluster, mft.mftStart},
                                EndLimit(reader, findings, chosen, placement.start));
    Classify(reader, findings, placement.start, placement.sectorsPerCluster, placement.start, found.fsEnd, 2, control);
    findings.fileSystems.push_back(found);
  }
  for (NtfsFoundFolder& folder : findings.ntfsFolders)
    if (folder.fsNumber == 0) folder.fsNumber = kNoFileSystem;
}

void AssignUnassignedEntries(ExtensiveFindings& findings, ScanControl& control) {
  control.Report(NtfsAnalysisTexts::kUnassigned, 0);
  std::int16_t previous = 1;
  for (NtfsFoundFolder& folder : findings.ntfsFolders) {
    if (folder.fsNumber == kNoFileSystem)
      folder.fsNumber = VolumeHolding(findings, folder.recordLba).value_or(previous);
    previous = folder.fsNumber;
  }
}

void AnalyzeNtfsFindings(const SectorReader& reader, ExtensiveFindings& findings, ScanControl& control,
                         Diagnostics& diagnostics) {
  AssignMftNumbers(reader, findings, control);
  DeleteUnusedIndexEntries(findings, control);
  ClassifyWithBootSectors(reader, findings, control, diagnostics);
  ClassifyWithoutBootSectors(reader, findings, control);
  AssignUnassignedEntries(findings, control);
}

}  // namespace dravik
