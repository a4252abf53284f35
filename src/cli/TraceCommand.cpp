// dravik types and dravik scan trace: the catalogue of file types, and the
// signature scan of a partition (or the whole disk) with its results listed
// by type and extension and recovered as carved files.

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <unordered_set>

#include "cli/Commands.h"
#include "cli/Json.h"
#include "cli/Progress.h"
#include "cli/SaveReport.h"
#include "cli/ScanShared.h"
#include "disk/DriveTable.h"
#include "fs/FsParamsReader.h"
#include "disk/SectorReader.h"
#include "raw/CarveWriter.h"
#include "raw/CompoundFile.h"
#include "raw/TraceTree.h"
#include "util/ScanControl.h"
#include "util/Utf.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::cli {

namespace {

constexpr const char* kTypesUsage =
    "Usage: dravik types [--json]\n"
    "\n"
    "Lists the file types File Trace can look for, from the catalogue Raw.dat\n"
    "(beside the program, or in share/dravik of its installation): category,\n"
    "extension, type name and signature, one a line, tab separated.\n";

std::optional<Catalogue> LoadOrSay() {
  auto catalogue = LoadCatalogue(CataloguePath());
  if (!catalogue) std::fprintf(stderr, "dravik: cannot read the catalogue %s\n", CataloguePath().c_str());
  return catalogue;
}

// The groups for the extensions asked for, or none (with a message) when
// one is not in the catalogue.
std::optional<std::vector<SignatureGroup>> GroupsOf(const Catalogue& catalogue, const std::vector<std::string>& types) {
  std::vector<std::size_t> items;
  for (const std::string& type : types) {
    std::optional<std::size_t> item;
    for (const CatalogueCategory& category : catalogue.categories)
      for (const std::size_t index : category.items)
        if (!item && catalogue.entries[index].extension == type) item = index;
    if (!item) {
      std::fprintf(stderr, "dravik: --types: %s is not in the catalogue (see 'dravik types')\n", type.c_str());
      return std::nullopt;
    }
    items.push_back(*item);
  }
  TraceChoice choice;
  ConfirmTypes(catalogue, items, 1, choice);
  return choice.groups;
}

struct TraceItem {
  std::u16string path;  // "Type/.ext/name"
  const FoundFile* file;
};

// Every found file under every item of the tree, in tree order.
void WalkTrace(std::span<const FoundFile> files, const std::function<void(const TraceItem&, int)>& visit) {
  for (const TraceTypeItem& type : BuildTraceTree(files)) {
    visit({type.typeName, nullptr}, 1);
    for (const TraceExtensionItem& extension : type.extensions) {
      const std::u16string path = type.typeName + u"/" + extension.extension;
      visit({path, nullptr}, 2);
      for (const std::size_t i : extension.files) visit({path + u"/" + files[i].name, &files[i]}, 3);
    }
  }
}

void PrintTrace(const ScanOptions& options, std::span<const FoundFile> files) {
  if (options.json) {
    std::string items;
    WalkTrace(files, [&](const TraceItem& item, int) {
      if (!item.file) return;
      JsonObject json;
      json.Add("kind", "file")
          .Add("path", ToUtf8(item.path))
          .Add("name", ToUtf8(item.file->name))
          .Add("firstSector", item.file->firstSector)
          .Add("id", std::uint64_t{item.file->fileNumber});
      if (!items.empty()) items += ",";
      items += json.Str();
    });
    std::printf("{\"items\":[%s]}\n", items.c_str());
    return;
  }
  if (!options.list) std::printf("Root/\n");
  WalkTrace(files, [&](const TraceItem& item, int depth) {
    if (options.list) {
      if (item.file)
        std::printf("file\t%llu\t%s\n", static_cast<unsigned long long>(item.file->firstSector),
                    ToUtf8(item.path).c_str());
      return;
    }
    const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
    const std::string label = ToUtf8(item.path.substr(item.path.rfind(u'/') + 1));
    if (item.file)
      std::printf("%s%s  (sector %llu)\n", indent.c_str(), label.c_str(),
                  static_cast<unsigned long long>(item.file->firstSector));
    else
      std::printf("%s%s/\n", indent.c_str(), label.c_str());
  });
}

// The numbers of the files --select names (a type, a type/extension or a
// file, by its path or its name), or of every file without a selection.
std::optional<std::unordered_set<std::uint32_t>> Checked(const ScanOptions& options, std::span<const FoundFile> files) {
  std::unordered_set<std::uint32_t> checked;
  if (options.selected.empty()) {
    for (const FoundFile& file : files) checked.insert(file.fileNumber);
    return checked;
  }
  for (const std::string& text : options.selected) {
    const std::u16string wanted = FromUtf8(text);
    bool found = false;
    WalkTrace(files, [&](const TraceItem& item, int) {
      const bool named = item.path == wanted || (item.file && item.file->name == wanted);
      const bool below = item.file && item.path.rfind(wanted + u"/", 0) == 0;
      if (item.file && (named || below)) {
        checked.insert(item.file->fileNumber);
        found = true;
      }
    });
    if (!found) {
      std::fprintf(stderr, "dravik: --select %s: no such type, extension or file in the result\n", text.c_str());
      return std::nullopt;
    }
  }
  return checked;
}

}  // namespace

