#include <cstdio>

#include "cli/Args.h"
#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/Progress.h"
#include "disk/DriveInfo.h"
#include "session/DriveInformation.h"
#include "fs/FsParamsReader.h"
#include "disk/PartitionSearch.h"
#include "disk/SectorReader.h"
#include "util/Diagnostics.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::cli {

namespace {

constexpr const char* kPartitionsUsage =
    "Usage: dravik partitions IMAGE [--search | --no-search] [--json] [--quiet] [--verbose]\n"
    "                               [--as-raw]\n"
    "\n"
    "Lists the partitions of the image's disk: from its MBR and extended boot\n"
    "records (or its GPT), and from a search for boot sectors at every cylinder\n"
    "and every 1 MiB boundary. By default the disk is searched only when the\n"
    "table lists no FAT16, FAT32 or NTFS partition.\n"
    "\n"
    "Options:\n"
    "  --search      search the disk even when the table lists partitions\n"
    "  --no-search   never search; list only what the table holds\n"
    "  --json        print {\"partitions\":[{\"index\",\"start\",\"sectors\",\"code\",\"type\"}, ...]}\n"
    "  --quiet       no progress line on standard error\n"
    "  --as-raw      read the file as a plain disk whatever its name says\n"
    "  --verbose     also say on standard error what the image reader had to work around\n"
    "  --help        show this text\n";

constexpr const char* kParamsUsage =
    "Usage: dravik params IMAGE --partition N [--json] [--quiet] [--verbose]\n"
    "                           [--as-raw]\n"
    "\n"
    "Shows the file-system parameters of partition N (as 'dravik partitions'\n"
    "numbers them): read from its boot sector or a backup copy, or, for a FAT\n"
    "volume whose boot sector is lost, calculated from its FATs and folders.\n"
    "\n"
    "Options:\n"
    "  --partition N  the partition to look at (required)\n"
    "  --json         print one JSON object of the parameters\n"
    "  --quiet        no progress line on standard error\n"
    "  --as-raw       read the file as a plain disk whatever its name says\n"
    "  --verbose      also say on standard error what the image reader had to work around\n"
    "                 and why the boot sector or the parameters could not be read\n"
    "  --help         show this text\n";

}  // namespace

std::string PartitionsJsonArray(const PartitionTable& table) {
  std::string items;
  for (std::size_t i = 0; i < table.Count(); ++i) {
    const PartitionEntry& e = table.Entries()[i];
    if (!items.empty()) items += ",";
    items += JsonObject()
                 .Add("index", std::uint64_t{i})
                 .Add("start", e.start)
                 .Add("sectors", e.sectors)
                 .Add("code", std::uint32_t{e.code})
                 .Add("type", FsName(e.code))
                 .Str();
  }
  return "[" + items + "]";
}

namespace {

std::string ParamsJson(const FsParams& p) {
  return JsonObject()
      .Add("fsType", std::uint32_t{p.fsType})
      .Add("type", FsName(p.fsType))
      .Add("partitionStart", p.partitionStart)
      .Add("partitionSectors", p.partitionSectors)
      .Add("sectorsPerCluster", p.sectorsPerCluster)
      .Add("reservedSectors", p.reservedSectors)
      .Add("fatSize", p.fatSize)
      .Add("firstFatLba", p.firstFatLba)
      .Add("secondFatLba", p.secondFatLba)
      .Add("rootDirSectors", p.rootDirSectors)
      .Add("rootStart", p.rootStart)
      .Add("clusterBase", p.clusterBase)
      .Add("mftStart", p.mftStart)
      .Add("mftMirrorStart", p.mftMirrorStart)
      .Add("mftRecordSectors", p.mftRecordSectors)
      .Add("indexRecordSectors", p.indexRecordSectors)
      .Add("lastSector", p.lastSector)
      .Str();
}

}  // namespace

DiskGeometry DriveGeometry(const VirtualDisk& disk) {
  DriveTable drives;
  RegisterImage(drives, disk);
  const DriveSlot& slot = drives.slots[0];
  return {slot.cylinders, slot.heads, slot.sectorsPerTrack};
}

PartitionTable FindPartitions(const VirtualDisk& disk, SearchRule rule, ScanControl& control) {
  const SectorReader reader(disk);
  PartitionTable table;
  ReadDrivePartitions(reader, table);
  if (rule == SearchRule::kNever) return table;
  const DiskGeometry geometry = SearchGeometry(DriveGeometry(disk), reader.SectorCount());
  const auto answer = [rule] { return rule == SearchRule::kAlways ? PartitionChoice::kSearch : PartitionChoice::kUseExisting; };
  SearchPartitions(reader, geometry, table, answer, control);
  return table;
}

