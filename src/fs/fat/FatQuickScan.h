#pragma once
// Lists the folders and files of a FAT16 or FAT32 volume, deleted ones
// included, by walking its directory tree from the root, breadth first.

#include "disk/FsParams.h"
#include "fs/RecoveryStore.h"

namespace dravik {

class SectorReader;
class ScanControl;

void ScanFatQuick(const SectorReader& reader, const FsParams& params, RecoveryStore& store, ScanControl& control);

}  // namespace dravik
