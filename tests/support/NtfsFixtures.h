#pragma once
// The NTFS test disk of make-ntfs-fixtures.sh: its manifests, damaged copies,
// and the engine's Quick Scan and save on it.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Oracles.h"
#include "PartitionFixtures.h"
#include "TestFiles.h"
#include "fs/QuickScan.h"
#include "fs/RecoveryStore.h"
#include "fs/ResultTree.h"
#include "save/RecoverySettings.h"
#include "save/SaveControl.h"
#include "vdisk/ByteSource.h"

namespace dravik::test {

// A file of the NTFS fixtures: "ntfs.raw", "live.manifest"...
std::filesystem::path NtfsFixture(const std::string& name);
// The partition's first sector (ntfs.start).
std::uint32_t NtfsStart();

struct NtfsManifestEntry {
  std::string sha256;
  std::uint64_t size = 0;
  std::uint32_t record = 0;
  std::string path;
};
// "live.manifest" or "deleted.manifest".
std::vector<NtfsManifestEntry> ReadNtfsManifest(const std::string& name);
// The records of live.manifest's files under prefix, in order: places for
// crafted records.
std::vector<std::uint32_t> LiveRecords(const std::string& prefix);
// cases.list: name -> MFT record.
std::map<std::string, std::uint32_t> NtfsCaseRecords();

// One item of the engine's result, as the tree shows it.
struct NtfsItem {
  bool folder = false;
  bool deleted = false;
  std::uint32_t record = 0;  // NTFS record number (the folder's id)
  std::string path;          // below "Root", joined with "/"
  std::uint64_t size = 0;
  bool operator==(const NtfsItem&) const = default;
};

// A Quick Scan of partition 0 of a disk, kept with the disk for saves.
class NtfsScan {
 public:
  // Opens a VHD or VHDX, or a raw disk (any other extension).
  explicit NtfsScan(const std::filesystem::path& image);

  const QuickScanResult& Result() const { return result_; }
  // Every folder and file in tree order.
  const std::vector<NtfsItem>& Items() const { return items_; }
  // The items of one record (several for "Lost Dir" folders and hard links).
  std::vector<NtfsItem> ItemsOf(std::uint32_t record) const;
  std::optional<NtfsItem> Find(const std::string& path) const;

  // Saves what the tree has checked; returns the count saved whole.
  std::uint32_t Save(const std::filesystem::path& destination, DeletedMode deleted = DeletedMode::kInclude);
  // How the last Save went.
  const SaveSummary& LastSave() const { return lastSave_; }
  // Checks only the file at the path (a scan item) in the tree.
  void SelectOnly(const std::string& path);
  // Checks every folder and the root's own files, as a save of everything.
  void SelectAll();

 private:
  std::unique_ptr<ByteSource> disk_;
  std::unique_ptr<RecoveryStore> store_;
  QuickScanResult result_;
  std::optional<ResultTree> tree_;
  std::vector<NtfsItem> items_;
  SaveSummary lastSave_;
};

// A sparse copy of ntfs.raw, to be damaged by edits of its MFT records.
class NtfsDiskCopy : public DiskCopy {
 public:
  NtfsDiskCopy();

  // Byte offset of an MFT record on the disk, from the $MFT runs istat gives.
  std::uint64_t RecordOffset(std::uint32_t record) const;
  std::vector<std::uint8_t> ReadRecord(std::uint32_t record) const;  // as on disk
  void WriteRecord(std::uint32_t record, const std::vector<std::uint8_t>& bytes);

 private:
  std::uint32_t start_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> mftRuns_;
};

}  // namespace dravik::test
