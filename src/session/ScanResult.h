#pragma once
// The result of a scan of one file system, as both front ends take it: the
// parameters it was read with, its family, the records with the tree over
// them, the verdict and what the front end says afterwards. A Quick Scan, the
// extraction of a volume the Extensive Scan found and a loaded snapshot all
// give one.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk/FsParams.h"
#include "disk/PartitionTable.h"
#include "fs/FileSystemFamily.h"
#include "fs/FsFamily.h"
#include "fs/RecoveryStore.h"
#include "fs/ResultTree.h"
#include "util/Outcome.h"

namespace dravik {

class Diagnostics;
struct ExtensiveFindings;
class ScanControl;
class SectorReader;
struct Snapshot;

// Usable once scanned, its message then what the front end shows
// afterwards; failed (or not this) as the Quick Scan says.
struct ScanResult : Outcome {
  FsParams params;
  FsFamily family = FsFamily::kFat;
  // Folders whose listing the image could not give whole ("/" the root):
  // files in them may be missing.
  std::vector<std::u16string> foldersNotReadWhole;
  // The records live behind a pointer so that the tree, which refers to
  // them, stays valid when the result is moved.
  std::unique_ptr<RecoveryStore> store = std::make_unique<RecoveryStore>();
  std::optional<ResultTree> tree;  // over *store once scanned

  // Whether the scan found a folder or file (the "Lost Dir" it makes itself
  // does not count).
  bool Found() const { return Usable() && HoldsFindings(*store); }
  // What the files' contents are read with, for saving and previews; it
  // refers to this result's parameters and the reader.
  std::unique_ptr<FileContents> OpenContents(const SectorReader& reader) const;
};

// The Quick Scan of a partition: its parameters (read, else calculated),
// its folders and files, and the tree over them with everything checked.
// Why the parameters could not be read or calculated goes into diagnostics.
ScanResult ScanPartition(const SectorReader& reader, const PartitionEntry& partition, ScanControl& control);
ScanResult ScanPartition(const SectorReader& reader, const PartitionEntry& partition, ScanControl& control,
                         Diagnostics& diagnostics);

// The folders and files of found file system `index` (from 1) of the
// Extensive Scan's findings over the range searched.
ScanResult ExtractFoundFileSystem(const SectorReader& reader, const ExtensiveFindings& findings, std::uint16_t index,
                                  const FsParams& searched, ScanControl& control);

// The result a Quick or Extensive Scan snapshot keeps; its records are moved out.
ScanResult ResultOfSnapshot(Snapshot& snapshot);

}  // namespace dravik
