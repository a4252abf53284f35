#include <cstdio>

#include "cli/Args.h"
#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/Progress.h"
#include "disk/DriveInfo.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::cli {

namespace {

constexpr const char* kInfoUsage =
    "Usage: dravik info IMAGE [--json] [--quiet] [--verbose] [--as-raw]\n"
    "\n"
    "Shows what the drive pane shows for the image's disk: the model, the capacity,\n"
    "and for a VHD its cylinders, heads and sectors per track, for a VHDX its disk\n"
    "type, data block count and total BAT entries; then the virtual size in bytes\n"
    "and the partitions (as 'dravik partitions' lists them); a raw disk (.img,\n"
    ".raw, .dd or --as-raw) its size. A differencing image (or a Hyper-V\n"
    "checkpoint, .avhd/.avhdx) lists its chain of parents, each found or missing,\n"
    "and a VHDX says whether its log was replayed (in memory only).\n"
    "A damaged image lists its repairs: each structure found damaged, what was\n"
    "wrong with it and what the reader did instead (another copy used, a value\n"
    "refused, the file read as a raw disk); nothing is written to the image.\n"
    "\n"
    "Options:\n"
    "  --json       print one JSON object instead of the text lines; \"repairs\"\n"
    "               lists {\"structure\", \"problem\", \"action\"} objects\n"
    "  --quiet      no progress line on standard error\n"
    "  --as-raw     read the file as a plain disk whatever its name says\n"
    "  --verbose    also say on standard error what the reader had to work around\n"
    "  --help       show this text\n";

std::string InfoJson(const VirtualDisk& disk, const std::vector<InfoLine>& lines, const PartitionTable& table) {
  JsonObject json;
  json.Add("model", lines.front().value).Add("capacity", lines[1].value);
  if (const VhdImage* vhd = disk.Vhd()) {
    json.Add("format", "VHD")
        .Add("diskType", vhd::DiskTypeName(vhd->DiskType()))
        .Add("diskTypeCode", vhd->DiskType())
        .Add("virtualSize", vhd->Size())
        .Add("blockSize", vhd->BlockSize())
        .Add("blockCount", std::uint64_t{vhd->BlockCount()})
        .Add("cylinders", vhd->Cylinders())
        .Add("heads", vhd->Heads())
        .Add("sectorsPerTrack", vhd->SectorsPerTrack());
  } else if (const VhdxImage* vhdx = disk.Vhdx()) {
    json.Add("format", "VHDX")
        .Add("diskType", vhdx->DiskTypeText())
        .Add("virtualSize", vhdx->VirtualDiskSize())
        .Add("blockSize", vhdx->BlockSize())
        .Add("logicalSectorSize", vhdx->LogicalSectorSize())
        .Add("physicalSectorSize", vhdx->PhysicalSectorSize())
        .Add("chunkRatio", vhdx->ChunkRatio())
        .Add("dataBlockCount", vhdx->DataBlockCount())
        .Add("totalBatEntries", vhdx->TotalBatEntries())
        .Add("allocatedSize", vhdx->AllocatedSize());
  } else {
    json.Add("format", "raw").Add("diskType", "Raw disk").Add("virtualSize", disk.Size());
  }
  std::string chain = "[";
  for (const ChainImage& image : disk.Chain().images) {
    JsonObject entry;
    entry.Add("path", image.path.string()).Add("format", image.format).Add("diskType", image.type);
    entry.Add("found", image.found).Add("logReplayed", image.logReplayed);
    chain += (chain.size() > 1 ? "," : "") + entry.Str();
  }
  json.AddRaw("chain", chain + "]");
  std::string warnings = "[";
  for (const std::string& warning : disk.Chain().warnings) warnings += (warnings.size() > 1 ? "," : "") + JsonQuote(warning);
  json.AddRaw("warnings", warnings + "]");
  std::string repairs = "[";
  for (const Repair& repair : disk.Repairs()) {
    JsonObject entry;
    entry.Add("structure", repair.structure).Add("problem", repair.problem).Add("action", repair.action);
    repairs += (repairs.size() > 1 ? "," : "") + entry.Str();
  }
  json.AddRaw("repairs", repairs + "]");
  json.AddRaw("partitions", PartitionsJsonArray(table));
  return json.Str();
}

}  // namespace

int RunInfo(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(args, {{"json"}, {"quiet"}, {"verbose"}, {"as-raw"}, {"help"}});
  if (!parsed.error.empty()) return UsageError(parsed.error, kInfoUsage);
  if (parsed.Has("help")) {
    std::fputs(kInfoUsage, stdout);
    return kExitOk;
  }
  if (parsed.positionals.size() != 1) return UsageError("info takes one IMAGE", kInfoUsage);

  VirtualDisk disk;
  if (!OpenForCommand(disk, parsed.positionals[0], {false, parsed.Has("as-raw")}, parsed.Has("verbose"))) return kExitFailed;
  DriveTable drives;
  RegisterImage(drives, disk);
  const ImageKind kind = disk.CurrentImageKind().value_or(ImageKind::kRaw);
  const std::vector<InfoLine> lines = DiskInfoLines(drives, 0, disk, kind);

  ProgressLine progress(parsed.Has("quiet"));
  ScanControl control(progress.Sink());
  const PartitionTable table = FindPartitions(disk, SearchRule::kWhenTableEmpty, control);

  if (parsed.Has("json")) {
    std::printf("%s\n", InfoJson(disk, lines, table).c_str());
    return kExitOk;
  }
  std::printf("Format\t\t\t: %s\n", ImageKindName(kind));
  for (const InfoLine& line : lines) std::printf("%s %s\n", line.label.c_str(), line.value.c_str());
  std::printf("Virtual Size\t\t: %llu bytes\n", static_cast<unsigned long long>(disk.Size()));
  const ChainReport& chain = disk.Chain();
  if (chain.images.size() > 1) {
    std::printf("Chain\t\t\t:\n");
    for (std::size_t i = 0; i < chain.images.size(); ++i) {
      const ChainImage& image = chain.images[i];
      if (image.found)
        std::printf("  %zu\t%s\t%s\t%s%s\n", i, image.format.c_str(), image.type.c_str(), image.path.string().c_str(),
                    image.logReplayed ? "\t(log replayed)" : "");
      else
        std::printf("  %zu\tmissing parent\t%s\n", i, image.path.string().c_str());
    }
  }
  if (!chain.images.empty() && chain.images.front().format == "VHDX")
    std::printf("Log\t\t\t: %s\n", chain.images.front().logReplayed ? "replayed in memory" : "clean (nothing to replay)");
  if (!disk.Repairs().empty()) {
    std::printf("Repairs\t\t\t: (in memory only; the image is not changed)\n");
    for (const Repair& repair : disk.Repairs()) std::printf("  %s\n", repair.Text().c_str());
  }
  std::printf("\n");
  PrintPartitions(table);
  return kExitOk;
}

}  // namespace dravik::cli
