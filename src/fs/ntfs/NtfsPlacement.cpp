#include "fs/ntfs/NtfsPlacement.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>
#include <utility>

#include "fs/ntfs/MftRecord.h"

namespace dravik {

namespace {

constexpr std::uint32_t kLargestCluster = 128;  // sectors
constexpr std::size_t kMostIndexCandidates = 16;

// The first sector of a volume with k sectors per cluster that the clue
// agrees with; none when it would lie before the disk.
std::optional<std::uint64_t> StartFor(const ClusterClue& clue, std::uint32_t k) {
  if (clue.cluster < 0) return clue.sector + static_cast<std::uint64_t>(-clue.cluster) * k;
  const std::uint64_t offset = static_cast<std::uint64_t>(clue.cluster) * k;
  if (offset > clue.sector) return std::nullopt;
  return clue.sector - offset;
}

bool HasAnchor(const std::vector<MftAnchor>& anchors, std::uint64_t sector) {
  const auto it = std::lower_bound(anchors.begin(), anchors.end(), sector,
                                   [](const MftAnchor& anchor, std::uint64_t s) { return anchor.sector < s; });
  return it != anchors.end() && it->sector == sector;
}

// Each folder with an index allocation and each index record whose first
// entry names the folder's number. Every volume numbers its folders alike,
// and stale copies add more, so one number may have many index records;
// only the nearest to the folder's own record are taken (the real one lies
// in the same volume), which keeps a hostile disk from making millions of
// clues.
void AddFolderClues(const ExtensiveFindings& findings, std::vector<ClusterClue>& clues) {
  std::unordered_map<std::uint32_t, std::vector<std::uint64_t>> indexSectorsOf;
  for (const IndexRecordEntry& entry : findings.indexRecords)
    if (entry.vcn == 0 && entry.fsNumber == kNoFileSystem) indexSectorsOf[entry.ownerMft].push_back(entry.sector);
  std::vector<std::uint64_t> nearest;
  for (const NtfsFoundFolder& folder : findings.ntfsFolders) {
    if (folder.fsNumber != 0 || folder.indexStartCluster == 0) continue;
    const auto it = indexSectorsOf.find(folder.mftNumber);
    if (it == indexSectorsOf.end()) continue;
    nearest = it->second;
    const auto distance = [&](std::uint64_t s) {
      return s > folder.recordLba ? s - folder.recordLba : folder.recordLba - s;
    };
    if (nearest.size() > kMostIndexCandidates) {
      std::nth_element(nearest.begin(), nearest.begin() + kMostIndexCandidates, nearest.end(),
                       [&](std::uint64_t a, std::uint64_t b) { return distance(a) < distance(b); });
      nearest.resize(kMostIndexCandidates);
    }
    for (const std::uint64_t sector : nearest)
      clues.push_back({static_cast<std::int64_t>(folder.indexStartCluster), sector});
  }
}

// The mirror's first cluster, as the copy of $MFTMirr found at the sector
// says; none when there is none.
std::optional<std::int64_t> MirrorClusterAt(const ExtensiveFindings& findings, std::uint64_t sector) {
  const auto& records = findings.systemRecords;
  const auto it = std::lower_bound(records.begin(), records.end(), sector,
                                   [](const NtfsSystemRecord& r, std::uint64_t s) { return r.sector < s; });
  if (it == records.end() || it->sector != sector || it->number != NtfsSystemRecord::kMftMirror ||
      it->runs.empty() || !it->runs.front().firstCluster)
    return std::nullopt;
  return static_cast<std::int64_t>(*it->runs.front().firstCluster);
}

// The clusters at which a copy of $MFT puts the anchors of the MFT's runs:
// each run's first cluster less its first VCN.
std::vector<std::int64_t> RunAnchorClusters(const NtfsSystemRecord& mft) {
  std::vector<std::int64_t> clusters;
  std::int64_t vcn = 0;
  for (const ntfs::Run& run : mft.runs) {
    if (run.firstCluster) clusters.push_back(static_cast<std::int64_t>(*run.firstCluster) - vcn);
    vcn += static_cast<std::int64_t>(run.clusters);
  }
  return clusters;
}

// The clues of the MFT's records. A copy of $MFT found at sector x is the
// MFT's own record 0 (at the cluster of its first run) or the mirror's copy
// of it (at the mirror's cluster, which the copy of $MFTMirr beside it
// names): a clue each way. Seen from either place, the anchors of the MFT's
// other runs and of the mirror lie a whole number of clusters away, the
// number their clusters differ by; the anchors found at such a distance for
// some cluster size are clues too. A copy of $MFTMirr gives the anchor of
// the copies it lies among as the mirror's.
void AddMftClues(const ExtensiveFindings& findings, std::vector<ClusterClue>& clues) {
  for (const NtfsSystemRecord& system : findings.systemRecords) {
    const std::uint64_t anchor = system.sector - std::uint64_t{system.number} * ntfs::kRecordSectors;
    if (system.number == NtfsSystemRecord::kMftMirror && !system.runs.empty() && system.runs.front().firstCluster)
      clues.push_back({static_cast<std::int64_t>(*system.runs.front().firstCluster), anchor});
    if (system.number != NtfsSystemRecord::kMft) continue;
    std::vector<std::int64_t> targets = RunAnchorClusters(system);
    if (targets.empty()) continue;
    std::vector<std::int64_t> bases = {targets.front()};
    if (const auto mirror = MirrorClusterAt(findings, system.sector + ntfs::kRecordSectors)) {
      bases.push_back(*mirror);
      targets.push_back(*mirror);
    }
    for (const std::int64_t base : bases) {
      clues.push_back({base, system.sector});
      for (const std::int64_t target : targets) {
        if (target == base) continue;
        for (std::uint32_t k = 1; k <= kLargestCluster; k *= 2) {
          const std::int64_t at = static_cast<std::int64_t>(system.sector) + (target - base) * k;
          if (at >= 0 && HasAnchor(findings.mftAnchors, static_cast<std::uint64_t>(at)))
            clues.push_back({target, static_cast<std::uint64_t>(at)});
        }
      }
    }
  }
}

}  // namespace

bool Agrees(const ClusterClue& clue, const VolumePlacement& placement) {
  return StartFor(clue, placement.sectorsPerCluster) == placement.start;
}

std::vector<ClusterClue> GatherClues(const ExtensiveFindings& findings) {
  std::vector<ClusterClue> clues;
  AddFolderClues(findings, clues);
  AddMftClues(findings, clues);
  return clues;
}

PlacementVotes::PlacementVotes(const std::vector<ClusterClue>& clues) {
  for (const ClusterClue& clue : clues) Cast(clue, +1);
}

void PlacementVotes::Cast(const ClusterClue& clue, int delta) {
  for (std::uint32_t k = 1; k <= kLargestCluster; k *= 2) {
    const auto start = StartFor(clue, k);
    if (!start) continue;
    const auto at = votes_.try_emplace({*start, k}, 0).first;
    if (at->second > 0) order_.erase({-std::int64_t{at->second}, *start, k});
    at->second = static_cast<std::uint32_t>(std::int64_t{at->second} + delta);
    if (at->second > 0)
      order_.insert({-std::int64_t{at->second}, *start, k});
    else
      votes_.erase(at);
  }
}

std::optional<VolumePlacement> PlacementVotes::Best(const std::function<bool(const VolumePlacement&)>& allowed) const {
  for (const auto& [negativeVotes, start, k] : order_) {
    if (negativeVotes > -2) break;
    const VolumePlacement placement{start, k, static_cast<std::uint32_t>(-negativeVotes)};
    if (allowed(placement)) return placement;
  }
  return std::nullopt;
}

PlacedMft PlaceMft(const ExtensiveFindings& findings, const VolumePlacement& placement) {
  PlacedMft placed;
  for (const NtfsSystemRecord& system : findings.systemRecords) {
    if (system.runs.empty() || !system.runs.front().firstCluster) continue;
    const std::uint64_t at = placement.start + *system.runs.front().firstCluster * placement.sectorsPerCluster;
    if (!HasAnchor(findings.mftAnchors, at)) continue;
    std::uint64_t& place = system.number == NtfsSystemRecord::kMft ? placed.mftStart : placed.mirrorStart;
    if (place == 0) place = at;
  }
  return placed;
}

}  // namespace dravik
