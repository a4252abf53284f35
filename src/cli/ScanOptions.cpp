// The options of "dravik scan" in its three modes, and those every verb that
// shows a result shares.

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Args.h"
#include "cli/Commands.h"
#include "cli/ScanShared.h"
#include "fs/FamilyRegistry.h"
#include "snapshot/SnapshotFile.h"
#include "snapshot/SnapshotTexts.h"
#include "util/Utf.h"

namespace dravik::cli {

namespace {

constexpr const char* kScanUsage =
    "Usage: dravik scan quick IMAGE [--partition N] [--list | --json] [--recover DIR]\n"
    "                               [--report FILE] [--select PATH]...\n"
    "                               [--deleted include|only|exclude]\n"
    "                               [--duplicates rename|overwrite|skip] [--filter PATTERN]...\n"
    "                               [--quiet] [--verbose] [--as-raw]\n"
    "       dravik scan extensive IMAGE --fs ntfs|fat32|fat16|ext4 [--start S] [--end E]\n"
    "                               [--pick K [the listing and saving options]]\n"
    "       dravik scan trace IMAGE --types .EXT[,.EXT...] [--partition N | --whole-disk]\n"
    "                               [--size MIB] [--list | --json] [--recover DIR]\n"
    "\n"
    "Quick Scan: reads the folders and files of a FAT16, FAT32, NTFS or ext2/3/4\n"
    "partition from its own structures, deleted ones included, and prints them as\n"
    "a tree (deleted items are marked). Partitions are numbered as 'dravik\n"
    "partitions' lists them.\n"
    "\n"
    "Extensive Scan: searches every sector of a range (the whole image by default)\n"
    "for FAT boot sectors and directories, NTFS boot sectors, MFT records and\n"
    "index records, or ext superblocks and their copies (--fs ext4 finds ext2\n"
    "and ext3 too), and lists the file systems they reveal, one a line:\n"
    "\"FAT32 @ N\" (N the sector of cluster 0), \"NTFS @ N\" or \"EXT4 @ N\" (N the\n"
    "volume's first sector), cluster (block) size, size;\n"
    "--json prints {\"fileSystems\":[{\"index\",\"type\",\"start\",\"sectorsPerCluster\",\n"
    "\"end\"}]}. --pick K extracts the K-th of them and goes on as the Quick Scan.\n"
    "\n"
    "File Trace: reads every sector of the partition (or the disk) and takes each\n"
    "one that begins with the signature of a chosen type ('dravik types' lists\n"
    "them) as a found file, named by its number and extension and listed under\n"
    "its type and extension; a found file is recovered as the carve size from\n"
    "its first sector, cut where its format records its end (JPEG, PNG, GIF,\n"
    "PDF, ZIP and its kin, RIFF, BMP, SQLite, 7-Zip, MP4 and QuickTime, compound\n"
    "files). --json prints {\"items\":[{\"kind\",\"path\",\"name\",\n"
    "\"firstSector\",\"id\"}]}.\n"
    "\n"
    "Options:\n"
    "  --partition N        the partition to scan (default 0)\n"
    "  --fs KIND            extensive: the kind of file system sought: ntfs, fat32,\n"
    "                       fat16 or ext4 (ext2, ext3 and ext4)\n"
    "  --start S, --end E   extensive: the first and last sector searched\n"
    "  --pick K             extensive: extract found file system K (from 1)\n"
    "  --types LIST         trace: the extensions sought, comma separated\n"
    "                       (\".jpg,.pdf\"); every catalogue type of each is sought\n"
    "  --size MIB           trace: the size of each recovered file, 1 to 50\n"
    "                       mebibytes (default 2)\n"
    "  --whole-disk         trace: the whole disk rather than a partition\n"
    "  --no-trim            trace: write every recovered file at the full size, not\n"
    "                       cut where its format records its end\n"
    "  --keep-inner-hits    trace: list the hits inside a file found before them\n"
    "                       too (left out when that file's end is recorded)\n"
    "  --list               one line per item, tab-separated: kind, live or deleted,\n"
    "                       size, modification time (UTC, ISO 8601, or -), path\n"
    "  --json               {\"items\":[{\"kind\",\"path\",\"name\",\"size\",\"deleted\",\"id\",\n"
    "                       \"created\",\"modified\",\"createdUtc\",\"modifiedUtc\"}, ...]};\n"
    "                       paths join the names below the root with \"/\"; the\n"
    "                       *Utc members are ISO 8601 or null where not recorded\n"
    "  --recover DIR        save into DIR: the root's files into DIR, every folder\n"
    "                       recreated below it (created when missing). The exit\n"
    "                       status is 1 unless every file was saved whole and at\n"
    "                       least one was saved. Every file that is not whole is\n"
    "                       named on standard error (the first 20) with the reason:\n"
    "                       one that could not be written is removed; one cut\n"
    "                       short by an interrupt is kept as NAME.partial; one\n"
    "                       with parts the image could not give keeps its name,\n"
    "                       zeros standing for the missing bytes\n"
    "  --report FILE        with --recover: write every file that is not whole into\n"
    "                       FILE as JSON: {\"saved\",\"failed\",\"incomplete\",\"files\":\n"
    "                       [{\"path\",\"status\",\"reason\",\"missingBytes\"}]}\n"
    "  --select PATH        save only this folder (recreated with its path) or file\n"
    "                       (written into DIR itself); may be repeated\n"
    "  --deleted MODE       include (default), only or exclude deleted files\n"
    "  --duplicates MODE    for a name that exists already: rename (default, to\n"
    "                       \"Copy (n ) of NAME\"), overwrite or skip\n"
    "  --filter PATTERN     list and save only files whose names match (\"*\" any run\n"
    "                       of characters, \"?\" one character, no wildcard: the\n"
    "                       name contains it; case does not matter); may be repeated\n"
    "  --save-snapshot FILE keep the result in FILE (\".dvsf\" appended unless it ends\n"
    "                       so), to list and recover later with 'dravik snapshot';\n"
    "                       extensive: with --pick\n"
    "  --replace            write over an existing snapshot FILE\n"
    "  --quiet              no progress line on standard error\n"
    "  --as-raw             read the file as a plain disk whatever its name says: the\n"
    "                       last road for a container whose structures are beyond\n"
    "                       repair (the extensive modes then search its own bytes)\n"
    "  --verbose            also say on standard error what the image reader had to\n"
    "                       work around, why the boot sector or the parameters\n"
    "                       could not be read, and (extensive) why a boot sector\n"
    "                       found was set aside\n"
    "  --help               show this text\n";


std::optional<DeletedMode> ParseDeletedMode(const std::string& text) {
  if (text == "include") return DeletedMode::kInclude;
  if (text == "only") return DeletedMode::kOnly;
  if (text == "exclude") return DeletedMode::kExclude;
  return std::nullopt;
}

std::optional<DuplicateMode> ParseDuplicateMode(const std::string& text) {
  if (text == "rename") return DuplicateMode::kRename;
  if (text == "overwrite") return DuplicateMode::kOverwrite;
  if (text == "skip") return DuplicateMode::kSkip;
  return std::nullopt;
}


// "--fs ntfs, --fs fat32 or --fs fat16": the kinds the search knows.
std::string FsChoices() {
  const auto kinds = SearchableKinds();
  std::string text;
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    if (i != 0) text += i + 1 == kinds.size() ? " or " : ", ";
    text += std::string("--fs ") + kinds[i].option;
  }
  return text;
}

// The options of the Extensive Scan, or the exit status when they are wrong.
Stop ParseExtensiveOptions(const ParsedArgs& parsed, ScanOptions& options) {
  const bool extensive = options.mode == "extensive";
  for (const char* name : {"fs", "start", "end", "pick"})
    if (!extensive && parsed.Has(name))
      return UsageError(std::string("--") + name + " belongs to 'scan extensive'", kScanUsage);
  if (!extensive) return std::nullopt;
  if (parsed.Has("partition")) return UsageError("--partition belongs to 'scan quick'", kScanUsage);
  const auto code = SearchableCodeOf(parsed.Value("fs").value_or(""));
  if (!code) return UsageError("scan extensive needs " + FsChoices(), kScanUsage);
  options.fsType = *code;
  options.start = parsed.Value("start").value_or("0");
  options.end = parsed.Value("end");
  if (auto pick = parsed.Value("pick")) {
    const auto number = ParseByteCount(*pick);
    if (!number || *number == 0) return UsageError("--pick needs a number from 1", kScanUsage);
    options.pick = *number;
  }
  if (!options.pick && (options.list || options.destination || !options.filter.Empty()))
    return UsageError("--list, --filter and --recover need --pick K", kScanUsage);
  return std::nullopt;
}


}  // namespace

