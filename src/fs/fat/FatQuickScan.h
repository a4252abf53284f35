#pragma once
// Lists the folders and files of a FAT16 or FAT32 volume, deleted ones
// included, by walking its directory tree from the root, breadth first.

#include <string>
#include <vector>

#include "disk/FsParams.h"
#include "fs/RecoveryStore.h"

namespace dravik {

class SectorReader;
class ScanControl;

// Returns the paths ("/" the root, "/Docs/Old") of the live folders whose
// listing could not be read whole (the image could not give part of it):
// files listed there may be missing from the result.
std::vector<std::u16string> ScanFatQuick(const SectorReader& reader, const FsParams& params, RecoveryStore& store,
                                         ScanControl& control);

}  // namespace dravik
