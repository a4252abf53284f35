#pragma once
// Everything one recovery holds, owned by the wizard and passed by
// reference: the open image and its drive table, the partitions, the
// parameters and results of the last scan, the Extensive Scan's findings,
// the Recovery Settings and the destination chosen last.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "disk/DriveTable.h"
#include "disk/FsParams.h"
#include "disk/PartitionTable.h"
#include "disk/SectorReader.h"
#include "fs/FileSystemFamily.h"
#include "fs/NameMatch.h"
#include "fs/RecoveryStore.h"
#include "fs/ResultTree.h"
#include "fs/ScanMode.h"
#include "fs/extensive/ExtensiveFindings.h"
#include "raw/TraceTree.h"
#include "save/RecoverySettings.h"
#include "session/ScanResult.h"
#include "snapshot/Snapshot.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::app {

struct Session {
  VirtualDisk disk;
  SectorReader reader{disk};
  DriveTable drives;
  std::optional<ImageKind> imageKind;
  std::string lastImage;  // the image opened last, as typed
  // Whether it was read as a raw disk on request (the start page's check
  // box, or the question after it could not be opened as an image).
  bool lastAsRaw = false;

  ScanMode mode = ScanMode::kQuick;
  bool scanStarted = false;

  PartitionTable partitions;
  int selectedPartition = -1;
  FsParams params;
  // The folders and files of the last Quick or Extensive Scan, or of a
  // loaded snapshot of one.
  std::optional<ScanResult> result;
  std::unique_ptr<FileContents> contents;  // for previews, opened by the first
  ExtensiveFindings findings;
  // File Trace: the types sought and the carve size, the files found and
  // their tree; the carve size chosen last is offered again.
  TraceChoice traceChoice;
  std::vector<FoundFile> traced;
  std::optional<TraceTree> traceTree;
  std::uint32_t lastCarveSizeMiB = 0;
  FsParams searchedRange;  // the range of the last Extensive Scan

  // Set while the results shown were loaded from a snapshot: what it says
  // of the partition and the file system the records came from.
  std::optional<SnapshotInfo> snapshot;

  RecoverySettings settings;
  FilterList filter;
  std::filesystem::path destination;

  bool ResultsAvailable() const { return Tree() != nullptr || traceTree.has_value(); }
  // The tree and records of the result; none (an empty store) without one.
  ResultTree* Tree() { return result && result->tree ? &*result->tree : nullptr; }
  const ResultTree* Tree() const { return result && result->tree ? &*result->tree : nullptr; }
  RecoveryStore& Store() { return result ? *result->store : noRecords_; }
  const RecoveryStore& Store() const { return result ? *result->store : noRecords_; }
  bool ImageOpen() const { return disk.IsOpen(); }
  // Frees the results of a scan (tree, store, contents).
  void FreeResults();
  // Frees everything a scan built, the partitions and findings too.
  void FreeScan();

 private:
  RecoveryStore noRecords_;
};

}  // namespace dravik::app
