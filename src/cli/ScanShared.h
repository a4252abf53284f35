#pragma once
// What the three scan modes of "dravik scan" share: their options, and how a
// scan's result is listed and saved.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/Args.h"
#include "cli/Commands.h"
#include "fs/NameMatch.h"
#include "fs/RecoveryStore.h"
#include "raw/SignatureScan.h"
#include "save/RecoverySettings.h"
#include "session/ScanResult.h"
#include "snapshot/Snapshot.h"

namespace dravik {
class SectorReader;
}

namespace dravik::cli {

class ProgressLine;

struct ScanOptions {
  std::string mode;  // "quick" or "extensive"
  std::string image;
  unsigned long long partition = 0;
  RecoverySettings settings;
  FilterList filter;
  std::optional<std::string> destination;
  // --report: where the JSON list of every file not saved whole goes.
  std::optional<std::string> report;
  std::vector<std::string> selected;
  bool list = false;
  bool json = false;
  bool quiet = false;
  bool verbose = false;
  bool asRaw = false;
  // Extensive Scan: the kind sought, the range as typed, the file system picked.
  std::uint16_t fsType = 0;
  std::string start = "0";
  std::optional<std::string> end;
  std::optional<unsigned long long> pick;
  // File Trace: the extensions sought, the carve size, the whole disk
  // rather than a partition.
  std::vector<std::string> types;
  std::uint32_t carveSizeMiB = 2;
  bool wholeDisk = false;
  // --save-snapshot: where the result is kept (".dvsf" appended by the rule).
  std::optional<std::string> snapshot;
  bool replaceSnapshot = false;
};

// Reads the options of "dravik scan" into options; stops when they are wrong
// or only help was asked for.
Stop ParseScanOptions(const std::vector<std::string>& args, ScanOptions& options);

// Lists the result as the options ask (tree, --list or --json) and, with
// --recover, saves it from the reader (which --recover needs); returns the
// exit status.
int ShowScanResult(const ScanOptions& options, const SectorReader* reader, ScanResult& result,
                   ProgressLine& progress);

// The options every verb that shows a result shares (--list, --json,
// --recover, --select, --deleted, --duplicates, --filter, --quiet,
// --verbose), read into options; the exit status when one is wrong.
Stop ParseResultOptions(const ParsedArgs& parsed, ScanOptions& options, const char* usage);

// The path --save-snapshot names, or the exit status when there is none to
// write to: a file there and no --replace, or a folder that does not exist.
Stop CheckSnapshotTarget(ScanOptions& options);
// Writes the result into the snapshot --save-snapshot named, if any; the
// exit status when that failed.
Stop SaveResultSnapshot(const ScanOptions& options, const SnapshotInfo& info,
                                      const RecoveryStore& store);

// dravik scan extensive.
int RunExtensiveScanCommand(ScanOptions& options);

// dravik scan trace.
int RunTraceScanCommand(ScanOptions& options);
// Lists a File Trace's found files as the options ask and, with --recover,
// saves them from the reader; returns the exit status.
int ShowTraceResult(const ScanOptions& options, const SectorReader* reader, std::span<const FoundFile> files,
                    ProgressLine& progress);

// Writes a File Trace's result into the snapshot --save-snapshot named, if
// any; the exit status when that failed.
Stop SaveTraceSnapshot(const ScanOptions& options, const SnapshotInfo& info,
                                     std::span<const SignatureGroup> groups, std::span<const FoundFile> files);

// Where the programs keep the File Trace catalogue: Raw.dat beside them, or,
// once installed, in the data folder (share/dravik) of their installation.
std::filesystem::path CataloguePath();

}  // namespace dravik::cli
