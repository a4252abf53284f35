#include "session/DriveInformation.h"

#include <optional>
#include <string>

#include "fs/FamilyRegistry.h"
#include "fs/FileSystemFamily.h"

namespace dravik {

std::vector<InfoLine> DriveInformationLines(const FsParams& params, const ScanCounts& counts) {
  const std::optional<FsFamily> family = FamilyOfCode(params.fsType);
  const std::string notApplicable = "N/A";
  std::string firstFat = std::to_string(params.firstFatLba);
  std::string secondFat = std::to_string(params.secondFatLba);
  std::string mftStart = notApplicable;
  std::vector<InfoLine> ownRows;  // a family's rows beyond the FATs and the MFT
  if (family) {
    firstFat = secondFat = notApplicable;
    for (const auto& [label, value] : FamilyOf(*family).ParameterLines(params).driveRows) {
      if (label == "First FAT")
        firstFat = value;
      else if (label == "Second FAT")
        secondFat = value;
      else if (label == "MFT Start")
        mftStart = value;
      else
        ownRows.push_back({label + " :", value});
    }
  }
  std::vector<InfoLine> lines = {
      {"File System          :", family ? FsName(params.fsType) : ""},
      {"Start Sector          :", std::to_string(params.clusterBase)},
      {"Directories           :", counts.mode == ScanMode::kFileTrace ? "0" : std::to_string(counts.folderCount)},
      {"Files                      :", std::to_string(counts.fileCount)},
      {"SPC                       :", std::to_string(params.sectorsPerCluster)},
      {"First FAT                :", firstFat},
      {"Second FAT          :", secondFat},
      {"MFT Start               :", mftStart}};
  lines.insert(lines.end(), ownRows.begin(), ownRows.end());
  return lines;
}

}  // namespace dravik
