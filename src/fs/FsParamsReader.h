#pragma once
// Fills FsParams from a partition's boot sector (or its backup copies), or,
// for a volume whose boot sector is lost, calculates them from what its data
// area shows; each through the family of params.fsType.

#include "disk/FsParams.h"

namespace dravik {

class SectorReader;
class ScanControl;
class Diagnostics;

constexpr const char* kCalculatingParamsText = "Please wait, calculating partition parameters";
constexpr const char* kParamsNotFoundMessage =
    "Dravik for VHD was unable to find correct partition parameters. \r\nPlease go back to the first step and select "
    "Extensive Scan \r\nfor recovery.";

// Reads the parameters of params.fsType at params.partitionStart (a family
// may also look at params.lastSector). True when they were filled, or when
// no family reads the kind. diagnostics receives why a boot sector or its
// copy could not be used.
bool ReadFsParams(const SectorReader& reader, FsParams& params, const ScanControl& control);
bool ReadFsParams(const SectorReader& reader, FsParams& params, const ScanControl& control, Diagnostics& diagnostics);

// Finds the volume's parameters from its data area (FAT volumes: their
// cluster size, cluster base and FAT positions). False (and a stop request)
// when it gives up or the family cannot; diagnostics receives why.
bool CalculateFsParams(const SectorReader& reader, FsParams& params, ScanControl& control);
bool CalculateFsParams(const SectorReader& reader, FsParams& params, ScanControl& control, Diagnostics& diagnostics);

// What a family that cannot calculate its parameters answers: a diagnostic
// at the partition's start, and a stop request.
void ParamsNotCalculated(const FsParams& params, ScanControl& control, Diagnostics& diagnostics);

}  // namespace dravik
