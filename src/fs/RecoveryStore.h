#pragma once
// The folders and files a scan recovered, in the order the scanner found
// them, and the counters shown while scanning. One scan fills it from one
// file system; its records have the same shape for every family, and the
// family reads what its own numbers mean (ids, locators).

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "fs/ItemTime.h"

namespace dravik {

// Parent id of FAT items in the root directory.
constexpr std::uint32_t kFatRootId = 0;
// The NTFS root directory's record number.
constexpr std::uint32_t kNtfsRootId = 5;
// The "Lost Dir" folder that gathers folders whose parent was not found.
constexpr std::uint32_t kLostDirId = 0xFFFFFFFE;
inline const std::u16string kLostDirName = u"Lost Dir";

struct FolderRecord {
  std::u16string name = {};
  std::uint32_t id = 0;        // the file system's number: FAT first cluster, NTFS record number
  std::uint32_t parentId = 0;  // the parent's id; the family's root id for the root
  ItemTimes times = {};
  bool deleted = false;
  std::uint32_t treeItem = 0;  // node of the result tree; 0 until it is built
};

struct FileRecord {
  std::u16string name = {};
  std::uint32_t id = 0;  // the file system's number where it keeps one (NTFS record number), else 0
  std::uint32_t parentId = 0;
  ItemTimes times = {};
  std::uint64_t size = 0;
  bool deleted = false;
  // Identifies the file among those listed: for FAT the count of files
  // listed before it, for NTFS the sector of the MFT record holding its data.
  std::uint64_t key = 0;
  // Where the family finds its data: the first cluster (FAT), the sector of
  // the MFT record holding its unnamed $DATA (NTFS).
  std::uint64_t locator = 0;
  // A deleted file read through an older copy of its record that the file
  // system's journal kept (ext), its own record having lost where its data
  // lie.
  bool fromJournal = false;
};

class RecoveryStore {
 public:
  void Clear();

  // Appends a folder.
  void AddFolder(FolderRecord folder);
  // Appends a folder unless one with the same id is listed; a listed deleted
  // folder met again live takes the new name and becomes live. For file
  // systems whose folder ids are their first cluster, which a folder moved
  // elsewhere keeps.
  void AddFolderOnce(FolderRecord folder);
  void AddFile(FileRecord file) { files_.push_back(std::move(file)); }

  std::vector<FolderRecord>& Folders() { return folders_; }
  const std::vector<FolderRecord>& Folders() const { return folders_; }
  std::vector<FileRecord>& Files() { return files_; }
  const std::vector<FileRecord>& Files() const { return files_; }

  // Counters: folders and files added, directory entries examined by the FAT
  // scan, and the bytes of the files listed.
  std::uint32_t folderCount = 0;
  std::uint32_t fileCount = 0;
  std::uint32_t entryCount = 0;
  std::uint64_t totalBytes = 0;

 private:
  std::vector<FolderRecord> folders_;
  std::vector<FileRecord> files_;
  std::unordered_map<std::uint32_t, std::size_t> folderById_;
};

// Whether a scan found anything: a file, or a folder besides the "Lost Dir"
// the scan makes itself.
bool HoldsFindings(const RecoveryStore& store);

}  // namespace dravik
