#pragma once
// What the two scan modes of "dravik scan" share: their options, and how a
// scan's result is listed and saved.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fs/NameMatch.h"
#include "fs/QuickScan.h"
#include "fs/RecoveryStore.h"
#include "fs/ResultTree.h"
#include "save/RecoverySettings.h"

namespace dravik {
class SectorReader;
}

namespace dravik::cli {

class ProgressLine;

struct ScanOptions {
  std::string mode;  // "quick" or "extensive"
  std::string image;
  unsigned long long partition = 0;
  RecoverySettings settings;
  FilterList filter;
  std::optional<std::string> destination;
  std::vector<std::string> selected;
  bool list = false;
  bool json = false;
  bool quiet = false;
  bool verbose = false;
  // Extensive Scan: the kind sought, the range as typed, the file system picked.
  std::uint16_t fsType = 0;
  std::string start = "0";
  std::optional<std::string> end;
  std::optional<unsigned long long> pick;
};

// Lists the result as the options ask (tree, --list or --json) and, with
// --recover, saves it; returns the exit status.
int ShowScanResult(const ScanOptions& options, const SectorReader& reader, const QuickScanResult& result,
                   const RecoveryStore& store, ResultTree& tree, ProgressLine& progress);

// dravik scan extensive.
int RunExtensiveScanCommand(const ScanOptions& options);

}  // namespace dravik::cli
