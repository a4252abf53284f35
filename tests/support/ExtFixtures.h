#pragma once
// The ext2/ext3/ext4 images of make-ext-fixtures.sh: the manifest of the
// source folder they were made from, the engine's Quick Scan and save run on
// one through the library, and debugfs and istat as oracles for where
// things lie and what times an inode holds.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "disk/PartitionTable.h"
#include "fs/QuickScan.h"
#include "fs/RecoveryStore.h"
#include "save/RecoverySettings.h"
#include "save/SaveDriver.h"
#include "vdisk/ByteSource.h"

namespace dravik::test {

// A file of the ext fixtures ("ext4-4k.raw", "manifest"...); the test fails
// when it is missing.
std::filesystem::path ExtFixture(const std::string& name);

struct ExtManifestEntry {
  std::uint64_t size = 0;
  std::int64_t mtime = 0;
  std::uint32_t mtimeNs = 0;
  std::string sha256;
  std::string path;  // bytes as the source folder named it
};
std::vector<ExtManifestEntry> ReadExtManifest();
// deleted.list: the paths deleted in every image.
std::vector<std::string> ExtDeletedPaths();

// One item of the engine's result, as the tree shows it.
struct ExtItem {
  bool folder = false;
  bool deleted = false;
  std::uint32_t inode = 0;
  std::string path;  // below "Root", joined with "/", in UTF-8
  std::uint64_t size = 0;
  std::string type;  // the list's Type column for a file
};

// A Quick Scan of the first partition of an image, found as the command
// line finds it (the table, then the search when the table is empty), kept
// with the image so that files can be saved from it.
class ExtScan {
 public:
  // Opens a VHD or VHDX, or a raw disk (any other extension). partition:
  // the entry to scan instead of the first one found, as a table would give
  // it for a volume whose superblock the search cannot recognise.
  explicit ExtScan(const std::filesystem::path& image, std::optional<PartitionEntry> partition = std::nullopt);

  const PartitionEntry& Partition() const { return partition_; }
  const QuickScanResult& Result() const { return result_; }
  const RecoveryStore& Store() const { return *store_; }
  const std::vector<ExtItem>& Items() const { return items_; }
  std::optional<ExtItem> Find(const std::string& path) const;

  // Saves every folder and file (deleted ones by the mode) into destination.
  SaveSummary SaveAll(const std::filesystem::path& destination, DeletedMode deleted = DeletedMode::kInclude);

 private:
  std::unique_ptr<ByteSource> disk_;
  std::unique_ptr<RecoveryStore> store_;
  PartitionEntry partition_;
  QuickScanResult result_;
  std::vector<ExtItem> items_;
};

// What the scan lists, one line per item ("file PATH [deleted] inode N size
// S"), "Lost Dir" itself left out, for comparing listings.
std::multiset<std::string> ExtListing(const std::vector<ExtItem>& items);
// Fails with every line only one of the two listings has.
void ExpectSameListing(const std::multiset<std::string>& got, const std::multiset<std::string>& want);
// The scan lists what fls -r -p lists of the raw volume at start, and
// nothing under "Lost Dir".
void ExpectListedAsFls(const ExtScan& scan, const std::filesystem::path& raw, std::uint64_t start);
// Saving the whole scan gives every live file of the manifest with its bytes
// and modification time (to 100 ns on 256-byte inodes), every deleted one as
// icat reads its inode, and the symbolic links as files holding their targets.
void ExpectSavedAsSource(ExtScan& scan, const std::filesystem::path& raw, std::uint64_t start, bool largeInodes);

// debugfs -R REQUEST on a raw volume, its standard output.
std::string Debugfs(const std::filesystem::path& raw, const std::string& request);
// The byte offset of a path's inode in a raw volume, as debugfs imap says.
std::uint64_t InodeOffset(const std::filesystem::path& raw, const std::string& path);
// The volume block of a path's logical block, as debugfs bmap says.
std::uint64_t BlockOf(const std::filesystem::path& raw, const std::string& path, std::uint64_t logical);
// A time istat shows for an ext inode ("Accessed", "File Modified", "File
// Created"): seconds since 1970, and the nanoseconds where it shows them
// (for ext4 volumes only). None when istat does not show it (a creation
// time outside ext4).
struct ExtIstatShown {
  std::int64_t seconds = 0;
  std::optional<std::uint32_t> nanoseconds;
};
std::optional<ExtIstatShown> ExtIstatTime(const std::filesystem::path& raw, std::uint64_t start, std::uint32_t inode,
                                      const std::string& label);

}  // namespace dravik::test
