#include "fs/fat/FatExtract.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "disk/SectorReader.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "fs/fat/DirEntry.h"
#include "fs/fat/FatTable.h"
#include "util/Percent.h"
#include "util/ScanControl.h"

namespace dravik {

namespace {

// The times of a folder the extraction makes up: none recorded.
const ItemTimes kNoDosTimes = ItemTimes::Dos(0, 0, 0);

// Directories are read this many sectors at a time (or a whole cluster when
// it is smaller).
constexpr std::uint32_t kPieceSectors = 8;
// Sectors of a FAT16 root directory when the boot sector did not say.
constexpr std::uint32_t kDefaultRootSectors = 32;
// The most a FAT16 root directory takes (65535 entries).
constexpr std::uint64_t kMaxRootSectors = 4096;
// How far before the data area the FATs are sought.
constexpr std::uint64_t kFat16Window = 550;
constexpr std::uint64_t kFat32Window = 30000;
constexpr std::uint64_t kFirstSearchedSector = 63;
constexpr std::uint32_t kWindowReadSectors = 64;
constexpr std::uint32_t kFat32RootCluster = 2;

class FatExtractor {
 public:
  FatExtractor(const SectorReader& reader, const ExtensiveFindings& findings, FsParams& params, RecoveryStore& store,
               ScanControl& control)
      : reader_(reader), findings_(findings), params_(params), store_(store), control_(control),
        fat32_(fat::IsFat32(params)) {}

  ResultTree Run() {
    store_.Clear();
    if (control_.Continue()) AddFoundFolders();
    if (control_.Continue()) AddLostParents();
    if (control_.Continue()) BreakParentLoops();
    if (params_.firstFatLba == 0 && control_.Continue()) FindFats();
    if (control_.Continue()) ReadFolders();
    control_.Report(ExtensiveTexts::kExtractStep5, 0);
    return ResultTree::Build(store_, FsFamily::kFat);
  }

 private:
  // Step 1: a folder for every directory start of this file system.
  void AddFoundFolders() {
    control_.Report(ExtensiveTexts::kExtractStep1, 0);
    const auto total = findings_.dirClusters.size();
    for (const DirClusterRecord& record : findings_.dirClusters) {
      if (record.fsNumber != static_cast<std::int16_t>(params_.fsIndex)) continue;
      store_.AddFolderOnce({.name = DirFolderName(record.cluster),
                            .id = record.cluster,
                            .parentId = record.parentCluster,
                            .times = ItemTimes::Dos(record.date1, 0, record.date2)});
      if (store_.folderCount % 64 == 0) control_.ReportPercent(PercentDone(store_.folderCount, total));
    }
  }

  // Step 2: "Lost Dir", holding a "Dir" folder for every parent not found.
  void AddLostParents() {
    control_.Report(ExtensiveTexts::kExtractStep2, 0);
    std::unordered_set<std::uint32_t> ids;
    for (const FolderRecord& folder : store_.Folders()) ids.insert(folder.id);
    const std::size_t found = store_.Folders().size();
    store_.AddFolderOnce({.name = kLostDirName, .id = kLostDirId, .parentId = kFatRootId, .times = kNoDosTimes});
    for (std::size_t i = 0; i < found; ++i) {
      const std::uint32_t parent = store_.Folders()[i].parentId;
      if (parent == kFatRootId || ids.count(parent) != 0) continue;
      store_.AddFolderOnce({.name = DirFolderName(parent), .id = parent, .parentId = kLostDirId, .times = kNoDosTimes});
      ids.insert(parent);
    }
  }

  // A folder whose parents lead back to it (a ".." that names the folder
  // itself, or folders that name each other) could never be reached from
  // the root with everything below it: the folder where the loop closes
  // goes under "Lost Dir".
  void BreakParentLoops() {
    std::vector<FolderRecord>& folders = store_.Folders();
    std::unordered_map<std::uint32_t, std::size_t> index;
    for (std::size_t i = 0; i < folders.size(); ++i) index.emplace(folders[i].id, i);
    for (std::size_t i = 0; i < folders.size(); ++i) {
      std::unordered_set<std::uint32_t> seen;
      std::uint32_t id = folders[i].id;
      while (id != kFatRootId && id != kLostDirId && seen.insert(id).second) {
        const auto it = index.find(id);
        if (it == index.end()) break;
        id = folders[it->second].parentId;
      }
      if (seen.count(id) != 0) folders[index.at(id)].parentId = kLostDirId;
    }
  }

