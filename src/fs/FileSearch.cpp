#include "fs/FileSearch.h"

#include <optional>
#include <unordered_map>

#include "fs/NameMatch.h"
#include "fs/ItemTime.h"
#include "util/ScanControl.h"

namespace dravik {

namespace {

// The folder texts of the tree by folder id, made once per folder. NTFS
// folder ids may repeat; the first node of an id is the one its files are
// listed under.
class FolderPaths {
 public:
  explicit FolderPaths(const ResultTree& tree) : tree_(tree) {
    for (std::size_t node = 0; node < tree.Nodes().size(); ++node) nodes_.emplace(tree.Node(node).folderId, node);
  }

  const std::u16string& Of(std::uint32_t folderId) {
    const auto cached = texts_.find(folderId);
    if (cached != texts_.end()) return cached->second;
    std::u16string text;
    if (const auto node = nodes_.find(folderId); node != nodes_.end()) {
      text = tree_.Node(ResultTree::kRoot).label;
      const std::u16string below = tree_.PathOf(node->second);
      if (!below.empty()) text += u'/' + below;
    }
    return texts_.emplace(folderId, std::move(text)).first->second;
  }

 private:
  const ResultTree& tree_;
  std::unordered_map<std::uint32_t, std::size_t> nodes_;
  std::unordered_map<std::uint32_t, std::u16string> texts_;
};

SearchHit HitOf(const FileRecord& file, std::size_t record, const std::u16string& folder) {
  return {file.name, folder, file.size, CreatedText(file.times), ModifiedText(file.times), file.key, record,
          file.deleted};
}

}  // namespace

std::size_t SearchFiles(const RecoveryStore& store, const ResultTree& tree, std::u16string_view pattern,
                        ScanControl& control, const std::function<void(SearchHit)>& found) {
  const std::u16string lower = ToLower(pattern);
  const std::vector<FileRecord>& files = store.Files();
  FolderPaths folders(tree);
  std::size_t hits = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!control.Continue()) break;
    if (!MatchName(ToLower(files[i].name), lower)) continue;
    found(HitOf(files[i], i, folders.Of(files[i].parentId)));
    ++hits;
  }
  return hits;
}

}  // namespace dravik
