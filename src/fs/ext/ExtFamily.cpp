#include "fs/ext/ExtFamily.h"

#include <mutex>
#include <optional>

#include "disk/SectorReader.h"
#include "fs/FsParamsReader.h"
#include "fs/ResultTree.h"
#include "fs/VolumeLayout.h"
#include "fs/ext/ExtFileWriter.h"
#include "fs/ext/ExtQuickScan.h"
#include "fs/ext/ExtStructureSearch.h"
#include "fs/ext/ExtVolume.h"
#include "fs/ext/ExtVolumeLayout.h"
#include "fs/extensive/ExtensiveFindings.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "fs/ext/Journal.h"
#include "fs/ext/JournalInodes.h"
#include "util/Diagnostics.h"

namespace dravik::ext {

namespace {

constexpr const char* kSuperblocksFound = "Superblock(s) Found\t   :";

// The volume is opened when the first file needs it, its journal when the
// first file read through it does.
class ExtContents final : public FileContents {
 public:
  ExtContents(const SectorReader& reader, const FsParams& params) : reader_(reader), params_(params) {}

  FileOutcome Write(const SaveContext& context, const std::filesystem::path& folder, const FileRecord& file,
                    bool forSave, std::u16string& name) const override {
    std::call_once(opened_, [&] {
      Diagnostics unread;
      volume_ = ExtVolume::Open(reader_, params_, unread);
    });
    if (volume_ && JournalBlockOfLocator(file.locator) != 0) {
      std::call_once(journalOpened_, [&] {
        std::string why;
        journal_ = Journal::Open(*volume_, why);
      });
    }
    return ExtractExtFile(context, volume_ ? &*volume_ : nullptr, journal_ ? &*journal_ : nullptr, folder, file,
                          forSave, name);
  }

 private:
  const SectorReader& reader_;
  const FsParams& params_;
  mutable std::once_flag opened_;
  mutable std::optional<ExtVolume> volume_;
  mutable std::once_flag journalOpened_;
  mutable std::optional<Journal> journal_;
};

class ExtFamily final : public FileSystemFamily {
 public:
  FsFamily Id() const override { return FsFamily::kExt; }
  std::uint32_t RootId() const override { return kRootInode; }

  std::vector<std::u16string> QuickScan(const SectorReader& reader, const FsParams& params, RecoveryStore& store,
                                        ScanControl& control) const override {
    return ScanExtQuick(reader, params, store, control);
  }

  // ext2, ext3 and ext4 are found alike, whichever of the three is asked for.
  void SearchRange(const SectorReader& reader, std::uint16_t, std::uint64_t start, std::uint64_t sectors,
                   std::uint32_t blockSectors, ExtensiveFindings& findings, ScanControl& control, unsigned threads,
                   Diagnostics& diagnostics) const override {
    SearchExtStructures(reader, start, sectors, blockSectors, findings, control, threads, diagnostics);
  }
  std::vector<std::string> SearchCounterLabels() const override {
    return {kSuperblocksFound, ExtensiveTexts::kCurrentSector};
  }
  // The found volume is listed as a Quick Scan lists it, read by the
  // superblock the search chose (params carries it, for saving).
  ResultTree ExtractFound(const SectorReader& reader, const ExtensiveFindings& findings, FsParams& params,
                          RecoveryStore& store, ScanControl& control) const override {
    store.Clear();
    if (params.fsIndex == 0 || params.fsIndex > findings.fileSystems.size())
      return ResultTree::Build(store, FsFamily::kExt);
    const FoundFileSystem& found = findings.fileSystems[params.fsIndex - 1];
    params.fsType = found.fsType;
    params.partitionStart = found.Start();
    params.superblockSector = found.superblockSector;
    params.sectorsPerCluster = found.sectorsPerCluster;
    params.clusterBase = found.clusterBase;
    params.fsEnd = found.fsEnd;
    ScanExtQuick(reader, params, store, control);
    return ResultTree::Build(store, FsFamily::kExt);
  }

  std::unique_ptr<FileContents> OpenContents(const SectorReader& reader, const FsParams& params) const override {
    return std::make_unique<ExtContents>(reader, params);
  }

  // The volume still opens where the result says, and every file's inode
  // lies within it.
  bool ResultFitsDisk(const FsParams& params, const RecoveryStore& store, const SectorReader& reader) const override {
    Diagnostics unread;
    const auto volume = ExtVolume::Open(reader, params, unread);
    if (!volume) return false;
    for (const FileRecord& file : store.Files())
      if (InodeOfLocator(file.locator) == 0 || InodeOfLocator(file.locator) > volume->Super().inodesCount) return false;
    return true;
  }

  bool ReadParams(const SectorReader& reader, FsParams& params, Diagnostics& diagnostics) const override {
    const auto found = ReadSuperblock(reader, params.partitionStart, diagnostics);
    if (!found) return false;
    const Superblock& s = found->superblock;
    params.fsType = s.Code();
    params.sectorsPerCluster = s.BlockSectors();
    params.clusterBase = params.partitionStart;
    const std::uint64_t sectors = s.blocksCount * s.BlockSectors();
    if (params.partitionSectors == 0) params.partitionSectors = sectors;
    if (params.lastSector == 0) params.lastSector = params.partitionStart + sectors - 1;
    return true;
  }

  bool CalculateParams(const SectorReader&, FsParams& params, ScanControl& control,
                       Diagnostics& diagnostics) const override {
    ParamsNotCalculated(params, control, diagnostics);
    return false;
  }

  FamilyParameterLines ParameterLines(const FsParams& p) const override {
    const std::string blockBytes = std::to_string(std::uint64_t{p.sectorsPerCluster} * kSectorSize);
    return {{{"Block Size", blockBytes}}, "Blocks", "of " + blockBytes + " bytes from sector " +
                                                         std::to_string(p.clusterBase)};
  }

  std::unique_ptr<VolumeLayout> ReadVolumeLayout(const PartitionEntry& entry, PlacementView& view) const override {
    return ext::ReadVolumeLayout(entry, view);
  }
};

}  // namespace

const FileSystemFamily& Family() {
  static const ExtFamily family;
  return family;
}

}  // namespace dravik::ext
