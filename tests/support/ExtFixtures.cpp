#include "ExtFixtures.h"

#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <algorithm>
#include <functional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

#include "Oracles.h"
#include "TestFiles.h"
#include "disk/PartitionSearch.h"
#include "disk/SectorReader.h"
#include "fs/ResultTree.h"
#include "save/SaveControl.h"
#include "util/ScanControl.h"
#include "util/Utf.h"
#include "vdisk/ImageFile.h"
#include "vdisk/VirtualDisk.h"

namespace dravik::test {

namespace fs = std::filesystem;

fs::path ExtFixture(const std::string& name) { return FixtureIn("ext", name); }

std::vector<ExtManifestEntry> ReadExtManifest() {
  std::ifstream in(ExtFixture("manifest"), std::ios::binary);
  std::vector<ExtManifestEntry> entries;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    ExtManifestEntry e;
    fields >> e.size >> e.mtime >> e.mtimeNs >> e.sha256;
    fields.get();
    std::getline(fields, e.path);
    entries.push_back(e);
  }
  EXPECT_GT(entries.size(), 300u) << "the manifest lists too little";
  return entries;
}

std::vector<std::string> ExtDeletedPaths() {
  std::ifstream in(ExtFixture("deleted.list"));
  std::vector<std::string> paths;
  for (std::string line; std::getline(in, line);) paths.push_back(line);
  return paths;
}

ExtScan::ExtScan(const fs::path& image, std::optional<PartitionEntry> partition)
    : store_(std::make_unique<RecoveryStore>()) {
  disk_ = OpenTestImage(image);
  const SectorReader reader(*disk_);
  ScanControl control;
  if (partition) {
    partition_ = *partition;
  } else {
    PartitionTable table;
    ReadDrivePartitions(reader, table);
    SearchPartitions(reader, SearchGeometry({}, reader.SectorCount()), table, nullptr, control);
    if (table.Empty()) throw std::runtime_error("no partition found on " + image.string());
    partition_ = table.Entries()[0];
  }
  result_ = RunQuickScan(reader, partition_, *store_, control);
  const ResultTree tree = ResultTree::Build(*store_, result_.family);
  std::function<void(std::size_t)> walk = [&](std::size_t node) {
    const std::string base = ToUtf8(tree.PathOf(node));
    for (const ListRow& row : tree.ShowFolder(tree.Node(node).folderId, FilterList{})) {
      if (row.kind != ListRow::Kind::kFile) continue;
      const FileRecord& file = store_->Files()[row.record];
      items_.push_back({false, file.deleted, file.id, base.empty() ? ToUtf8(file.name) : base + "/" + ToUtf8(file.name),
                        file.size, row.type});
    }
    for (const std::size_t child : tree.Node(node).children) {
      const TreeNode& folder = tree.Node(child);
      items_.push_back({true, folder.deleted, folder.folderId, ToUtf8(tree.PathOf(child)), 0, "Folder"});
      walk(child);
    }
  };
  walk(ResultTree::kRoot);
}

std::optional<ExtItem> ExtScan::Find(const std::string& path) const {
  for (const ExtItem& item : items_)
    if (item.path == path) return item;
  return std::nullopt;
}

SaveSummary ExtScan::SaveAll(const fs::path& destination, DeletedMode deleted) {
  ResultTree tree = ResultTree::Build(*store_, result_.family);
  tree.SetCheck(ResultTree::kRoot, true);
  for (const std::uint64_t key : tree.FilesOf(tree.RootId())) tree.CheckFile(key, true);
  const SectorReader reader(*disk_);
  RecoverySettings settings;
  settings.deleted = deleted;
  const FilterList filter;
  SaveControl control;
  const SaveContext context{reader, result_.params, settings, filter, control};
  MakeFolderPath(destination);
  return SaveCheckedTree(context, *store_, tree, destination);
}

namespace {

// Names as the engine shows them: bytes that are not UTF-8 become U+FFFD.
std::string Shown(const std::string& bytes) { return ToUtf8(FromUtf8(bytes)); }

std::string Show(bool folder, bool deleted, std::uint32_t inode, const std::string& path, std::uint64_t size) {
  return (folder ? "folder " : "file ") + path + (deleted ? " [deleted]" : "") + " inode " + std::to_string(inode) +
         (folder ? "" : " size " + std::to_string(size));
}

}  // namespace

std::multiset<std::string> ExtListing(const std::vector<ExtItem>& items) {
  std::multiset<std::string> shown;
  for (const ExtItem& item : items)
    if (item.path != ToUtf8(kLostDirName)) shown.insert(Show(item.folder, item.deleted, item.inode, item.path, item.size));
  return shown;
}

void ExpectSameListing(const std::multiset<std::string>& got, const std::multiset<std::string>& want) {
  std::vector<std::string> extra, missing;
  std::set_difference(got.begin(), got.end(), want.begin(), want.end(), std::back_inserter(extra));
  std::set_difference(want.begin(), want.end(), got.begin(), got.end(), std::back_inserter(missing));
  for (const std::string& e : extra) ADD_FAILURE() << "unexpected: " << e;
  for (const std::string& m : missing) ADD_FAILURE() << "missing: " << m;
}

