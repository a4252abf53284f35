#pragma once
// The folders and files a scan recovered: four lists (FAT folders and files,
// NTFS folders and files) in the order the scanner found them, and the
// counters shown while scanning. Ids are the file system's own numbers: the
// first cluster for FAT, the MFT record number for NTFS.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace dravik {

// Parent id of FAT items in the root directory.
constexpr std::uint32_t kFatRootId = 0;
// The NTFS root directory's record number.
constexpr std::uint32_t kNtfsRootId = 5;
// The "Lost Dir" folder that gathers folders whose parent was not found.
constexpr std::uint32_t kLostDirId = 0xFFFFFFFE;
inline const std::u16string kLostDirName = u"Lost Dir";

struct FatFolderRecord {
  std::u16string name;
  std::uint32_t id = 0;        // first cluster
  std::uint32_t parentId = 0;  // first cluster of the parent; 0 is the root
  std::uint16_t date1 = 0;     // last-write date
  std::uint16_t date2 = 0;     // last-access date
  std::uint32_t treeItem = 0;  // node of the result tree; 0 until it is built
  bool deleted = false;
  std::uint16_t time1 = 0;     // last-write time of day, with date1
};

struct FatFileRecord {
  std::u16string name;
  std::uint32_t firstCluster = 0;
  std::uint32_t parentId = 0;
  std::uint16_t date1 = 0;
  std::uint16_t date2 = 0;
  std::uint32_t size = 0;
  bool deleted = false;
  std::uint32_t serial = 0;  // files listed before this one; identifies the file
  std::uint16_t time1 = 0;   // last-write time of day, with date1
};

struct NtfsFolderRecord {
  std::u16string name;
  std::uint32_t id = 0;  // MFT record number
  std::uint32_t parentId = 0;
  std::uint64_t creationTime = 0;      // FILETIME, of $FILE_NAME
  std::uint64_t modificationTime = 0;  // of $STANDARD_INFORMATION, else of $FILE_NAME
  std::uint32_t treeItem = 0;
  bool deleted = false;
  std::uint64_t accessTime = 0;  // as modificationTime
};

struct NtfsFileRecord {
  std::u16string name;
  std::uint32_t id = 0;
  std::uint32_t parentId = 0;
  std::uint64_t creationTime = 0;      // FILETIME, of $FILE_NAME
  std::uint64_t modificationTime = 0;  // of $STANDARD_INFORMATION, else of $FILE_NAME
  std::uint64_t size = 0;
  bool deleted = false;
  std::uint64_t dataRecordLba = 0;  // sector of the MFT record holding the unnamed $DATA; identifies the file
  std::uint64_t accessTime = 0;     // as modificationTime
};

class RecoveryStore {
 public:
  void Clear();

  // Appends a folder unless one with the same id is listed; a listed deleted
  // folder met again live takes the new name and becomes live.
  void AddFatFolder(FatFolderRecord folder);
  void AddFatFile(FatFileRecord file);
  void AddNtfsFolder(NtfsFolderRecord folder);
  void AddNtfsFile(NtfsFileRecord file);

  std::vector<FatFolderRecord>& FatFolders() { return fatFolders_; }
  const std::vector<FatFolderRecord>& FatFolders() const { return fatFolders_; }
  std::vector<FatFileRecord>& FatFiles() { return fatFiles_; }
  const std::vector<FatFileRecord>& FatFiles() const { return fatFiles_; }
  std::vector<NtfsFolderRecord>& NtfsFolders() { return ntfsFolders_; }
  const std::vector<NtfsFolderRecord>& NtfsFolders() const { return ntfsFolders_; }
  std::vector<NtfsFileRecord>& NtfsFiles() { return ntfsFiles_; }
  const std::vector<NtfsFileRecord>& NtfsFiles() const { return ntfsFiles_; }

  // Counters: folders and files added, directory entries examined by the FAT
  // scan, and the bytes of the FAT files it listed.
  std::uint32_t folderCount = 0;
  std::uint32_t fileCount = 0;
  std::uint32_t entryCount = 0;
  std::uint64_t totalBytes = 0;

 private:
  std::vector<FatFolderRecord> fatFolders_;
  std::vector<FatFileRecord> fatFiles_;
  std::vector<NtfsFolderRecord> ntfsFolders_;
  std::vector<NtfsFileRecord> ntfsFiles_;
  std::unordered_map<std::uint32_t, std::size_t> fatFolderById_;
};

}  // namespace dravik
