#pragma once
// Extraction of one NTFS file system that the Extensive Scan found: its
// folders by MFT record number (the first found of each number kept),
// "Lost Dir" holding a "Dir" + k folder for every parent not found, the
// files whose records lie within the file system, and the result tree.

#include "disk/FsParams.h"
#include "fs/RecoveryStore.h"
#include "fs/ResultTree.h"
#include "fs/extensive/ExtensiveFindings.h"

namespace dravik {

class ScanControl;

struct NtfsExtractTexts {
  static constexpr const char* kExtracting = "Extracting entries for the file system...";
  static constexpr const char* kLost = "Searching For Lost Data";
  static constexpr const char* kTree = "Please wait creating tree";
};

// Extracts found file system params.fsIndex (params from ParamsOfFound) into
// the store, which is emptied first; the files saved from it are read at the
// records the search found (dataRecordLba). The tree is built also after a
// stop.
ResultTree ExtractNtfsFileSystem(const ExtensiveFindings& findings, const FsParams& params, RecoveryStore& store,
                                 ScanControl& control);

}  // namespace dravik
