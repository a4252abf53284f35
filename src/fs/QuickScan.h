#pragma once
// The Quick Scan of one partition: its parameters from the boot sector (or
// calculated), then the scan of its file system into the store.

#include <string>
#include <vector>

#include "disk/FsParams.h"
#include "disk/PartitionTable.h"
#include "fs/FsFamily.h"
#include "fs/RecoveryStore.h"
#include "util/Outcome.h"

namespace dravik {

class SectorReader;
class ScanControl;
class Diagnostics;

struct QuickScanTexts {
  static constexpr const char* kCalculating = "Please wait, Calculating partition parameters...";
  static constexpr const char* kSearching = "Please wait, Searching for Data...";
  static constexpr const char* kNothingFound =
      "Please perform Extensive Scan to recover data \nbecause no information found in Quick Scan.";
  static constexpr const char* kFound =
      "If you don't find the required File(s) and Folder(s) here then please go back \r\nto Home Page and select "
      "Extensive Scan for recovery.";
};

// Failed when the parameters could not be read or calculated, not this
// when no family reads the partition's kind; usable once scanned, its
// message then the text shown afterwards.
struct QuickScanResult : Outcome {
  FsParams params;
  FsFamily family = FsFamily::kFat;  // the family that read it
  // Folders whose listing the image could not give whole ("/" the root):
  // files in them may be missing.
  std::vector<std::u16string> foldersNotReadWhole;
};

QuickScanResult RunQuickScan(const SectorReader& reader, const PartitionEntry& partition, RecoveryStore& store,
                             ScanControl& control);
// The same, with why the parameters could not be read or calculated
// written into diagnostics.
QuickScanResult RunQuickScan(const SectorReader& reader, const PartitionEntry& partition, RecoveryStore& store,
                             ScanControl& control, Diagnostics& diagnostics);

}  // namespace dravik