void PrintPartitions(const PartitionTable& table) {
  for (std::size_t i = 0; i < table.Count(); ++i) {
    const auto lines = PartitionInfoLines(&table.Entries()[i]);
    std::printf("%s: %s, start %s, %llu sectors, end %s, %s\n", PartitionLabel(i).c_str(), lines[0].value.c_str(),
                lines[1].value.c_str(), static_cast<unsigned long long>(table.Entries()[i].sectors),
                lines[2].value.c_str(), lines[3].value.c_str());
  }
  if (table.Empty()) std::printf("No FAT16, FAT32 or NTFS partition was found.\n");
}

int RunPartitions(const std::vector<std::string>& args) {
  const ParsedArgs parsed =
      ParseArgs(args, {{"search"}, {"no-search"}, {"json"}, {"quiet"}, {"verbose"}, {"as-raw"}, {"help"}});
  if (!parsed.error.empty()) return UsageError(parsed.error, kPartitionsUsage);
  if (parsed.Has("help")) {
    std::fputs(kPartitionsUsage, stdout);
    return kExitOk;
  }
  if (parsed.positionals.size() != 1) return UsageError("partitions takes one IMAGE", kPartitionsUsage);
  if (parsed.Has("search") && parsed.Has("no-search"))
    return UsageError("--search and --no-search exclude each other", kPartitionsUsage);

  VirtualDisk disk;
  if (!OpenForCommand(disk, parsed.positionals[0], {false, parsed.Has("as-raw")}, parsed.Has("verbose"))) return kExitFailed;
  ProgressLine progress(parsed.Has("quiet"));
  ScanControl control(progress.Sink());
  const SearchRule rule = parsed.Has("search")      ? SearchRule::kAlways
                          : parsed.Has("no-search") ? SearchRule::kNever
                                                    : SearchRule::kWhenTableEmpty;
  const PartitionTable table = FindPartitions(disk, rule, control);
  if (parsed.Has("json")) {
    std::printf("%s\n", JsonObject().AddRaw("partitions", PartitionsJsonArray(table)).Str().c_str());
  } else {
    PrintPartitions(table);
  }
  return kExitOk;
}

int RunParams(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(args, {{"partition", true}, {"json"}, {"quiet"}, {"verbose"}, {"as-raw"}, {"help"}});
  if (!parsed.error.empty()) return UsageError(parsed.error, kParamsUsage);
  if (parsed.Has("help")) {
    std::fputs(kParamsUsage, stdout);
    return kExitOk;
  }
  if (parsed.positionals.size() != 1) return UsageError("params takes one IMAGE", kParamsUsage);
  const auto index = ParseByteCount(parsed.Value("partition").value_or(""));
  if (!index) return UsageError("--partition N is required", kParamsUsage);

  VirtualDisk disk;
  if (!OpenForCommand(disk, parsed.positionals[0], {true, parsed.Has("as-raw")}, parsed.Has("verbose"))) return kExitFailed;
  ProgressLine progress(parsed.Has("quiet"));
  ScanControl control(progress.Sink());
  const PartitionTable table = FindPartitions(disk, SearchRule::kWhenTableEmpty, control);
  if (*index >= table.Count()) {
    std::fprintf(stderr, "dravik: there is no partition %llu; the disk has %zu (see 'dravik partitions')\n", *index,
                 table.Count());
    return kExitFailed;
  }
  const SectorReader reader(disk);
  FsParams params = FsParams::ForPartition(table.Entries()[*index]);
  Diagnostics diagnostics;
  const bool found =
      ReadFsParams(reader, params, control, diagnostics) || CalculateFsParams(reader, params, control, diagnostics);
  PrintDiagnostics(diagnostics, parsed.Has("verbose"));
  if (!found) {
    std::fprintf(stderr, "%s\n", kParamsNotFoundMessage);
    return kExitFailed;
  }
  if (parsed.Has("json")) {
    std::printf("%s\n", ParamsJson(params).c_str());
    return kExitOk;
  }
  const auto lines = DriveInformationLines(params, {});
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (i != 2 && i != 3) std::printf("%s %s\n", lines[i].label.c_str(), lines[i].value.c_str());
  using ull = unsigned long long;
  std::printf("Partition Start       : %llu\nPartition Sectors     : %llu\nReserved Sectors      : %u\n"
              "FAT Size              : %u\nRoot Start            : %llu\nRoot Dir Sectors      : %u\n"
              "MFT Mirror Start      : %llu\nIndex Record Sectors  : %u\nLast Sector           : %llu\n",
              ull{params.partitionStart}, ull{params.partitionSectors}, params.reservedSectors, params.fatSize,
              ull{params.rootStart}, params.rootDirSectors, ull{params.mftMirrorStart}, params.indexRecordSectors,
              ull{params.lastSector});
  return kExitOk;
}

}  // namespace dravik::cli