Stop ParseResultOptions(const ParsedArgs& parsed, ScanOptions& options, const char* usage) {
  options.list = parsed.Has("list");
  options.json = parsed.Has("json");
  options.quiet = parsed.Has("quiet");
  options.verbose = parsed.Has("verbose");
  options.asRaw = parsed.Has("as-raw");
  options.destination = parsed.Value("recover");
  options.report = parsed.Value("report");
  if (parsed.Has("select")) options.selected = parsed.values.at("select");
  if (options.list && options.json) return UsageError("--list and --json exclude each other", usage);
  if (!options.selected.empty() && !options.destination) return UsageError("--select needs --recover DIR", usage);
  if (options.report && !options.destination) return UsageError("--report needs --recover DIR", usage);
  if (auto mode = parsed.Value("deleted")) {
    const auto value = ParseDeletedMode(*mode);
    if (!value) return UsageError("--deleted takes include, only or exclude", usage);
    options.settings.deleted = *value;
  }
  if (auto mode = parsed.Value("duplicates")) {
    const auto value = ParseDuplicateMode(*mode);
    if (!value) return UsageError("--duplicates takes rename, overwrite or skip", usage);
    options.settings.duplicates = *value;
  }
  if (parsed.Has("filter")) {
    for (const std::string& pattern : parsed.values.at("filter")) {
      const auto added = options.filter.Add(FromUtf8(pattern));
      if (added != FilterList::AddResult::kAdded)
        return UsageError("--filter " + pattern + ": " + FilterList::Message(added), usage);
    }
  }
  return std::nullopt;
}

