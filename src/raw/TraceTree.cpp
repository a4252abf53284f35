#include "raw/TraceTree.h"

namespace dravik {

namespace {

std::vector<std::size_t> IndexesOf(std::span<const FoundFile> files, const std::vector<const FoundFile*>& chosen) {
  std::vector<std::size_t> indexes;
  indexes.reserve(chosen.size());
  for (const FoundFile* file : chosen) indexes.push_back(static_cast<std::size_t>(file - files.data()));
  return indexes;
}

}  // namespace

TraceTree TraceTree::Build(std::span<const FoundFile> files, ScanControl* control) {
  TraceTree tree;
  tree.files_ = files;
  TraceNode root{u"Root", kRoot, {}, {}};
  for (std::size_t i = 0; i < files.size(); ++i) root.files.push_back(i);
  tree.nodes_.push_back(std::move(root));
  for (const TraceTypeItem& item : BuildTraceTree(files, control)) {
    const std::size_t type = tree.nodes_.size();
    tree.nodes_.push_back({item.typeName, kRoot, {}, IndexesOf(files, FilesOfItem(files, item.typeName))});
    tree.nodes_[kRoot].children.push_back(type);
    for (const std::u16string& extension : item.extensions) {
      const std::size_t node = tree.nodes_.size();
      tree.nodes_.push_back({extension, type, {}, IndexesOf(files, FilesOfItem(files, item.typeName, &extension))});
      tree.nodes_[type].children.push_back(node);
    }
  }
  for (const FoundFile& file : files) tree.checked_.insert(file.fileNumber);
  return tree;
}

CheckState TraceTree::State(std::size_t node) const {
  std::size_t checked = 0;
  const auto& files = nodes_.at(node).files;
  for (const std::size_t i : files) if (FileChecked(files_[i].fileNumber)) ++checked;
  if (checked == 0) return CheckState::kUnchecked;
  return checked == files.size() ? CheckState::kChecked : CheckState::kPartial;
}

void TraceTree::SetNode(std::size_t node, bool checked) {
  for (const std::size_t i : nodes_.at(node).files) SetFile(files_[i].fileNumber, checked);
}

void TraceTree::SetFile(std::uint32_t number, bool checked) {
  if (checked)
    checked_.insert(number);
  else
    checked_.erase(number);
}

}  // namespace dravik
