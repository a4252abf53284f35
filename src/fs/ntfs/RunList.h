#pragma once
// NTFS run lists: a header byte per run (low nibble: bytes of the length,
// high nibble: bytes of the offset; 0 ends the list), the length unsigned,
// the offset signed and relative to the previous run that had one. A run
// without offset bytes has no clusters on disk (sparse).

#include <cstdint>
#include <optional>
#include <vector>

#include "util/Bytes.h"

namespace dravik::ntfs {

struct Run {
  std::optional<std::uint64_t> firstCluster;  // none: sparse
  std::uint64_t clusters = 0;
};

struct DecodedRuns {
  std::vector<Run> runs;
  bool ok = true;  // false when the list is damaged (runs holds what came before)
};

DecodedRuns DecodeRunList(Bytes list);

// The runs up to the first whose clusters reach past the volume's last
// cluster: a damaged list can name clusters anywhere, and must not make a
// save read on for ever. Sparse runs take no clusters and are kept.
std::vector<Run> RunsWithinVolume(const std::vector<Run>& runs, std::uint64_t volumeClusters);

}  // namespace dravik::ntfs
