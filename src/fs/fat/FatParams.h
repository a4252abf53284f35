#pragma once
// The parameters of a FAT16 or FAT32 volume: read from its boot sector (a
// FAT32 one also from the backup), or, when that is lost, calculated from
// where its first FAT and its folders lie.

#include "disk/FsParams.h"

namespace dravik {
class Diagnostics;
class ScanControl;
class SectorReader;
}  // namespace dravik

namespace dravik::fat {

// True when the fields were filled and the second FAT begins where they
// put it; diagnostics receives why a boot sector could not be used.
bool ReadFatParams(const SectorReader& reader, FsParams& params, Diagnostics& diagnostics);

// The cluster size, cluster base and FAT positions from the first FAT and
// the first two folders of the data area that agree on them. False (and a
// stop request) when it gives up; diagnostics receives why.
bool CalculateFatParams(const SectorReader& reader, FsParams& params, ScanControl& control, Diagnostics& diagnostics);

}  // namespace dravik::fat