Stop CheckSnapshotTarget(ScanOptions& options) {
  if (!options.snapshot) return std::nullopt;
  const std::filesystem::path path = WithSnapshotExtension(*options.snapshot);
  options.snapshot = path.string();
  std::error_code ec;
  if (std::filesystem::exists(path, ec) && !options.replaceSnapshot) {
    std::fprintf(stderr, "dravik: %s already exists (--replace writes over it)\n", path.c_str());
    return kExitFailed;
  }
  const std::filesystem::path folder = path.parent_path().empty() ? "." : path.parent_path();
  if (!std::filesystem::is_directory(folder, ec)) {
    std::fprintf(stderr, "dravik: cannot save the snapshot into %s: no such folder\n", folder.c_str());
    return kExitFailed;
  }
  return std::nullopt;
}

namespace {

Stop WriteResultSnapshot(const ScanOptions& options, const std::vector<std::uint8_t>& bytes,
                                       const char* cannotOpen) {
  if (const int error = WriteSnapshotFile(*options.snapshot, bytes); error != 0) {
    std::fprintf(stderr, "%s\ndravik: %s: %s\n", cannotOpen, options.snapshot->c_str(), std::strerror(error));
    return kExitFailed;
  }
  if (!options.quiet) std::fprintf(stderr, "Snapshot saved into %s\n", options.snapshot->c_str());
  return std::nullopt;
}

}  // namespace

Stop SaveResultSnapshot(const ScanOptions& options, const SnapshotInfo& info,
                                      const RecoveryStore& store) {
  if (!options.snapshot) return std::nullopt;
  return WriteResultSnapshot(options, EncodeFileSystemSnapshot(info, store), SnapshotTexts::kCannotOpen);
}