std::filesystem::path CataloguePath() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  return CatalogueFileOf(ec ? std::filesystem::path(".") : self.parent_path(), DRAVIK_DATA_FROM_BIN);
}

int RunTypes(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(args, {{"json"}, {"help"}});
  if (!parsed.error.empty() || !parsed.positionals.empty())
    return UsageError(parsed.error.empty() ? "types takes no arguments" : parsed.error, kTypesUsage);
  if (parsed.Has("help")) {
    std::fputs(kTypesUsage, stdout);
    return kExitOk;
  }
  const auto catalogue = LoadOrSay();
  if (!catalogue) return kExitFailed;
  std::string items;
  for (const CatalogueCategory& category : catalogue->categories) {
    for (const std::size_t index : category.items) {
      const CatalogueEntry& e = catalogue->entries[index];
      if (!parsed.Has("json")) {
        std::printf("%s\t%s\t%s\t%s\n", category.name.c_str(), e.extension.c_str(), e.typeName.c_str(),
                    e.signature.c_str());
        continue;
      }
      JsonObject json;
      json.Add("category", category.name).Add("extension", e.extension).Add("typeName", e.typeName).Add("signature", e.signature);
      if (!items.empty()) items += ",";
      items += json.Str();
    }
  }
  if (parsed.Has("json")) std::printf("{\"types\":[%s]}\n", items.c_str());
  return kExitOk;
}

int ShowTraceResult(const ScanOptions& options, const SectorReader* reader, std::span<const FoundFile> files,
                    ProgressLine& progress) {
  if (!options.destination || options.json || options.list) PrintTrace(options, files);
  if (!options.destination) return kExitOk;
  if (!reader) {
    std::fprintf(stderr, "dravik: --recover reads the files from the image: give the IMAGE as well\n");
    return kExitUsage;
  }
  const auto checked = Checked(options, files);
  if (!checked) return kExitFailed;
  SaveControl saveControl(progress.SaveSink());
  const FsParams params;
  const SaveContext context{*reader, params, options.settings, options.filter, saveControl, options.image};
  return EndSave(options, SaveCarvedFiles(context, files, *checked, options.carveSizeMiB, *options.destination),
                 progress);
}

int RunTraceScanCommand(ScanOptions& options) {
  const auto catalogue = LoadOrSay();
  if (!catalogue) return kExitFailed;
  const auto groups = GroupsOf(*catalogue, options.types);
  if (!groups) return kExitUsage;
  VirtualDisk disk;
  if (!OpenForCommand(disk, options.image, {false, options.asRaw}, options.verbose)) return kExitFailed;
  if (auto status = CheckSnapshotTarget(options)) return *status;
  ProgressLine progress(options.quiet);
  // The progress line of the search names the hits found so far too.
  const ScanControl* counted = nullptr;
  const ScanControl::Sink shown = progress.Sink();
  ScanControl control(shown ? ScanControl::Sink([&](const ProgressUpdate& update) {
    ProgressUpdate line = update;
    if (counted && line.text.rfind("Reading Sector ", 0) == 0)
      line.text += ", " + std::to_string(counted->Counts().files) + " hits";
    shown(line);
  })
                            : ScanControl::Sink());
  const SectorReader reader(disk);
  FsParams params;
  SnapshotPartition partition;
  if (options.wholeDisk) {
    params.partitionSectors = reader.SectorCount();
    params.lastSector = reader.SectorCount() > 0 ? reader.SectorCount() - 1 : 0;
  } else {
    const PartitionTable table = FindPartitions(disk, SearchRule::kWhenTableEmpty, control);
    if (options.partition >= table.Count()) {
      std::fprintf(stderr, "dravik: there is no partition %llu; the disk has %zu (see 'dravik partitions'; "
                           "--whole-disk searches the whole disk)\n", options.partition, table.Count());
      return kExitFailed;
    }
    const PartitionEntry& entry = table.Entries()[options.partition];
    params = FsParams::ForPartition(entry);
    partition = {entry.code, static_cast<std::uint16_t>(options.partition)};
    if (!ReadFsParams(reader, params, control)) {
      progress.Clear();
      std::fprintf(stderr, "%s\n", kParamsNotFoundMessage);
      return kExitFailed;
    }
  }
  control.Report(TraceTexts::kSearching);
  counted = &control;
  std::vector<FoundFile> files =
      ScanSignatures(reader, params.partitionStart, params.lastSector, *groups,
                     [&](std::uint64_t sector) { return DetermineOfficeKind(reader, sector); }, control);
  const std::size_t found = files.size();
  const std::size_t inside =
      options.settings.skipHitsInsideFound ? DropHitsInsideFoundFiles(reader, files, options.carveSizeMiB) : 0;
  progress.Clear();
  if (!options.quiet)
    std::fprintf(stderr, "%zu hits found, %zu of them inside a file found before them and not listed%s\n", found,
                 inside, options.settings.skipHitsInsideFound ? "" : " (--keep-inner-hits)");
  const SnapshotInfo info{ScanMode::kFileTrace, partition, params, {0, static_cast<std::uint16_t>(DeviceKind::kDisk)}};
  if (auto status = SaveTraceSnapshot(options, info, *groups, files)) return *status;
  return ShowTraceResult(options, &reader, files, progress);
}

}  // namespace dravik::cli
