#include "fs/ItemProperties.h"

#include <vector>

namespace dravik {

namespace {

struct SubtreeTotals {
  std::uint64_t files = 0;
  std::uint64_t folders = 0;
  std::uint64_t bytes = 0;
};

// Walks the folder's subtree without recursion: a deep tree of a damaged
// file system must not exhaust the stack.
SubtreeTotals TotalsOf(const RecoveryStore& store, const ResultTree& tree, std::size_t top) {
  SubtreeTotals totals;
  std::vector<std::size_t> pending{top};
  while (!pending.empty()) {
    const std::size_t node = pending.back();
    pending.pop_back();
    const TreeNode& folder = tree.Node(node);
    if (node != top) ++totals.folders;
    for (const std::size_t record : tree.FileRecordsOf(folder.folderId)) {
      ++totals.files;
      totals.bytes += store.Files()[record].size;
    }
    pending.insert(pending.end(), folder.children.begin(), folder.children.end());
  }
  return totals;
}

}  // namespace

std::string FileSizeText(std::uint64_t bytes) { return std::to_string(bytes / 1024 + 1) + " KB"; }

std::string FolderSizeText(std::uint64_t bytes) {
  const std::uint64_t megabytes = bytes / 1024 / 1024;
  return (megabytes == 0 ? std::string("Less than 1") : std::to_string(megabytes)) + " MB";
}

std::string ContainsText(std::uint64_t files, std::uint64_t folders) {
  return std::to_string(files) + " File(s) and " + std::to_string(folders) + " Folder(s)";
}

std::optional<ItemProperties> PropertiesOf(const RecoveryStore& store, const ResultTree& tree, const ListRow& row) {
  if (row.kind == ListRow::Kind::kParent) return std::nullopt;
  ItemProperties properties{row.name, {}, {}, row.created, row.modified};
  if (row.kind == ListRow::Kind::kFile) {
    properties.size = FileSizeText(row.size.value_or(0));
    return properties;
  }
  const SubtreeTotals totals = TotalsOf(store, tree, static_cast<std::size_t>(row.id));
  properties.size = FolderSizeText(totals.bytes);
  properties.contains = ContainsText(totals.files, totals.folders);
  return properties;
}

}  // namespace dravik
