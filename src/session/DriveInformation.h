#pragma once
// The lines of the "Drive Information" dialog: the scanned volume's file
// system, its counts and where its structures lie.

#include <cstdint>
#include <vector>

#include "disk/DriveInfo.h"
#include "disk/FsParams.h"
#include "fs/ScanMode.h"

namespace dravik {

// The counts the "Drive Information" dialog shows beside the file system.
struct ScanCounts {
  ScanMode mode = ScanMode::kQuick;
  std::uint32_t folderCount = 0;
  std::uint32_t fileCount = 0;  // found files for File Trace; NTFS file records for an extensive NTFS scan
};

// The eight lines of the "Drive Information" dialog, then the rows only
// the volume's family has (an ext volume's block size). The rows of the
// FATs and the MFT are the family's; a volume of no family shows the FAT
// positions the parameters hold (none: 0) and no MFT.
std::vector<InfoLine> DriveInformationLines(const FsParams& params, const ScanCounts& counts);

}  // namespace dravik
