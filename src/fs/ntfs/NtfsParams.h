#pragma once
// The parameters of an NTFS volume from its boot sector or the copy in its
// last sector (params.lastSector): the cluster size, where the MFT and its
// mirror lie, and the size of the index records.

#include "disk/FsParams.h"

namespace dravik {
class Diagnostics;
class SectorReader;
}  // namespace dravik

namespace dravik::ntfs {

// True when the cluster size and the MFT or its mirror were found;
// diagnostics receives why a boot sector could not be used.
bool ReadNtfsParams(const SectorReader& reader, FsParams& params, Diagnostics& diagnostics);

}  // namespace dravik::ntfs
