#pragma once
// Lists the folders and files of an NTFS volume, deleted ones included, by
// reading every record of its MFT; folders whose parent is gone are gathered
// under "Lost Dir".

#include "disk/FsParams.h"
#include "fs/RecoveryStore.h"

namespace dravik {

class SectorReader;
class ScanControl;

struct NtfsScanTexts {
  static constexpr const char* kLostStep1 = "Searching for Lost Data ( Step 1/2 )...";
  static constexpr const char* kLostStep2 = "Searching for Lost Data ( Step 2/2 )...";
};

void ScanNtfsQuick(const SectorReader& reader, const FsParams& params, RecoveryStore& store, ScanControl& control);

// Adds "Lost Dir" and, under it, a "Dir" + k folder for every parent id that
// folders, then files, name but no folder has.
void AddLostFolders(RecoveryStore& store, ScanControl& control);

}  // namespace dravik
