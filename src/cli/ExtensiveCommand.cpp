// dravik scan extensive: the sector search over a range, the list of the
// file systems it revealed, and, with --pick, the extraction of one of them,
// listed and saved as the Quick Scan's result is.

#include <cstdio>

#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/Progress.h"
#include "cli/ScanShared.h"
#include "disk/DriveTable.h"
#include "disk/SectorReader.h"
#include "fs/extensive/ExtensiveScan.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "fs/extensive/ScanRange.h"
#include "util/Diagnostics.h"
#include "util/ScanControl.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::cli {

namespace {

std::uint64_t SizeSectors(const FoundFileSystem& found) {
  return found.fsEnd >= found.Start() ? found.fsEnd - found.Start() + 1 : 0;
}

void PrintFound(const ExtensiveFindings& findings) {
  for (std::size_t i = 0; i < findings.fileSystems.size(); ++i) {
    const FoundFileSystem& found = findings.fileSystems[i];
    std::printf("%zu\t%s\t%u bytes per cluster\t%llu sectors\n", i + 1, found.Label().c_str(),
                found.sectorsPerCluster * kSectorSize, static_cast<unsigned long long>(SizeSectors(found)));
  }
}

void PrintFoundJson(const ExtensiveFindings& findings) {
  std::string list;
  for (std::size_t i = 0; i < findings.fileSystems.size(); ++i) {
    const FoundFileSystem& found = findings.fileSystems[i];
    JsonObject json;
    json.Add("index", std::uint64_t{i + 1})
        .Add("type", FsName(found.fsType))
        .Add("start", found.clusterBase)
        .Add("sectorsPerCluster", std::uint64_t{found.sectorsPerCluster})
        .Add("end", found.fsEnd);
    if (!list.empty()) list += ",";
    list += json.Str();
  }
  std::printf("{\"fileSystems\":[%s]}\n", list.c_str());
}

}  // namespace

int RunExtensiveScanCommand(ScanOptions& options) {
  VirtualDisk disk;
  if (!OpenForCommand(disk, options.image, {true, options.asRaw}, options.verbose)) return kExitFailed;
  if (auto status = CheckSnapshotTarget(options)) return *status;
  const SectorReader reader(disk);
  const ScanRange range = CheckScanRange(options.start, options.end, reader.SectorCount());
  if (!range.Usable()) {
    std::fprintf(stderr, "%s\n", range.message.c_str());
    return kExitUsage;
  }

  ProgressLine progress(options.quiet);
  ScanControl control(progress.Sink());
  ExtensiveFindings findings;
  Diagnostics diagnostics;
  RunExtensiveScan(reader, options.fsType, range.start, range.sectors, options.settings.sectorsPerRead, findings,
                   control, 0, diagnostics);
  progress.Clear();
  PrintDiagnostics(diagnostics, options.verbose);
  if (findings.tooManyStructures) std::fprintf(stderr, "%s\n", ExtensiveTexts::kTooMany);
  if (findings.fileSystems.empty()) {
    std::fprintf(stderr, "%s\n", ExtensiveTexts::kNoneFoundMessage);
    return kExitFailed;
  }
  if (!options.pick) {
    if (options.json)
      PrintFoundJson(findings);
    else
      PrintFound(findings);
    return kExitOk;
  }
  if (*options.pick > findings.fileSystems.size()) {
    std::fprintf(stderr, "dravik: there is no file system %llu; the search found %zu\n", *options.pick,
                 findings.fileSystems.size());
    return kExitFailed;
  }

  FsParams searched;
  searched.fsType = options.fsType;
  searched.partitionStart = range.start;
  searched.partitionSectors = range.sectors;
  searched.lastSector = range.start + range.sectors;
  ScanResult result =
      ExtractFoundFileSystem(reader, findings, static_cast<std::uint16_t>(*options.pick), searched, control);
  progress.Clear();
  const SnapshotInfo info{ScanMode::kExtensive, {options.fsType, 0}, result.params,
                          {0, static_cast<std::uint16_t>(DeviceKind::kDisk)}};
  if (auto status = SaveResultSnapshot(options, info, *result.store)) return *status;
  return ShowScanResult(options, &reader, result, progress);
}

}  // namespace dravik::cli
