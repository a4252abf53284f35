#pragma once
// What the engine asks of a file-system family: its Quick Scan, the
// Extensive Scan's search of a sector range and the extraction of a volume
// it found, the reading of a recovered file's contents, and the check that
// a kept result belongs to a disk, the lines that show its parameters, and
// its layout for the placing of lost VHD/VHDX blocks. A family is one
// registration in FamilyRegistry.cpp.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "disk/FsParams.h"
#include "fs/FsFamily.h"
#include "fs/RecoveryStore.h"
#include "save/FileWriter.h"

namespace dravik {

class Diagnostics;
struct ExtensiveFindings;
struct PartitionEntry;
class PlacementView;
class ResultTree;
class ScanControl;
class SectorReader;
class VolumeLayout;

// How the front ends show the parameters only a family's volumes have.
struct FamilyParameterLines {
  // The "Drive Information" rows the family fills, by their label without
  // padding or colon ("First FAT", "Second FAT", "MFT Start").
  std::vector<std::pair<std::string, std::string>> driveRows;
  // The line of a snapshot's --info that says where the family's structures
  // lie: its label without colon, and its text.
  std::string label;
  std::string text;
};

// A family's access to the contents of its files, opened once per save or
// preview session (it may hold tables read from the volume).
class FileContents {
 public:
  virtual ~FileContents() = default;
  // Writes the file into folder and counts how it went in the context's
  // SaveControl; name becomes the name it is written under. forSave false
  // writes the copy a preview shows, under name, without the save's filter,
  // deleted and duplicate settings.
  virtual FileOutcome Write(const SaveContext& context, const std::filesystem::path& folder, const FileRecord& file,
                            bool forSave, std::u16string& name) const = 0;
};

class FileSystemFamily {
 public:
  virtual ~FileSystemFamily() = default;

  virtual FsFamily Id() const = 0;
  // The id that items in the root folder name as their parent.
  virtual std::uint32_t RootId() const = 0;

  // Lists the volume's folders and files into the store (emptied first).
  // Returns the folders whose listing the image could not give whole ("/"
  // the root).
  virtual std::vector<std::u16string> QuickScan(const SectorReader& reader, const FsParams& params,
                                                RecoveryStore& store, ScanControl& control) const = 0;

  // The Extensive Scan of a sector range for the family's structures, and
  // the identification of the file systems they reveal, into the findings
  // (emptied by the caller). fsCode: the kind sought, one of the family's
  // codes. threads: how many search (0: one a core). Why the
  // identification set aside a boot sector it found goes into diagnostics.
  virtual void SearchRange(const SectorReader& reader, std::uint16_t fsCode, std::uint64_t start,
                           std::uint64_t sectors, std::uint32_t blockSectors, ExtensiveFindings& findings,
                           ScanControl& control, unsigned threads, Diagnostics& diagnostics) const = 0;
  // What the search counts, in the order of its ScanControl counters, as
  // the progress pane labels them.
  virtual std::vector<std::string> SearchCounterLabels() const = 0;

  // Extracts the found volume params.fsIndex into the store (emptied first)
  // and builds its tree, also after a stop. Positions found on the way are
  // written into params, for saving.
  virtual ResultTree ExtractFound(const SectorReader& reader, const ExtensiveFindings& findings, FsParams& params,
                                  RecoveryStore& store, ScanControl& control) const = 0;

  virtual std::unique_ptr<FileContents> OpenContents(const SectorReader& reader, const FsParams& params) const = 0;

  // Whether a result kept in a snapshot can be of this disk: its records
  // lie on it and a sample of them still shows the family's structures.
  virtual bool ResultFitsDisk(const FsParams& params, const RecoveryStore& store,
                              const SectorReader& reader) const = 0;

  // Reads the volume's parameters from its boot sector (see ReadFsParams).
  virtual bool ReadParams(const SectorReader& reader, FsParams& params, Diagnostics& diagnostics) const = 0;
  // Finds them from the volume's data area when its boot sector is lost
  // (see CalculateFsParams); a family that cannot answers ParamsNotCalculated.
  virtual bool CalculateParams(const SectorReader& reader, FsParams& params, ScanControl& control,
                               Diagnostics& diagnostics) const = 0;

  virtual FamilyParameterLines ParameterLines(const FsParams& params) const = 0;

  // The volume of a partition entry as the placing of lost blocks reads it
  // from the disk placed so far (see VolumeLayout.h); it may anchor the
  // sectors it finds in the lost areas on the way. Null when the volume's
  // structures do not read.
  virtual std::unique_ptr<VolumeLayout> ReadVolumeLayout(const PartitionEntry& entry, PlacementView& view) const = 0;
};

}  // namespace dravik