void ExpectListedAsFls(const ExtScan& scan, const fs::path& raw, std::uint64_t start) {
  ASSERT_TRUE(scan.Result().Usable()) << scan.Result().message;
  EXPECT_TRUE(scan.Result().foldersNotReadWhole.empty());
  // The counts the progress and Drive Information show are of what is listed.
  EXPECT_EQ(scan.Store().folderCount, scan.Store().Folders().size());
  EXPECT_EQ(scan.Store().fileCount, scan.Store().Files().size());
  std::multiset<std::string> want;
  for (const FlsItem& item : Fls(raw, start)) {
    // fls reads an htree's index blocks as entries ("-/-" names); the
    // virtual $OrphanFiles folder is its own; a deleted name whose inode
    // number was cleared names nothing to recover, and one whose inode is in
    // use again names what is listed under its live name: neither is listed.
    if (item.virtualEntry || item.path.find("$OrphanFiles") == 0 || item.path.find('^') != std::string::npos ||
        (item.deleted && (item.record == 0 || item.reallocated)))
      continue;
    want.insert(Show(item.folder, item.deleted, item.record, Shown(item.path), item.size));
  }
  ExpectSameListing(ExtListing(scan.Items()), want);
  // Nothing is lost on an intact volume.
  for (const ExtItem& item : scan.Items())
    EXPECT_NE(item.path.rfind(ToUtf8(kLostDirName) + "/", 0), 0u) << item.path;
}

void ExpectSavedAsSource(ExtScan& scan, const fs::path& raw, std::uint64_t start, bool largeInodes) {
  const auto deletedPaths = ExtDeletedPaths();
  TempDir out;
  const SaveSummary summary = scan.SaveAll(out.Path());
  EXPECT_EQ(summary.failed, 0u);
  EXPECT_EQ(summary.incomplete, 0u);
  const auto saved = Sha256Tree(out.Path());
  for (const ExtManifestEntry& entry : ReadExtManifest()) {
    SCOPED_TRACE(entry.path);
    const std::string path = Shown(entry.path);
    const auto it = saved.find(path);
    ASSERT_NE(it, saved.end());
    if (std::find(deletedPaths.begin(), deletedPaths.end(), entry.path) != deletedPaths.end()) {
      // A deleted file is written as its inode still holds it.
      const auto item = scan.Find(path);
      ASSERT_TRUE(item && item->deleted);
      EXPECT_EQ(it->second, Sha256Bytes(Icat(raw, start, item->inode)));
      continue;
    }
    EXPECT_EQ(it->second, entry.sha256);
    // Times are kept to 100 ns; 128-byte inodes keep whole seconds, and
    // 2038 (small.txt) needs the epoch bits of a large inode.
    struct stat st {};
    ASSERT_EQ(::stat((out.Path() / path).c_str(), &st), 0);
    if (largeInodes || entry.path != "small.txt") {
      EXPECT_EQ(st.st_mtim.tv_sec, entry.mtime);
      EXPECT_EQ(st.st_mtim.tv_nsec, largeInodes ? entry.mtimeNs / 100 * 100 : 0);
    }
  }
  for (const char* link : {"fast-link", "slow-link"}) {
    const fs::path target = fs::read_symlink(ExtFixture("src") / link);
    const auto bytes = ReadFileBytes(out.Path() / link);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), target.string()) << link;
  }
}

std::string Debugfs(const fs::path& raw, const std::string& request) {
  const CommandResult result = RunShell("debugfs -R " + Quote(request) + " " + Quote(raw) + " 2>/dev/null");
  EXPECT_EQ(result.status, 0) << "debugfs failed: " << request;
  return result.out;
}

std::uint64_t InodeOffset(const fs::path& raw, const std::string& path) {
  static const std::regex located(R"(located at block (\d+), offset 0x([0-9a-fA-F]+))");
  const std::string out = Debugfs(raw, "imap /" + path);
  std::smatch m;
  if (!std::regex_search(out, m, located)) throw std::runtime_error("debugfs imap: " + out);
  const std::string stats = Debugfs(raw, "stats -h");
  static const std::regex blockSize(R"(Block size:\s+(\d+))");
  std::smatch b;
  if (!std::regex_search(stats, b, blockSize)) throw std::runtime_error("debugfs stats: no block size");
  return std::stoull(m[1]) * std::stoull(b[1]) + std::stoull(m[2], nullptr, 16);
}

std::uint64_t BlockOf(const fs::path& raw, const std::string& path, std::uint64_t logical) {
  const std::string out = Debugfs(raw, "bmap /" + path + " " + std::to_string(logical));
  return std::stoull(out);
}

std::optional<ExtIstatShown> ExtIstatTime(const fs::path& raw, std::uint64_t start, std::uint32_t inode,
                                      const std::string& label) {
  const std::regex line("^" + label + R"(:\t(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)(?:\.(\d{9}))? \(UTC\)$)");
  const CommandResult result = RunShell("TZ=UTC istat -o " + std::to_string(start) + " " + Quote(raw) + " " +
                                        std::to_string(inode));
  std::istringstream lines(result.out);
  for (std::string text; std::getline(lines, text);) {
    std::smatch m;
    if (!std::regex_match(text, m, line)) continue;
    std::tm tm{};
    tm.tm_year = std::stoi(m[1]) - 1900;
    tm.tm_mon = std::stoi(m[2]) - 1;
    tm.tm_mday = std::stoi(m[3]);
    tm.tm_hour = std::stoi(m[4]);
    tm.tm_min = std::stoi(m[5]);
    tm.tm_sec = std::stoi(m[6]);
    ExtIstatShown time{static_cast<std::int64_t>(timegm(&tm)), std::nullopt};
    if (m[7].matched) time.nanoseconds = static_cast<std::uint32_t>(std::stoul(m[7]));
    return time;
  }
  EXPECT_EQ(result.status, 0) << "istat failed on inode " << inode;
  return std::nullopt;
}

}  // namespace dravik::test
