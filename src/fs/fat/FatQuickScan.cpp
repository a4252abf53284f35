#include "fs/fat/FatQuickScan.h"

#include <vector>

#include "disk/SectorReader.h"
#include "fs/fat/DirEntry.h"
#include "fs/fat/FatTable.h"
#include "util/ScanControl.h"

namespace dravik {

namespace {

class FatQuickScanner {
 public:
  FatQuickScanner(const SectorReader& reader, const FsParams& params, RecoveryStore& store, ScanControl& control)
      : reader_(reader), params_(params), store_(store), control_(control),
        fat_(reader, params, params.firstFatLba), fat32_(fat::IsFat32(params)) {}

  void Run() {
    store_.Clear();
    ReadRoot();
    // Folders found while walking are appended and visited in their turn.
    for (std::size_t i = 0; i < store_.FatFolders().size() && control_.Continue(); ++i) ReadFolder(i);
  }

 private:
  void ReadRoot() {
    if (fat32_) {
      ReadClusters(fat_.DirectoryChain(params_.rootStart), kFatRootId, false, false);
      return;
    }
    const std::uint64_t first = std::uint64_t{params_.partitionStart} + params_.reservedSectors + 2ULL * params_.fatSize;
    std::vector<std::uint8_t> sector(kSectorSize);
    for (std::uint32_t i = 0; i < params_.rootDirSectors && control_.Continue(); ++i) {
      reader_.Read(first + i, 1, sector);
      if (ParseSector(sector, kFatRootId, false)) return;
    }
  }

  void ReadFolder(std::size_t index) {
    const FatFolderRecord folder = store_.FatFolders()[index];
    ReadClusters(fat_.DirectoryChain(folder.id), folder.id, folder.deleted, true);
  }

  // Reads a directory cluster by cluster and parses it sector by sector. A
  // folder must begin with its "." and ".." entries, or it was overwritten.
  void ReadClusters(const std::vector<std::uint32_t>& chain, std::uint32_t parentId, bool parentDeleted,
                    bool needDotEntries) {
    const std::uint32_t spc = params_.sectorsPerCluster;
    if (spc == 0) return;
    std::vector<std::uint8_t> cluster(std::size_t{spc} * kSectorSize);
    for (std::size_t c = 0; c < chain.size(); ++c) {
      if (!control_.Continue()) return;
      reader_.Read(fat::ClusterSector(params_, chain[c]), spc, cluster);
      if (c == 0 && needDotEntries && !fat::StartsWithDotEntries(cluster)) return;
      for (std::uint32_t s = 0; s < spc; ++s) {
        const Bytes sector(cluster.data() + std::size_t{s} * kSectorSize, kSectorSize);
        if (ParseSector(sector, parentId, parentDeleted)) return;
      }
    }
  }

  // True at the end of the directory.
  bool ParseSector(Bytes sector, std::uint32_t parentId, bool parentDeleted) {
    for (std::size_t i = 0; i < fat::kEntriesPerSector; ++i) {
      fat::ParsedEntry parsed = fat::ParseEntry(sector, i, fat32_, parentDeleted);
      if (parsed.kind == fat::EntryKind::kEndOfDirectory) return true;
      if (parsed.kind == fat::EntryKind::kEntry) Record(std::move(parsed.entry), parentId);
    }
    return false;
  }

  void Record(fat::DirEntry entry, std::uint32_t parentId) {
    // "." and ".." name the folder itself and its parent, never a child.
    if (entry.directory && (entry.name == u"." || entry.name == u"..")) return;
    if (entry.directory) {
      store_.AddFatFolder({std::move(entry.name), entry.firstCluster, parentId, entry.writeDate, entry.accessDate, 0,
                           entry.deleted});
    } else {
      store_.AddFatFile({std::move(entry.name), entry.firstCluster, parentId, entry.writeDate, entry.accessDate,
                         entry.size, entry.deleted, store_.fileCount});
      ++store_.fileCount;
      store_.totalBytes += entry.size;
    }
    ++store_.entryCount;
    const std::uint64_t clusters = params_.sectorsPerCluster ? params_.partitionSectors / params_.sectorsPerCluster : 0;
    if (store_.entryCount % 64 == 0 && clusters > 0)
      control_.ReportPercent(static_cast<int>(std::uint64_t{store_.entryCount} * 100 / clusters));
  }

  const SectorReader& reader_;
  const FsParams& params_;
  RecoveryStore& store_;
  ScanControl& control_;
  fat::FatTable fat_;
  bool fat32_;
};

}  // namespace

void ScanFatQuick(const SectorReader& reader, const FsParams& params, RecoveryStore& store, ScanControl& control) {
  FatQuickScanner(reader, params, store, control).Run();
}

}  // namespace dravik
