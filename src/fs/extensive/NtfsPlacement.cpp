#include "fs/extensive/NtfsPlacement.h"

#include <algorithm>
#include <map>
#include <unordered_map>
#include <utility>

#include "fs/ntfs/MftRecord.h"

namespace dravik {

namespace {

constexpr std::uint32_t kLargestCluster = 128;  // sectors

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

void AddFolderClues(const ExtensiveFindings& findings, std::vector<ClusterClue>& clues) {
  std::unordered_map<std::uint32_t, std::vector<std::uint64_t>> indexSectorsOf;
  for (const IndexRecordEntry& entry : findings.indexRecords)
    if (entry.vcn == 0 && entry.fsNumber == kNoFileSystem) indexSectorsOf[entry.ownerMft].push_back(entry.sector);
  for (const NtfsFoundFolder& folder : findings.ntfsFolders) {
    if (folder.fsNumber != 0 || folder.indexStartCluster == 0) continue;
    const auto it = indexSectorsOf.find(folder.mftNumber);
    if (it == indexSectorsOf.end()) continue;
    for (const std::uint64_t sector : it->second)
      clues.push_back({static_cast<std::int64_t>(folder.indexStartCluster), sector});
  }
}

// The first cluster of the mirror that each copy of $MFTMirr names.
std::vector<std::int64_t> MirrorClusters(const ExtensiveFindings& findings) {
  std::vector<std::int64_t> clusters;
  for (const NtfsSystemRecord& system : findings.systemRecords)
    if (system.number == NtfsSystemRecord::kMftMirror && !system.runs.empty() && system.runs.front().firstCluster)
      clusters.push_back(static_cast<std::int64_t>(*system.runs.front().firstCluster));
  std::sort(clusters.begin(), clusters.end());
  clusters.erase(std::unique(clusters.begin(), clusters.end()), clusters.end());
  return clusters;
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
// (at the mirror's cluster): a clue each way. Seen from either place, the
// anchors of the MFT's other runs and of the mirror lie a whole number of
// clusters away, the number their clusters differ by; the anchors found at
// such a distance for some cluster size are clues too. A copy of $MFTMirr
// gives the anchor of the copies it lies among as the mirror's.
void AddMftClues(const ExtensiveFindings& findings, std::vector<ClusterClue>& clues) {
  const std::vector<std::int64_t> mirrors = MirrorClusters(findings);
  for (const NtfsSystemRecord& system : findings.systemRecords) {
    const std::uint64_t anchor = system.sector - std::uint64_t{system.number} * ntfs::kRecordSectors;
    if (system.number == NtfsSystemRecord::kMftMirror && !system.runs.empty() && system.runs.front().firstCluster)
      clues.push_back({static_cast<std::int64_t>(*system.runs.front().firstCluster), anchor});
    if (system.number != NtfsSystemRecord::kMft) continue;
    std::vector<std::int64_t> targets = RunAnchorClusters(system);
    if (targets.empty()) continue;
    std::vector<std::int64_t> bases = mirrors;
    bases.push_back(targets.front());
    targets.insert(targets.end(), mirrors.begin(), mirrors.end());
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

std::vector<VolumePlacement> RankPlacements(std::vector<ClusterClue> clues) {
  std::sort(clues.begin(), clues.end());
  clues.erase(std::unique(clues.begin(), clues.end()), clues.end());
  std::map<std::pair<std::uint64_t, std::uint32_t>, std::uint32_t> votes;
  for (const ClusterClue& clue : clues)
    for (std::uint32_t k = 1; k <= kLargestCluster; k *= 2)
      if (const auto start = StartFor(clue, k)) ++votes[{*start, k}];
  std::vector<VolumePlacement> ranked;
  for (const auto& [placement, count] : votes)
    if (count >= 2) ranked.push_back({placement.first, placement.second, count});
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const VolumePlacement& a, const VolumePlacement& b) { return a.votes > b.votes; });
  return ranked;
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
