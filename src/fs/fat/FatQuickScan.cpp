#include "fs/fat/FatQuickScan.h"

#include <algorithm>
#include <vector>

#include "disk/SectorReader.h"
#include "fs/fat/DirEntry.h"
#include "fs/fat/FatTable.h"
#include "util/ScanControl.h"

namespace dravik {

namespace {

constexpr std::uint32_t kRootPieceSectors = 64;

class FatQuickScanner {
 public:
  FatQuickScanner(const SectorReader& reader, const FsParams& params, RecoveryStore& store, ScanControl& control)
      : reader_(reader), params_(params), store_(store), control_(control),
        fat_(reader, params, params.firstFatLba), fat32_(fat::IsFat32(params)) {}

  // Returns the paths of the live folders whose listing could not be read
  // whole: the files in the part that failed are missing from the result.
  std::vector<std::u16string> Run() {
    store_.Clear();
    ReadRoot();
    // Folders found while walking are appended and visited in their turn,
    // every live one before any deleted one: a folder known so far only by
    // a deleted entry (one moved away leaves that in its old parent) may
    // still be met live, and is then read as live, with its own path.
    std::vector<bool> visited;
    const auto visit = [&](bool deleted) {
      bool any = false;
      for (std::size_t i = 0; i < store_.Folders().size() && control_.Continue(); ++i) {
        visited.resize(store_.Folders().size(), false);
        if (visited[i] || store_.Folders()[i].deleted != deleted) continue;
        visited[i] = true;
        any = true;
        ReadFolder(i);
      }
      return any;
    };
    while (visit(false)) {
    }
    visit(true);
    return std::move(notReadWhole_);
  }

 private:
  void ReadRoot() {
    if (fat32_) {
      ReadClusters(fat_.DirectoryChain(static_cast<std::uint32_t>(params_.rootStart)), kFatRootId, false, false);
      return;
    }
    // The FAT16 root is a fixed row of sectors after the second FAT.
    const std::uint64_t first = std::uint64_t{params_.partitionStart} + params_.reservedSectors + 2ULL * params_.fatSize;
    fat::DirectoryReader directory(false, false);
    std::vector<std::uint8_t> piece;
    for (std::uint32_t done = 0; done < params_.rootDirSectors && control_.Continue();) {
      const std::uint32_t count = std::min(params_.rootDirSectors - done, kRootPieceSectors);
      piece.resize(std::size_t{count} * kSectorSize);
      sector_ = first + done;
      if (!reader_.Read(sector_, count, piece)) NotReadWhole(kFatRootId, false);
      if (!ReadPiece(directory, piece, kFatRootId)) return;
      done += count;
    }
  }

  void ReadFolder(std::size_t index) {
    const FolderRecord folder = store_.Folders()[index];
    ReadClusters(fat_.DirectoryChain(folder.id), folder.id, folder.deleted, true);
  }

  // Reads a directory cluster by cluster as one row of entries. A folder
  // must begin with its "." and ".." entries, or it was overwritten.
  void ReadClusters(const std::vector<std::uint32_t>& chain, std::uint32_t parentId, bool parentDeleted,
                    bool needDotEntries) {
    const std::uint32_t spc = params_.sectorsPerCluster;
    if (spc == 0) return;
    fat::DirectoryReader directory(fat32_, parentDeleted);
    std::vector<std::uint8_t> cluster(std::size_t{spc} * kSectorSize);
    for (std::size_t c = 0; c < chain.size(); ++c) {
      if (!control_.Continue()) return;
      sector_ = fat::ClusterSector(params_, chain[c]);
      if (!reader_.Read(sector_, spc, cluster)) {
        // A read that fails ends no listing: what follows may still read.
        NotReadWhole(parentId, parentDeleted);
        continue;
      }
      if (c == 0 && needDotEntries && !fat::StartsWithDotEntries(cluster)) return;
      if (!ReadPiece(directory, cluster, parentId)) return;
    }
  }

  // False at the end of the directory.
  bool ReadPiece(fat::DirectoryReader& directory, Bytes piece, std::uint32_t parentId) {
    return directory.Read(piece, [&](fat::DirEntry entry) { Record(std::move(entry), parentId); });
  }

  void Record(fat::DirEntry entry, std::uint32_t parentId) {
    // "." and ".." name the folder itself and its parent, never a child.
    if (entry.directory && (entry.name == u"." || entry.name == u"..")) return;
    if (entry.directory) {
      store_.AddFolderOnce(fat::FolderOfEntry(std::move(entry), parentId));
    } else {
      store_.AddFile(fat::FileOfEntry(std::move(entry), parentId, store_.fileCount));
      ++store_.fileCount;
      store_.totalBytes += entry.size;
    }
    ++store_.entryCount;
    control_.Count(store_.folderCount, store_.fileCount, sector_);
    if (store_.entryCount % 64 == 1)
      control_.CountName(entry.directory ? store_.Folders().back().name : store_.Files().back().name);
    const std::uint64_t clusters = params_.sectorsPerCluster ? params_.partitionSectors / params_.sectorsPerCluster : 0;
    if (store_.entryCount % 64 == 0 && clusters > 0)
      control_.ReportPercent(static_cast<int>(std::uint64_t{store_.entryCount} * 100 / clusters));
  }

  void NotReadWhole(std::uint32_t folderId, bool deleted) {
    if (deleted) return;  // a deleted folder's clusters may long be someone else's
    std::vector<const std::u16string*> names;  // from the folder up
    for (std::uint32_t id = folderId; id != kFatRootId && names.size() < 256;) {
      const auto& folders = store_.Folders();
      const auto it = std::find_if(folders.begin(), folders.end(),
                                   [&](const FolderRecord& f) { return f.id == id && !f.deleted; });
      if (it == folders.end()) break;
      names.push_back(&it->name);
      id = it->parentId;
    }
    std::u16string path;
    for (auto name = names.rbegin(); name != names.rend(); ++name) path.append(u"/").append(**name);
    if (path.empty()) path.push_back(u'/');
    if (std::find(notReadWhole_.begin(), notReadWhole_.end(), path) == notReadWhole_.end()) notReadWhole_.push_back(path);
  }

  const SectorReader& reader_;
  const FsParams& params_;
  RecoveryStore& store_;
  ScanControl& control_;
  fat::FatTable fat_;
  bool fat32_;
  std::uint64_t sector_ = 0;  // the directory sector being read
  std::vector<std::u16string> notReadWhole_;
};

}  // namespace

std::vector<std::u16string> ScanFatQuick(const SectorReader& reader, const FsParams& params, RecoveryStore& store,
                                         ScanControl& control) {
  return FatQuickScanner(reader, params, store, control).Run();
}

}  // namespace dravik
