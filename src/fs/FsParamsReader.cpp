#include "fs/FsParamsReader.h"

#include <optional>

#include "fs/FamilyRegistry.h"
#include "fs/FileSystemFamily.h"
#include "util/Diagnostics.h"
#include "util/ScanControl.h"

namespace dravik {

bool ReadFsParams(const SectorReader& reader, FsParams& params, const ScanControl& control) {
  Diagnostics unread;
  return ReadFsParams(reader, params, control, unread);
}

bool ReadFsParams(const SectorReader& reader, FsParams& params, const ScanControl& control, Diagnostics& diagnostics) {
  if (control.StopRequested()) return false;
  const std::optional<FsFamily> family = FamilyOfCode(params.fsType);
  return !family || FamilyOf(*family).ReadParams(reader, params, diagnostics);
}

bool CalculateFsParams(const SectorReader& reader, FsParams& params, ScanControl& control) {
  Diagnostics unread;
  return CalculateFsParams(reader, params, control, unread);
}

bool CalculateFsParams(const SectorReader& reader, FsParams& params, ScanControl& control, Diagnostics& diagnostics) {
  control.Report(kCalculatingParamsText, 0);
  const std::optional<FsFamily> family = FamilyOfCode(params.fsType);
  if (family) return FamilyOf(*family).CalculateParams(reader, params, control, diagnostics);
  ParamsNotCalculated(params, control, diagnostics);
  return false;
}

void ParamsNotCalculated(const FsParams& params, ScanControl& control, Diagnostics& diagnostics) {
  diagnostics.Add(params.partitionStart, "parameters are calculated only for FAT volumes, not for this one",
                  "the boot sector and its copy are both unusable");
  control.RequestStop();
}

}  // namespace dravik