  // The first sector the FATs may lie at: a window before the data area,
  // but never before the searched range nor inside a file system found
  // before this one, whose own FATs would be taken.
  std::uint64_t WindowStart() const {
    const std::uint64_t base = params_.clusterBase;
    std::uint64_t from = kFirstSearchedSector;
    if (!fat32_ && base > kFat16Window) from = base - kFat16Window;
    if (fat32_ && base > kFat32Window) from = base - kFat32Window;
    from = std::max(from, findings_.rangeStart);
    for (const FoundFileSystem& other : findings_.fileSystems)
      if (other.bootSector != 0 && other.fsEnd < base && other.fsEnd + 1 > from) from = other.fsEnd + 1;
    return from;
  }

  // Step 3: the two FATs, as the first two sectors before the data area that
  // begin as a FAT does (the media byte F8, then FF FF).
  void FindFats() {
    control_.Report(ExtensiveTexts::kExtractStep3, 0);
    const std::uint64_t end = params_.clusterBase;
    std::vector<std::uint8_t> block(std::size_t{kWindowReadSectors} * kSectorSize);
    std::uint64_t first = 0;
    std::uint64_t second = 0;
    for (std::uint64_t s = WindowStart(); s < end && second == 0 && control_.Continue();) {
      const auto count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kWindowReadSectors, end - s));
      reader_.Read(s, count, std::span(block).first(std::size_t{count} * kSectorSize));
      for (std::uint32_t i = 0; i < count && second == 0; ++i) {
        const std::uint8_t* sector = block.data() + std::size_t{i} * kSectorSize;
        if (sector[0] != 0xF8 || sector[1] != 0xFF || sector[2] != 0xFF) continue;
        (first == 0 ? first : second) = s + i;
      }
      s += count;
      control_.ReportPercent(PercentDone(s, end));
    }
    if (first == 0) return;
    params_.firstFatLba = first;
    if (second == 0) return;
    params_.secondFatLba = second;
    params_.fatSize = static_cast<std::uint32_t>(second - first);
    if (!fat32_) {
      params_.rootStart = second + params_.fatSize;
      if (params_.rootDirSectors == 0 && params_.clusterBase > params_.rootStart)
        params_.rootDirSectors = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(params_.clusterBase + 2ULL * params_.sectorsPerCluster - params_.rootStart,
                                    kMaxRootSectors));
    }
  }

  // Step 4: the root, then every folder.
  void ReadFolders() {
    control_.Report(ExtensiveTexts::kExtractStep4, 0);
    for (std::size_t i = 0; i < store_.Folders().size(); ++i) folderIndex_.emplace(store_.Folders()[i].id, i);
    ReadRoot();
    const std::uint32_t last = fat::LastCluster(params_);
    const std::size_t folders = store_.Folders().size();
    for (std::size_t i = 0; i < folders && control_.Continue(); ++i) {
      const FolderRecord folder = store_.Folders()[i];
      if (folder.id >= 2 && folder.id <= last) ReadChain(folder.id, folder.id, folder.deleted, true);
      control_.Count(static_cast<std::uint32_t>(store_.Folders().size()), store_.fileCount, 0);
      control_.ReportPercent(PercentDone(i + 1, folders));
    }
  }

  void ReadRoot() {
    if (fat32_) {
      const auto root = static_cast<std::uint32_t>(params_.rootStart != 0 ? params_.rootStart : kFat32RootCluster);
      ReadChain(root, kFatRootId, false, false);
      return;
    }
    if (params_.rootStart == 0) return;
    const std::uint32_t sectors = params_.rootDirSectors != 0 ? params_.rootDirSectors : kDefaultRootSectors;
    fat::DirectoryReader directory(false, false);
    std::vector<std::uint8_t> piece(std::size_t{kPieceSectors} * kSectorSize);
    for (std::uint32_t done = 0; done < sectors && control_.Continue(); done += kPieceSectors) {
      const std::uint32_t count = std::min(kPieceSectors, sectors - done);
      if (!reader_.Read(params_.rootStart + done, count, std::span(piece).first(std::size_t{count} * kSectorSize)))
        return;
      if (!ReadPiece(directory, Bytes(piece).first(std::size_t{count} * kSectorSize), kFatRootId)) return;
    }
  }

  // Reads a directory's cluster chain in pieces; a folder must begin with
  // its "." and ".." entries, or it was overwritten and is not read.
  void ReadChain(std::uint32_t start, std::uint32_t parentId, bool parentDeleted, bool needDotEntries) {
    const std::uint32_t spc = params_.sectorsPerCluster;
    if (spc == 0) return;
    const std::uint32_t pieceSectors = std::min(spc, kPieceSectors);
    fat::FatTable table(reader_, params_, params_.firstFatLba);
    fat::DirectoryReader directory(fat32_, parentDeleted);
    std::vector<std::uint8_t> piece(std::size_t{pieceSectors} * kSectorSize);
    bool firstPiece = true;
    for (const std::uint32_t cluster : table.DirectoryChain(start)) {
      for (std::uint32_t done = 0; done < spc; done += pieceSectors) {
        if (!control_.Continue()) return;
        if (!reader_.Read(fat::ClusterSector(params_, cluster) + done, pieceSectors, piece)) return;
        Bytes entries(piece);
        if (firstPiece && needDotEntries) {
          if (!fat::StartsWithDotEntries(entries)) return;
          entries = entries.subspan(2 * fat::kEntrySize);
        }
        firstPiece = false;
        if (!ReadPiece(directory, entries, parentId)) return;
      }
    }
  }

  bool ReadPiece(fat::DirectoryReader& directory, Bytes piece, std::uint32_t parentId) {
    return directory.Read(piece, [&](fat::DirEntry entry) { Record(std::move(entry), parentId); });
  }

  // A folder entry names the folder of step 1 it leads to; every other entry
  // (a folder entry with a size too) is a file.
  void Record(fat::DirEntry entry, std::uint32_t parentId) {
    ++store_.entryCount;
    if (entry.directory && entry.size == 0) {
      if (entry.name == u"." || entry.name == u"..") return;
      const auto it = folderIndex_.find(entry.firstCluster);
      if (it == folderIndex_.end()) return;
      FolderRecord& folder = store_.Folders()[it->second];
      if (folder.parentId != parentId) return;
      // A live entry's name stands against a deleted one's for the same cluster.
      const bool named = !named_.insert(folder.id).second;
      if (named && entry.deleted && !folder.deleted) return;
      folder.name = std::move(entry.name);
      folder.deleted = entry.deleted;
      folder.times = ItemTimes::Dos(entry.writeDate, entry.writeTime, entry.accessDate);
      return;
    }
    store_.AddFile(fat::FileOfEntry(std::move(entry), parentId, store_.fileCount));
    ++store_.fileCount;
    store_.totalBytes += entry.size;
  }

  const SectorReader& reader_;
  const ExtensiveFindings& findings_;
  FsParams& params_;
  RecoveryStore& store_;
  ScanControl& control_;
  bool fat32_;
  std::unordered_map<std::uint32_t, std::size_t> folderIndex_;
  std::unordered_set<std::uint32_t> named_;  // folders named from an entry
};

}  // namespace

std::u16string DirFolderName(std::uint32_t cluster) {
  const std::string digits = std::to_string(cluster);
  return u"Dir" + std::u16string(digits.begin(), digits.end());
}

ResultTree ExtractFatFileSystem(const SectorReader& reader, const ExtensiveFindings& findings, FsParams& params,
                                RecoveryStore& store, ScanControl& control) {
  return FatExtractor(reader, findings, params, store, control).Run();
}

}  // namespace dravik
