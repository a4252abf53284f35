#pragma once
// Where an NTFS volume whose boot sectors are lost lies: its first sector
// and its cluster size, voted for by the structures found in its clusters.
//
// A clue is a structure that belongs at cluster c of its volume and was
// found at sector x; a volume that starts at sector s with k sectors per
// cluster agrees with it when x = s + c * k. The clues:
//   a folder's first index record   c: the first cluster of the folder's
//                                   index allocation, x: an index record
//                                   whose first entry names the folder
//   $MFT's record 0, or its copy    c: the first cluster of the MFT's run
//   in the mirror                   list, or the mirror's ($MFTMirr), x:
//                                   where the copy was found
//   a run of the MFT, or the        c: the run's first cluster less its
//   mirror                          first VCN, or the mirror's first
//                                   cluster, x: the anchor of the records
//                                   found in it (see MftAnchor), when it
//                                   lies where a copy of $MFT puts it for
//                                   some cluster size
// Each clue votes for the eight placements it allows (k = 1, 2, 4 ... 128).
// Stale copies (an older index record left by a shadow copy or a
// defragmentation, a stray copy of a record) vote as well, but for
// placements that hardly any other clue agrees with: the placement most
// clues agree on wins.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "fs/extensive/ExtensiveFindings.h"

namespace dravik {

struct ClusterClue {
  // Below 0 for an MFT run whose VCNs lie ahead of its clusters: its anchor
  // then lies before the volume.
  std::int64_t cluster = 0;
  std::uint64_t sector = 0;
  auto operator<=>(const ClusterClue&) const = default;
};

struct VolumePlacement {
  std::uint64_t start = 0;
  std::uint32_t sectorsPerCluster = 0;
  std::uint32_t votes = 0;  // the clues that agree with it
};

bool Agrees(const ClusterClue& clue, const VolumePlacement& placement);

// The clues of the folders not yet given to a file system (with the index
// records no file system claimed) and of the MFT records found.
std::vector<ClusterClue> GatherClues(const ExtensiveFindings& findings);

// The votes of a set of clues, kept up to date as clues are withdrawn.
class PlacementVotes {
 public:
  // clues: each once (a structure found twice at one place is one clue).
  explicit PlacementVotes(const std::vector<ClusterClue>& clues);
  // Withdraws one of the clues given.
  void Withdraw(const ClusterClue& clue) { Cast(clue, -1); }
  // Of the placements at least two clues agree on and that `allowed`
  // accepts, the one with most votes; among equal votes the earlier start,
  // then the smaller cluster.
  std::optional<VolumePlacement> Best(const std::function<bool(const VolumePlacement&)>& allowed) const;

 private:
  void Cast(const ClusterClue& clue, int delta);

  std::map<std::pair<std::uint64_t, std::uint32_t>, std::uint32_t> votes_;  // (start, k) -> votes
  // (-votes, start, k): most votes first, then the earlier start, then the
  // smaller cluster.
  std::set<std::tuple<std::int64_t, std::uint64_t, std::uint32_t>> order_;
};

// Where the MFT and its mirror of a placed volume lie: the first sectors of
// the MFT's first run and of the mirror, for the run lists of the copies of
// $MFT and $MFTMirr whose records were found where those lists put them;
// 0 where none was.
struct PlacedMft {
  std::uint64_t mftStart = 0;
  std::uint64_t mirrorStart = 0;
};
PlacedMft PlaceMft(const ExtensiveFindings& findings, const VolumePlacement& placement);

}  // namespace dravik
