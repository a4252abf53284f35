#pragma once
// Turns the boot sectors and directory starts of a FAT sector search into
// found file systems: first those a boot sector describes and whose
// directories lie where it says, then those that pairs of directory starts
// alone reveal.

#include <cstdint>
#include <optional>

#include "fs/extensive/ExtensiveFindings.h"
#include "util/Bytes.h"

namespace dravik {

class Diagnostics;
class SectorReader;
class ScanControl;

// The file system a FAT boot sector at sector s describes, without the
// directories check; none when its cluster size is not a power of two from
// 1 to 128 or it carries neither label.
std::optional<FoundFileSystem> FatFromBootSector(Bytes sector, std::uint64_t s);

// Assigns every directory start a file-system number (or kNoFileSystem) and
// appends the file systems found to findings.fileSystems. requestedType is
// the kind searched for (kFat32 or kFat16). Why a boot sector found was not
// taken goes into diagnostics (see RejectionNotes).
void IdentifyFatFileSystems(const SectorReader& reader, std::uint16_t requestedType, ExtensiveFindings& findings,
                            ScanControl& control, Diagnostics& diagnostics);

}  // namespace dravik