Stop SaveTraceSnapshot(const ScanOptions& options, const SnapshotInfo& info,
                                     std::span<const SignatureGroup> groups, std::span<const FoundFile> files) {
  if (!options.snapshot) return std::nullopt;
  return WriteResultSnapshot(options, EncodeTraceSnapshot(info, groups, files), SnapshotTexts::kCannotOpenTrace);
}


namespace {

// The options of File Trace, or the exit status when they are wrong.
Stop ParseTraceOptions(const ParsedArgs& parsed, ScanOptions& options) {
  const bool trace = options.mode == "trace";
  for (const char* name : {"types", "size", "whole-disk", "no-trim", "keep-inner-hits"})
    if (!trace && parsed.Has(name)) return UsageError(std::string("--") + name + " belongs to 'scan trace'", kScanUsage);
  if (!trace) return std::nullopt;
  if (parsed.Has("whole-disk") && parsed.Has("partition"))
    return UsageError("--whole-disk and --partition exclude each other", kScanUsage);
  options.wholeDisk = parsed.Has("whole-disk");
  options.settings.trimCarved = !parsed.Has("no-trim");
  options.settings.skipHitsInsideFound = !parsed.Has("keep-inner-hits");
  std::stringstream list(parsed.Value("types").value_or(""));
  for (std::string type; std::getline(list, type, ',');)
    if (!type.empty()) options.types.push_back(type);
  if (options.types.empty()) return UsageError("scan trace needs --types .EXT[,.EXT...] (see 'dravik types')", kScanUsage);
  if (auto size = parsed.Value("size")) {
    const auto mib = ParseByteCount(*size);
    if (!mib || *mib < 1 || *mib > 50) return UsageError("--size takes 1 to 50 (mebibytes)", kScanUsage);
    options.carveSizeMiB = static_cast<std::uint32_t>(*mib);
  }
  return std::nullopt;
}

}  // namespace

Stop ParseScanOptions(const std::vector<std::string>& args, ScanOptions& options) {
  const ParsedArgs parsed = ParseArgs(args, {{"partition", true}, {"list"}, {"json"}, {"recover", true},
                                             {"report", true}, {"select", true}, {"deleted", true}, {"duplicates", true},
                                             {"filter", true}, {"quiet"}, {"verbose"}, {"as-raw"}, {"help"}, {"fs", true},
                                             {"start", true}, {"end", true}, {"pick", true},
                                             {"save-snapshot", true}, {"replace"}, {"types", true},
                                             {"size", true}, {"whole-disk"}, {"no-trim"}, {"keep-inner-hits"}});
  if (!parsed.error.empty()) return UsageError(parsed.error, kScanUsage);
  if (parsed.Has("help")) {
    std::fputs(kScanUsage, stdout);
    return kExitOk;
  }
  const auto modeIs = [&](const char* mode) { return parsed.positionals[0] == mode; };
  if (parsed.positionals.size() != 2 || !(modeIs("quick") || modeIs("extensive") || modeIs("trace")))
    return UsageError("scan takes the mode 'quick', 'extensive' or 'trace' and one IMAGE", kScanUsage);
  options.mode = parsed.positionals[0];
  options.image = parsed.positionals[1];
  if (auto status = ParseResultOptions(parsed, options, kScanUsage)) return *status;
  const auto partition = ParseByteCount(parsed.Value("partition").value_or("0"));
  if (!partition) return UsageError("--partition needs a number", kScanUsage);
  options.partition = *partition;
  options.snapshot = parsed.Value("save-snapshot");
  options.replaceSnapshot = parsed.Has("replace");
  if (options.replaceSnapshot && !options.snapshot)
    return UsageError("--replace needs --save-snapshot FILE", kScanUsage);
  if (auto status = ParseExtensiveOptions(parsed, options)) return *status;
  if (auto status = ParseTraceOptions(parsed, options)) return *status;
  if (options.snapshot && options.mode == "extensive" && !options.pick)
    return UsageError("--save-snapshot keeps a picked file system: it needs --pick K", kScanUsage);
  return std::nullopt;
}

}  // namespace dravik::cli
