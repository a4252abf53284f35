#pragma once
// A Quick Scan of one volume of a test image, found and run as the command
// line does it, kept with the image so that what it lists can be compared
// with an oracle's listing and saved.

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "disk/PartitionTable.h"
#include "disk/SectorReader.h"
#include "fs/ItemTime.h"
#include "fs/QuickScan.h"
#include "fs/RecoveryStore.h"
#include "fs/ResultTree.h"
#include "save/SaveDriver.h"
#include "vdisk/ByteSource.h"

namespace dravik::test {

// One item of the scan's result, as the tree shows it.
struct ScanItem {
  bool folder = false;
  bool deleted = false;
  std::uint32_t id = 0;  // MFT record or inode number (a folder's id)
  std::string path;      // below "Root", joined with "/", in UTF-8
  std::uint64_t size = 0;
  std::string type;  // the list's Type column
  ItemTimes times;   // a file's
};

class VolumeScan {
 public:
  // Opens a VHD or VHDX, or a raw disk (any other extension), and scans the
  // first partition its table lists, or the search finds when the table is
  // empty; or the partition given, as a table would give it for a volume the
  // search cannot recognise.
  explicit VolumeScan(const std::filesystem::path& image, std::optional<PartitionEntry> partition = std::nullopt);

  std::unique_ptr<ByteSource> disk;
  std::unique_ptr<SectorReader> reader;
  PartitionEntry partition;
  RecoveryStore store;
  QuickScanResult result;

  // Every folder and file in tree order.
  const std::vector<ScanItem>& Items() const { return items_; }
  // The items of one id (several for "Lost Dir" folders and hard links).
  std::vector<ScanItem> ItemsOf(std::uint32_t id) const;
  std::optional<ScanItem> Find(const std::string& path) const;

  // Checks only the file at the path (an item's) in the tree.
  void SelectOnly(const std::string& path);
  // SaveChecked and SaveEverything below, of this volume.
  SaveSummary Save(const std::filesystem::path& destination, DeletedMode deleted = DeletedMode::kInclude);
  SaveSummary SaveAll(const std::filesystem::path& destination, DeletedMode deleted = DeletedMode::kInclude);
  // Saves everything into a temporary folder: the sha256 of each file saved, by its path there.
  std::map<std::string, std::string> SavedDigests();

 private:
  std::optional<ResultTree> tree_;
  std::vector<ScanItem> items_;
};

// A disk's first partition Quick-Scanned as the command does it; fails the
// test and gives nothing when the scan finds no file system.
std::unique_ptr<VolumeScan> ScanImage(const std::filesystem::path& image);

// Saves what the tree has checked into destination (the save makes it), deleted files by the mode.
SaveSummary SaveChecked(const SectorReader& reader, const FsParams& params, const RecoveryStore& store,
                        const ResultTree& tree, const std::filesystem::path& destination,
                        DeletedMode deleted = DeletedMode::kInclude);
// Checks every folder and the root's own files of the tree, then saves them.
SaveSummary SaveEverything(const SectorReader& reader, const FsParams& params, const RecoveryStore& store,
                           ResultTree& tree, const std::filesystem::path& destination,
                           DeletedMode deleted = DeletedMode::kInclude);

// One line per item ("file PATH [deleted] id N size S"), "Lost Dir" itself
// left out, for comparing listings.
std::string ShowItem(bool folder, bool deleted, std::uint32_t id, const std::string& path, std::uint64_t size);
std::multiset<std::string> Listing(const std::vector<ScanItem>& items);
// Fails with every line only one of the two listings has.
void ExpectSameListing(const std::multiset<std::string>& got, const std::multiset<std::string>& want);

}  // namespace dravik::test
