#pragma once
// Fills FsParams from a partition's boot sector (or its backup copies), or,
// for a FAT volume whose boot sector is lost, calculates them from the FATs
// and the directories found in the data area.

#include "disk/FsParams.h"

namespace dravik {

class SectorReader;
class ScanControl;
class Diagnostics;

constexpr const char* kCalculatingParamsText = "Please wait, calculating partition parameters";
constexpr const char* kParamsNotFoundMessage =
    "Dravik for VHD was unable to find correct partition parameters. \r\nPlease go back to the first step and select "
    "Extensive Scan \r\nfor recovery.";

// Reads the parameters of params.fsType at params.partitionStart (NTFS also
// looks at params.lastSector). True when they were filled. diagnostics
// receives why a boot sector or its copy could not be used.
bool ReadFsParams(const SectorReader& reader, FsParams& params, const ScanControl& control);
bool ReadFsParams(const SectorReader& reader, FsParams& params, const ScanControl& control, Diagnostics& diagnostics);

// Finds a FAT volume's cluster size, cluster base and FAT positions from its
// data area. False (and a stop request) when it gives up; diagnostics
// receives why.
bool CalculateFsParams(const SectorReader& reader, FsParams& params, ScanControl& control);
bool CalculateFsParams(const SectorReader& reader, FsParams& params, ScanControl& control, Diagnostics& diagnostics);

}  // namespace dravik
