#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "fs/LostBlockPlacement.h"
#include "util/Diagnostics.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::cli {

namespace {

constexpr const char* kUsage =
    "Usage: dravik VERB [options] IMAGE\n"
    "\n"
    "Reads VHD and VHDX images (read-only) and recovers data from them.\n"
    "\n"
    "Verbs:\n"
    "  info IMAGE        show the disk's model, capacity, geometry or block table\n"
    "  cat IMAGE         write the virtual disk's bytes to standard output\n"
    "  partitions IMAGE  list the disk's FAT16, FAT32 and NTFS partitions (table and search)\n"
    "  params IMAGE      show the file-system parameters of one partition\n"
    "  scan quick IMAGE  list the folders and files of a partition, live and deleted,\n"
    "                    and recover them into a folder (--recover DIR)\n"
    "  scan extensive IMAGE --fs ntfs|fat32|fat16\n"
    "                    search a sector range for damaged volumes; --pick K\n"
    "                    lists and recovers one of them as 'scan quick' does\n"
    "  scan trace IMAGE --types .EXT,...\n"
    "                    search a partition (or the disk) for files by their first\n"
    "                    bytes and recover them as carved files\n"
    "  types             list the file types File Trace can look for\n"
    "  snapshot [IMAGE] FILE.dvsf\n"
    "                    list a result kept with --save-snapshot, and recover it\n"
    "                    from IMAGE; --info shows what the snapshot holds\n"
    "\n"
    "Run 'dravik VERB --help' for the options of a verb.\n";

}  // namespace

int UsageError(const std::string& problem, const char* usage) {
  std::fprintf(stderr, "dravik: %s\n\n%s", problem.c_str(), usage);
  return kExitUsage;
}

bool OpenForCommand(VirtualDisk& disk, const std::string& path, OpenRequest request, bool verbose) {
  const OpenResult result = OpenImage(disk, path, request);
  if (result.Usable()) PlaceLostBlocks(disk);
  const std::string diagnostic = disk.Diagnostic();
  if (verbose && !diagnostic.empty()) std::fprintf(stderr, "dravik: %s: %s\n", path.c_str(), diagnostic.c_str());
  // Missing or mismatched parents and logs left unreplayed change what the
  // disk shows, so they are said even without --verbose.
  for (const std::string& warning : disk.Chain().warnings) std::fprintf(stderr, "dravik: warning: %s\n", warning.c_str());
  for (const std::string& detail : result.details) std::fprintf(stderr, "dravik: %s\n", detail.c_str());
  if (!result.Usable()) std::fprintf(stderr, "%s\n", result.message.c_str());
  return result.Usable();
}

void PrintDiagnostics(const Diagnostics& diagnostics, bool verbose) {
  if (!verbose) return;
  for (const DiagnosticEntry& entry : diagnostics.Entries())
    std::fprintf(stderr, "dravik: %s\n", Diagnostics::Describe(entry).c_str());
}

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return UsageError("no verb given", kUsage);
  const std::string verb = args.front();
  args.erase(args.begin());
  if (verb == "--help" || verb == "-h" || verb == "help") {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (verb == "info") return RunInfo(args);
  if (verb == "cat") return RunCat(args);
  if (verb == "partitions") return RunPartitions(args);
  if (verb == "params") return RunParams(args);
  if (verb == "scan") return RunScan(args);
  if (verb == "snapshot") return RunSnapshot(args);
  if (verb == "types") return RunTypes(args);
  return UsageError("unknown verb '" + verb + "'", kUsage);
}

}  // namespace dravik::cli

int main(int argc, char** argv) { return dravik::cli::Main(argc, argv); }
