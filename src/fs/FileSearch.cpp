#include "fs/FileSearch.h"

#include <optional>
#include <unordered_map>

#include "fs/NameMatch.h"
#include "fs/TimeText.h"
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

SearchHit HitOf(const FatFileRecord& file, std::size_t record, const std::u16string& folder) {
  return {file.name, folder, file.size, FatDateText(file.date1), FatDateTimeText(file.date1, file.time1),
          file.serial, record, file.deleted};
}

SearchHit HitOf(const NtfsFileRecord& file, std::size_t record, const std::u16string& folder) {
  return {file.name, folder, file.size, NtfsTimeText(file.creationTime), NtfsTimeText(file.modificationTime),
          file.dataRecordLba, record, file.deleted};
}

template <typename Records>
std::size_t Walk(const Records& files, const ResultTree& tree, const std::u16string& pattern, ScanControl& control,
                 const std::function<void(SearchHit)>& found) {
  FolderPaths folders(tree);
  std::size_t hits = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!control.Continue()) break;
    if (!MatchName(ToLower(files[i].name), pattern)) continue;
    found(HitOf(files[i], i, folders.Of(files[i].parentId)));
    ++hits;
  }
  return hits;
}

}  // namespace

std::size_t SearchFiles(const RecoveryStore& store, const ResultTree& tree, std::u16string_view pattern,
                        ScanControl& control, const std::function<void(SearchHit)>& found) {
  const std::u16string lower = ToLower(pattern);
  if (tree.Family() == FsFamily::kFat) return Walk(store.FatFiles(), tree, lower, control, found);
  return Walk(store.NtfsFiles(), tree, lower, control, found);
}

}  // namespace dravik
