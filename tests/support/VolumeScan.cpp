#include "VolumeScan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "TestFiles.h"
#include "disk/PartitionSearch.h"
#include "save/SaveControl.h"
#include "util/ScanControl.h"
#include "util/Utf.h"

namespace dravik::test {

namespace fs = std::filesystem;

VolumeScan::VolumeScan(const fs::path& image, std::optional<PartitionEntry> given)
    : disk(OpenTestImage(image)), reader(std::make_unique<SectorReader>(*disk)) {
  ScanControl control;
  if (given) {
    partition = *given;
  } else {
    PartitionTable table;
    ReadDrivePartitions(*reader, table);
    if (table.Empty()) SearchPartitions(*reader, SearchGeometry({}, reader->SectorCount()), table, nullptr, control);
    if (table.Empty()) throw std::runtime_error("no partition found on " + image.string());
    partition = table.Entries()[0];
  }
  result = RunQuickScan(*reader, partition, store, control);
  tree_.emplace(ResultTree::Build(store, result.family));

  const ResultTree& tree = *tree_;
  std::function<void(std::size_t)> walk = [&](std::size_t node) {
    const std::string base = ToUtf8(tree.PathOf(node));
    for (const ListRow& row : tree.ShowFolder(tree.Node(node).folderId, FilterList{})) {
      if (row.kind != ListRow::Kind::kFile) continue;
      const FileRecord& file = store.Files()[row.record];
      const std::string name = ToUtf8(file.name);
      items_.push_back({false, file.deleted, file.id, base.empty() ? name : base + "/" + name, file.size, row.type,
                        file.times});
    }
    for (const std::size_t child : tree.Node(node).children) {
      const TreeNode& folder = tree.Node(child);
      items_.push_back({true, folder.deleted, folder.folderId, ToUtf8(tree.PathOf(child)), 0, "Folder", {}});
      walk(child);
    }
  };
  walk(ResultTree::kRoot);
}

std::unique_ptr<VolumeScan> ScanImage(const fs::path& image) {
  auto volume = std::make_unique<VolumeScan>(image);
  if (volume->result.Usable()) return volume;
  ADD_FAILURE() << "Quick Scan of " << image << " failed: " << volume->result.message;
  return nullptr;
}

std::vector<ScanItem> VolumeScan::ItemsOf(std::uint32_t id) const {
  std::vector<ScanItem> found;
  std::ranges::copy_if(items_, std::back_inserter(found), [id](const ScanItem& item) { return item.id == id; });
  return found;
}

std::optional<ScanItem> VolumeScan::Find(const std::string& path) const {
  const auto it = std::ranges::find(items_, path, &ScanItem::path);
  return it == items_.end() ? std::nullopt : std::optional(*it);
}

void VolumeScan::SelectOnly(const std::string& path) {
  ResultTree& tree = *tree_;
  tree.SetCheck(ResultTree::kRoot, false);
  const std::vector<std::uint64_t> checked(tree.CheckedFiles().begin(), tree.CheckedFiles().end());
  for (const std::uint64_t key : checked) tree.CheckFile(key, false);
  const auto slash = path.rfind('/');
  const auto folder = tree.FindFolder(FromUtf8(slash == std::string::npos ? "" : path.substr(0, slash)));
  if (!folder) throw std::runtime_error("no folder for " + path);
  const std::u16string name = FromUtf8(slash == std::string::npos ? path : path.substr(slash + 1));
  bool found = false;
  for (const ListRow& row : tree.ShowFolder(tree.Node(*folder).folderId, FilterList{})) {
    if (row.kind == ListRow::Kind::kFile && row.name == name) {
      tree.CheckFile(row.id, true);
      found = true;
    }
  }
  if (!found) throw std::runtime_error("no file " + path + " in the scan result");
}

SaveSummary VolumeScan::Save(const fs::path& destination, DeletedMode deleted) {
  return SaveChecked(*reader, result.params, store, *tree_, destination, deleted);
}

SaveSummary VolumeScan::SaveAll(const fs::path& destination, DeletedMode deleted) {
  tree_->CheckEverything();
  return Save(destination, deleted);
}

std::map<std::string, std::string> VolumeScan::SavedDigests() {
  TempDir out;
  SaveAll(out.Path());
  return Sha256Tree(out.Path());
}

SaveSummary SaveChecked(const SectorReader& reader, const FsParams& params, const RecoveryStore& store,
                        const ResultTree& tree, const fs::path& destination, DeletedMode deleted) {
  RecoverySettings settings;
  settings.deleted = deleted;
  const FilterList filter;
  SaveControl control;
  return SaveCheckedTree({reader, params, settings, filter, control}, store, tree, destination);
}

SaveSummary SaveEverything(const SectorReader& reader, const FsParams& params, const RecoveryStore& store,
                           ResultTree& tree, const fs::path& destination, DeletedMode deleted) {
  tree.CheckEverything();
  return SaveChecked(reader, params, store, tree, destination, deleted);
}

std::string ShowItem(bool folder, bool deleted, std::uint32_t id, const std::string& path, std::uint64_t size) {
  return (folder ? "folder " : "file ") + path + (deleted ? " [deleted]" : "") + " id " + std::to_string(id) +
         (folder ? "" : " size " + std::to_string(size));
}

std::multiset<std::string> Listing(const std::vector<ScanItem>& items) {
  std::multiset<std::string> shown;
  for (const ScanItem& item : items)
    if (item.path != ToUtf8(kLostDirName))
      shown.insert(ShowItem(item.folder, item.deleted, item.id, item.path, item.size));
  return shown;
}

void ExpectSameListing(const std::multiset<std::string>& got, const std::multiset<std::string>& want) {
  std::vector<std::string> extra, missing;
  std::set_difference(got.begin(), got.end(), want.begin(), want.end(), std::back_inserter(extra));
  std::set_difference(want.begin(), want.end(), got.begin(), got.end(), std::back_inserter(missing));
  for (const std::string& e : extra) ADD_FAILURE() << "unexpected: " << e;
  for (const std::string& m : missing) ADD_FAILURE() << "missing: " << m;
}

}  // namespace dravik::test
