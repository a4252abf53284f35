// dravik snapshot: a scan's result read back from its snapshot, listed and
// recovered as the scan that made it would; --info shows what it holds.

#include <cstdio>

#include "cli/Commands.h"
#include "cli/Progress.h"
#include "cli/ScanShared.h"
#include "disk/SectorReader.h"
#include "fs/FamilyRegistry.h"
#include "fs/FileSystemFamily.h"
#include "snapshot/SnapshotFile.h"
#include "util/Utf.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::cli {

namespace {

constexpr const char* kSnapshotUsage =
    "Usage: dravik snapshot [IMAGE] FILE.dvsf [--list | --json] [--recover DIR]\n"
    "                       [--report FILE] [--select PATH]... [--deleted include|only|exclude]\n"
    "                       [--duplicates rename|overwrite|skip] [--filter PATTERN]...\n"
    "                       [--quiet] [--verbose] [--as-raw]\n"
    "       dravik snapshot --info FILE.dvsf\n"
    "\n"
    "Reads a snapshot that 'dravik scan ... --save-snapshot' (or the desktop\n"
    "program) wrote and shows its result as the scan did: a tree, --list or\n"
    "--json. Listing needs only the snapshot; --recover reads the files from the\n"
    "IMAGE the snapshot was made of, which must then be given. \".dvsf\" is\n"
    "appended to FILE unless it ends so.\n"
    "\n"
    "Options:\n"
    "  --info               print the snapshot's mode, version, partition, file\n"
    "                       system and record counts\n"
    "  --size MIB           File Trace: the size of each recovered file (default 2;\n"
    "                       the snapshot does not keep the size the scan used)\n"
    "  --no-trim            File Trace: write every file at that full size\n"
    "  the listing and saving options of 'dravik scan' (see 'dravik scan --help')\n";

// A snapshot of no file system (a File Trace of a whole disk) names none.
const char* FsNameOrNone(std::uint16_t code) { return code == 0 ? "none" : FsName(code); }

void PrintInfo(const Snapshot& s) {
  const SnapshotInfo& info = s.info;
  const FsParams& p = info.params;
  const auto n = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
  std::printf("Mode:                 %s\n", ScanModeName(info.mode));
  std::printf("Version:              %s\n", SnapshotVersionText(s));
  std::printf("Partition:            %u (%s), sectors %llu to %llu (%llu sectors)\n", info.partition.number,
              FsNameOrNone(info.partition.code), n(p.partitionStart), n(p.lastSector), n(p.partitionSectors));
  std::printf("File system:          %s, %u sectors per cluster, cluster 0 at sector %llu\n", FsNameOrNone(p.fsType),
              p.sectorsPerCluster, n(p.clusterBase));
  if (const auto family = FamilyOfCode(p.fsType)) {
    const FamilyParameterLines lines = FamilyOf(*family).ParameterLines(p);
    std::printf("%-22s%s\n", (lines.label + ":").c_str(), lines.text.c_str());
  }
  if (info.mode == ScanMode::kExtensive)
    std::printf("Found file system:    %u, last sector %llu\n", p.fsIndex, n(p.fsEnd));
  if (info.mode == ScanMode::kFileTrace) {
    std::printf("Signature groups:     %zu\n", s.groups.size());
    std::printf("Found files:          %zu\n", s.tracedFiles.size());
  } else {
    std::printf("Folders:              %zu\n", s.store.Folders().size());
    std::printf("Files:                %zu\n", s.store.Files().size());
  }
  std::printf("Source:               drive %u, device kind %u\n", info.source.driveIndex, info.source.deviceKind);
}

}  // namespace

int RunSnapshot(const std::vector<std::string>& args) {
  const ParsedArgs parsed =
      ParseArgs(args, {{"info"}, {"list"}, {"json"}, {"recover", true}, {"report", true}, {"select", true}, {"deleted", true},
                       {"duplicates", true}, {"filter", true}, {"quiet"}, {"verbose"}, {"as-raw"}, {"help"}, {"size", true}, {"no-trim"}});
  if (!parsed.error.empty()) return UsageError(parsed.error, kSnapshotUsage);
  if (parsed.Has("help")) {
    std::fputs(kSnapshotUsage, stdout);
    return kExitOk;
  }
  const std::size_t given = parsed.positionals.size();
  if (given < 1 || given > 2) return UsageError("snapshot takes FILE.dvsf, or IMAGE and FILE.dvsf", kSnapshotUsage);
  ScanOptions options;
  if (auto status = ParseResultOptions(parsed, options, kSnapshotUsage)) return *status;
  if (auto size = parsed.Value("size")) {
    const auto mib = ParseByteCount(*size);
    if (!mib || *mib < 1 || *mib > 50) return UsageError("--size takes 1 to 50 (mebibytes)", kSnapshotUsage);
    options.carveSizeMiB = static_cast<std::uint32_t>(*mib);
  }
  options.settings.trimCarved = !parsed.Has("no-trim");
  const std::string file = parsed.positionals.back();
  if (given == 2) options.image = parsed.positionals.front();

  LoadedSnapshot loaded = LoadSnapshotFile(file, std::nullopt);
  if (!loaded.snapshot) {
    std::fprintf(stderr, "%s\n", loaded.message.c_str());
    return kExitFailed;
  }
  Snapshot& snapshot = *loaded.snapshot;
  if (parsed.Has("info")) {
    PrintInfo(snapshot);
    return kExitOk;
  }
  if (options.destination && given < 2)
    return UsageError("--recover reads the files from the image: give IMAGE before FILE.dvsf", kSnapshotUsage);

  VirtualDisk disk;
  std::optional<SectorReader> reader;
  if (given == 2) {
    if (!OpenForCommand(disk, options.image, {snapshot.info.mode == ScanMode::kQuick, options.asRaw}, options.verbose))
      return kExitFailed;
    reader.emplace(disk);
    if (!SnapshotFitsDisk(snapshot, *reader)) {
      std::fprintf(stderr, "dravik: %s does not hold the sectors the snapshot names: it is not the image the "
                           "snapshot was made of\n", options.image.c_str());
      return kExitFailed;
    }
  }
  ProgressLine progress(options.quiet);
  if (snapshot.info.mode == ScanMode::kFileTrace)
    return ShowTraceResult(options, reader ? &*reader : nullptr, snapshot.tracedFiles, progress);
  ScanResult result = ResultOfSnapshot(snapshot);
  return ShowScanResult(options, reader ? &*reader : nullptr, result, progress);
}

}  // namespace dravik::cli
