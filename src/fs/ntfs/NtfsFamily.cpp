#include "fs/ntfs/NtfsFamily.h"

#include <algorithm>
#include <optional>

#include "disk/SectorReader.h"
#include "fs/FsParamsReader.h"
#include "fs/ResultTree.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "fs/ntfs/MftRuns.h"
#include "fs/ntfs/NtfsAnalysis.h"
#include "fs/ntfs/NtfsExtract.h"
#include "fs/ntfs/NtfsFileWriter.h"
#include "fs/ntfs/NtfsParams.h"
#include "fs/ntfs/NtfsQuickScan.h"
#include "fs/ntfs/NtfsStructureSearch.h"
#include "fs/ntfs/NtfsVolumeLayout.h"

namespace dravik::ntfs {

namespace {

// The MFT's own runs, read when the first file needs them, lead a file's
// data into its extension records.
class NtfsContents final : public FileContents {
 public:
  NtfsContents(const SectorReader& reader, const FsParams& params) : reader_(reader), params_(params) {}

  FileOutcome Write(const SaveContext& context, const std::filesystem::path& folder, const FileRecord& file,
                    bool forSave, std::u16string& name) const override {
    if (!runs_) runs_ = MftRunTable::Read(reader_, params_);
    return ExtractNtfsFile(context, &*runs_, folder, file, forSave, name);
  }

 private:
  const SectorReader& reader_;
  const FsParams& params_;
  mutable std::optional<MftRunTable> runs_;
};

class NtfsFamily final : public FileSystemFamily {
 public:
  FsFamily Id() const override { return FsFamily::kNtfs; }
  std::uint32_t RootId() const override { return kNtfsRootId; }

  std::vector<std::u16string> QuickScan(const SectorReader& reader, const FsParams& params, RecoveryStore& store,
                                        ScanControl& control) const override {
    ScanNtfsQuick(reader, params, store, control);
    return {};
  }

  void SearchRange(const SectorReader& reader, std::uint16_t, std::uint64_t start, std::uint64_t sectors,
                   std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control,
                   unsigned threads, Diagnostics& diagnostics) const override {
    SearchNtfsStructures(reader, start, sectors, blockSectors, findings, control, threads);
    AnalyzeNtfsFindings(reader, findings, control, diagnostics);
  }

  std::vector<std::string> SearchCounterLabels() const override {
    return {ExtensiveTexts::kBootSectorsFound, ExtensiveTexts::kIndexEntriesFound, ExtensiveTexts::kFilesFound,
            ExtensiveTexts::kFoldersFound, ExtensiveTexts::kCurrentSector};
  }

  ResultTree ExtractFound(const SectorReader&, const ExtensiveFindings& findings, FsParams& params,
                          RecoveryStore& store, ScanControl& control) const override {
    return ExtractNtfsFileSystem(findings, params, store, control);
  }

  std::unique_ptr<FileContents> OpenContents(const SectorReader& reader, const FsParams& params) const override {
    return std::make_unique<NtfsContents>(reader, params);
  }

  // Every file's record lies on the disk, and a sample of them are still MFT
  // records.
  bool ResultFitsDisk(const FsParams&, const RecoveryStore& store, const SectorReader& reader) const override {
    const auto& files = store.Files();
    for (const FileRecord& file : files)
      if (file.locator >= reader.SectorCount()) return false;
    constexpr std::size_t kSampled = 16;
    const std::uint8_t mark[] = {'F', 'I', 'L', 'E'};
    std::vector<std::uint8_t> sector(kSectorSize);
    for (std::size_t i = 0; i < kSampled && i < files.size(); ++i) {
      const FileRecord& file = files[i * files.size() / std::min(files.size(), kSampled)];
      if (!reader.Read(file.locator, 1, sector) || !std::equal(std::begin(mark), std::end(mark), sector.begin()))
        return false;
    }
    return true;
  }

  bool ReadParams(const SectorReader& reader, FsParams& params, Diagnostics& diagnostics) const override {
    return ReadNtfsParams(reader, params, diagnostics);
  }

  bool CalculateParams(const SectorReader&, FsParams& params, ScanControl& control,
                       Diagnostics& diagnostics) const override {
    ParamsNotCalculated(params, control, diagnostics);
    return false;
  }

  FamilyParameterLines ParameterLines(const FsParams& p) const override {
    const auto n = [](std::uint64_t v) { return std::to_string(v); };
    return {{{"MFT Start", n(p.mftStart)}},
            "MFT",
            "at " + n(p.mftStart) + ", mirror at " + n(p.mftMirrorStart) + "; index records of " +
                n(p.indexRecordSectors) + " sectors"};
  }

  std::unique_ptr<VolumeLayout> ReadVolumeLayout(const PartitionEntry& entry, PlacementView& view) const override {
    return ntfs::ReadVolumeLayout(entry, view);
  }
};

}  // namespace

const FileSystemFamily& Family() {
  static const NtfsFamily family;
  return family;
}

}  // namespace dravik::ntfs
