#include "fs/fat/FatFamily.h"

#include "disk/SectorReader.h"
#include "fs/QuickScan.h"
#include "fs/ResultTree.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "fs/fat/FatExtract.h"
#include "fs/fat/FatFileWriter.h"
#include "fs/fat/FatIdentify.h"
#include "fs/fat/FatParams.h"
#include "fs/fat/FatQuickScan.h"
#include "fs/fat/FatStructureSearch.h"
#include "fs/fat/FatVolumeLayout.h"
#include "util/ScanControl.h"

namespace dravik::fat {

namespace {

// A file's clusters are followed through the FAT as each is written; nothing
// is read ahead.
class FatContents final : public FileContents {
 public:
  FileOutcome Write(const SaveContext& context, const std::filesystem::path& folder, const FileRecord& file,
                    bool forSave, std::u16string& name) const override {
    return ExtractFatFile(context, folder, file, forSave, name);
  }
};

class FatFamily final : public FileSystemFamily {
 public:
  FsFamily Id() const override { return FsFamily::kFat; }
  std::uint32_t RootId() const override { return kFatRootId; }

  std::vector<std::u16string> QuickScan(const SectorReader& reader, const FsParams& params, RecoveryStore& store,
                                        ScanControl& control) const override {
    control.Report(QuickScanTexts::kSearching, 0);
    return ScanFatQuick(reader, params, store, control);
  }

  void SearchRange(const SectorReader& reader, std::uint16_t fsCode, std::uint64_t start, std::uint64_t sectors,
                   std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control,
                   unsigned threads, Diagnostics& diagnostics) const override {
    SearchFatStructures(reader, start, sectors, blockSectors, findings, control, threads);
    IdentifyFatFileSystems(reader, fsCode, findings, control, diagnostics);
  }

  // Boot sectors and the first clusters of folders.
  std::vector<std::string> SearchCounterLabels() const override {
    return {ExtensiveTexts::kBootSectorsFound, ExtensiveTexts::kFoldersFound, ExtensiveTexts::kCurrentSector};
  }

  ResultTree ExtractFound(const SectorReader& reader, const ExtensiveFindings& findings, FsParams& params,
                          RecoveryStore& store, ScanControl& control) const override {
    return ExtractFatFileSystem(reader, findings, params, store, control);
  }

  std::unique_ptr<FileContents> OpenContents(const SectorReader&, const FsParams&) const override {
    return std::make_unique<FatContents>();
  }

  // Where the FAT is known, it begins with the media byte (0xF0 or above)
  // and then 0xFF.
  bool ResultFitsDisk(const FsParams& params, const RecoveryStore&, const SectorReader& reader) const override {
    if (params.firstFatLba == 0) return true;
    std::vector<std::uint8_t> sector(kSectorSize);
    return reader.Read(params.firstFatLba, 1, sector) && sector[0] >= 0xF0 && sector[1] == 0xFF;
  }

  bool ReadParams(const SectorReader& reader, FsParams& params, Diagnostics& diagnostics) const override {
    return ReadFatParams(reader, params, diagnostics);
  }

  bool CalculateParams(const SectorReader& reader, FsParams& params, ScanControl& control,
                       Diagnostics& diagnostics) const override {
    return CalculateFatParams(reader, params, control, diagnostics);
  }

  FamilyParameterLines ParameterLines(const FsParams& p) const override {
    const auto n = [](std::uint64_t v) { return std::to_string(v); };
    return {{{"First FAT", n(p.firstFatLba)}, {"Second FAT", n(p.secondFatLba)}},
            "FATs",
            n(p.fatSize) + " sectors each, at " + n(p.firstFatLba) + " and " + n(p.secondFatLba) + "; " +
                n(p.reservedSectors) + " reserved, " + n(p.rootDirSectors) + " root sectors"};
  }

  std::unique_ptr<VolumeLayout> ReadVolumeLayout(const PartitionEntry& entry, PlacementView& view) const override {
    return fat::ReadVolumeLayout(entry, view);
  }
};

}  // namespace

const FileSystemFamily& Family() {
  static const FatFamily family;
  return family;
}

}  // namespace dravik::fat
