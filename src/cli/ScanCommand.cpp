// "dravik scan quick": the Quick Scan of one partition, listed or saved.

#include <cstdio>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/ScanShared.h"
#include "disk/DriveTable.h"
#include "disk/PartitionSearch.h"
#include "disk/SectorReader.h"
#include "util/Diagnostics.h"
#include "util/Utf.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::cli {

int RunScan(const std::vector<std::string>& args) {
  ScanOptions options;
  if (const Stop stop = ParseScanOptions(args, options)) return *stop;
  if (options.mode == "extensive") return RunExtensiveScanCommand(options);
  if (options.mode == "trace") return RunTraceScanCommand(options);

  VirtualDisk disk;
  if (!OpenForCommand(disk, options.image, {true, options.asRaw}, options.verbose)) return kExitFailed;
  if (auto status = CheckSnapshotTarget(options)) return *status;
  ProgressLine progress(options.quiet);
  ScanControl control(progress.Sink());
  const PartitionTable table = FindPartitions(disk, SearchRule::kWhenTableEmpty, control);
  if (options.partition >= table.Count()) {
    std::fprintf(stderr, "dravik: there is no partition %llu; the disk has %zu (see 'dravik partitions')\n",
                 options.partition, table.Count());
    return kExitFailed;
  }
  const SectorReader reader(disk);
  Diagnostics diagnostics;
  ScanResult result = ScanPartition(reader, table.Entries()[options.partition], control, diagnostics);
  progress.Clear();
  PrintDiagnostics(diagnostics, options.verbose);
  std::fprintf(stderr, "%s\n", result.message.c_str());
  if (!result.Usable()) return kExitFailed;
  const PartitionEntry& partition = table.Entries()[options.partition];
  const SnapshotInfo info{ScanMode::kQuick, {partition.code, static_cast<std::uint16_t>(options.partition)},
                          result.params, {0, static_cast<std::uint16_t>(DeviceKind::kDisk)}};
  if (auto status = SaveResultSnapshot(options, info, *result.store)) return *status;
  const int status = ShowScanResult(options, &reader, result, progress);
  if (result.foldersNotReadWhole.empty()) return status;
  // Files in the part of a listing that could not be read are not known,
  // so no save can name them: the folders are named instead, and the scan
  // does not report success.
  std::fprintf(stderr, "dravik: %zu folders could not be read whole; files in them may be missing:\n",
               result.foldersNotReadWhole.size());
  for (const std::u16string& folder : result.foldersNotReadWhole)
    std::fprintf(stderr, "dravik:   %s\n", ToUtf8(folder).c_str());
  return status == kExitOk ? kExitFailed : status;
}

}  // namespace dravik::cli
