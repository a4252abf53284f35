#include "fs/ResultTree.h"

#include <algorithm>

#include "fs/FamilyRegistry.h"
#include "fs/ItemTime.h"
#include "util/ScanControl.h"

namespace dravik {

namespace {

std::u16string ExtensionOf(std::u16string_view name) {
  const auto dot = name.rfind(u'.');
  if (dot == std::u16string_view::npos) return {};
  return std::u16string(name.substr(dot + 1));
}

}  // namespace

std::string FileTypeText(std::u16string_view name, bool deleted, bool fromJournal) {
  std::string type;
  for (const char16_t c : ExtensionOf(name)) {
    if (c < 0x80)
      type += static_cast<char>(c >= u'a' && c <= u'z' ? c - 0x20 : c);
    else
      type += '?';
  }
  type = type.empty() ? "File" : type + " File";
  if (deleted) type = "Deleted " + type;
  return fromJournal ? type + ", from the journal" : type;
}

ResultTree::ResultTree(const RecoveryStore& store, FsFamily family)
    : store_(&store), family_(family), rootId_(FamilyOf(family).RootId()) {}

ResultTree ResultTree::Build(RecoveryStore& store, FsFamily family, ScanControl* control) {
  ResultTree tree(store, family);
  std::vector<FolderRecord>& folders = store.Folders();
  auto& childrenOf = tree.foldersByParent_;
  for (std::size_t i = 0; i < folders.size(); ++i) childrenOf[folders[i].parentId].push_back(i);

  TreeNode root;
  root.label = u"Root";
  root.folderId = tree.RootId();
  tree.nodes_.push_back(root);

  // Depth first, children in the order their folders were found.
  struct Frame {
    std::size_t node;
    const std::vector<std::size_t>* children;
    std::size_t next;
  };
  static const std::vector<std::size_t> kNone;
  const auto childrenFor = [&](std::uint32_t id) {
    const auto it = childrenOf.find(id);
    return it == childrenOf.end() ? &kNone : &it->second;
  };
  std::vector<bool> placed(folders.size(), false);
  std::vector<Frame> stack{{kRoot, childrenFor(tree.RootId()), 0}};
  const std::size_t total = std::max<std::size_t>(folders.size(), 1);
  if (control) control->Report(kCreatingTreeText, 0);
  while (!stack.empty()) {
    if (control && control->StopRequested()) break;
    Frame& frame = stack.back();
    if (frame.next == frame.children->size()) {
      stack.pop_back();
      continue;
    }
    const std::size_t folder = (*frame.children)[frame.next++];
    if (placed[folder]) continue;
    placed[folder] = true;
    TreeNode node;
    node.label = folders[folder].name;
    node.parent = frame.node;
    node.deleted = folders[folder].deleted;
    node.folder = folder;
    node.folderId = folders[folder].id;
    const std::size_t index = tree.nodes_.size();
    tree.nodes_[frame.node].children.push_back(index);
    tree.nodes_.push_back(std::move(node));
    folders[folder].treeItem = static_cast<std::uint32_t>(index);
    if (control && index % 256 == 0) control->ReportPercent(static_cast<int>(100 * (index - 1) / total));
    stack.push_back({index, childrenFor(folders[folder].id), 0});
  }

  for (std::size_t i = 0; i < store.Files().size(); ++i) tree.filesByParent_[store.Files()[i].parentId].push_back(i);
  tree.SetCheck(kRoot, true);
  return tree;
}

std::optional<std::size_t> ResultTree::FindFolder(const std::u16string& path) const {
  std::size_t node = kRoot;
  std::size_t from = 0;
  while (from < path.size()) {
    std::size_t to = path.find(u'/', from);
    if (to == std::u16string::npos) to = path.size();
    const std::u16string_view part(path.data() + from, to - from);
    if (!part.empty()) {
      const auto& children = nodes_[node].children;
      const auto it = std::find_if(children.begin(), children.end(),
                                   [&](std::size_t child) { return nodes_[child].label == part; });
      if (it == children.end()) return std::nullopt;
      node = *it;
    }
    from = to + 1;
  }
  return node;
}

std::u16string ResultTree::PathOf(std::size_t node, char16_t separator) const {
  std::vector<const std::u16string*> parts;
  for (; node != kRoot; node = nodes_[node].parent) parts.push_back(&nodes_[node].label);
  std::u16string path;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) {
    if (!path.empty() && path.back() != separator) path += separator;
    path += **it;
  }
  return path;
}

void ResultTree::SetSubtree(std::size_t node, CheckState state) {
  std::vector<std::size_t> pending{node};
  while (!pending.empty()) {
    const std::size_t n = pending.back();
    pending.pop_back();
    nodes_[n].state = state;
    pending.insert(pending.end(), nodes_[n].children.begin(), nodes_[n].children.end());
  }
}

bool ResultTree::AllChildren(std::size_t node, CheckState state) const {
  const auto& children = nodes_[node].children;
  return std::all_of(children.begin(), children.end(), [&](std::size_t c) { return nodes_[c].state == state; });
}

bool ResultTree::AnyChildChecked(std::size_t node) const {
  const auto& children = nodes_[node].children;
  return std::any_of(children.begin(), children.end(),
                     [&](std::size_t c) { return nodes_[c].state != CheckState::kUnchecked; });
}

bool ResultTree::HasCheckedFile(std::uint32_t folderId) const {
  for (const std::uint64_t key : FilesOf(folderId))
    if (FileChecked(key)) return true;
  return false;
}

void ResultTree::SettleAncestors(std::size_t node, bool checked) {
  while (node != kRoot) {
    node = nodes_[node].parent;
    TreeNode& f = nodes_[node];
    if (!checked) {
      if (AllChildren(node, CheckState::kChecked))
        f.state = CheckState::kChecked;
      else if (AllChildren(node, CheckState::kUnchecked))
        f.state = HasCheckedFile(f.folderId) ? CheckState::kPartial : CheckState::kUnchecked;
      else
        f.state = CheckState::kPartial;
    } else if (!AllChildren(node, CheckState::kChecked)) {
      f.state = CheckState::kPartial;
    } else {
      const bool ownFilesUnchecked = !FilesOf(f.folderId).empty() && !HasCheckedFile(f.folderId);
      f.state = ownFilesUnchecked ? CheckState::kPartial : CheckState::kChecked;
    }
  }
}

void ResultTree::SetCheck(std::size_t node, bool checked) {
  SetSubtree(node, checked ? CheckState::kChecked : CheckState::kUnchecked);
  SettleAncestors(node, checked);
}

void ResultTree::ClickFolder(std::size_t node) {
  const TreeNode& n = nodes_.at(node);
  if (n.state == CheckState::kUnchecked || !AllChildren(node, CheckState::kChecked)) {
    SetCheck(node, true);
    return;
  }
  if (node == kRoot) {
    SetSubtree(kRoot, CheckState::kUnchecked);
    return;
  }
  SetSubtree(node, CheckState::kUnchecked);
  for (std::size_t up = nodes_[node].parent; up != kRoot; up = nodes_[up].parent) {
    if (AnyChildChecked(up)) return;
    nodes_[up].state = CheckState::kUnchecked;
  }
  if (!AnyChildChecked(kRoot)) nodes_[kRoot].state = CheckState::kUnchecked;
}

void ResultTree::SetRootFiles(bool checked) {
  for (const std::uint64_t key : FilesOf(RootId())) CheckFile(key, checked);
}

// A checked folder saves all its files; a file of it also checked on its
// own would be written a second time, flat into the destination.
void ResultTree::LetGoFilesOfChecked() {
  if (checkedFiles_.empty()) return;
  for (std::size_t i = 1; i < nodes_.size(); ++i)
    if (nodes_[i].state == CheckState::kChecked)
      for (const std::uint64_t key : FilesOf(nodes_[i].folderId)) checkedFiles_.erase(key);
}

void ResultTree::ClickFolderBox(std::size_t node) {
  ClickFolder(node);
  if (node == kRoot) {
    if (nodes_[kRoot].state == CheckState::kUnchecked) checkedFiles_.clear();
    SetRootFiles(nodes_[kRoot].state != CheckState::kUnchecked);
  } else {
    std::vector<std::size_t> pending{node};
    while (!pending.empty()) {
      const std::size_t n = pending.back();
      pending.pop_back();
      for (const std::uint64_t key : FilesOf(nodes_[n].folderId)) checkedFiles_.erase(key);
      pending.insert(pending.end(), nodes_[n].children.begin(), nodes_[n].children.end());
    }
  }
  LetGoFilesOfChecked();
}

bool ResultTree::FileShownChecked(std::size_t folderNode, std::uint64_t key) const {
  if (FileChecked(key)) return true;
  return folderNode != kRoot && nodes_.at(folderNode).state == CheckState::kChecked;
}

void ResultTree::ClickFile(std::size_t folderNode, std::uint64_t key) {
  TreeNode& folder = nodes_.at(folderNode);
  if (folderNode != kRoot && folder.state == CheckState::kChecked) {
    for (const std::uint64_t other : FilesOf(folder.folderId))
      if (other != key) checkedFiles_.insert(other);
    folder.state = CheckState::kPartial;
  } else {
    CheckFile(key, !FileChecked(key));
    if (folderNode != kRoot && folder.state == CheckState::kUnchecked && HasCheckedFile(folder.folderId))
      folder.state = CheckState::kPartial;
    else if (folderNode != kRoot && folder.state == CheckState::kPartial && !HasCheckedFile(folder.folderId) &&
             AllChildren(folderNode, CheckState::kUnchecked))
      folder.state = CheckState::kUnchecked;
    else if (folderNode != kRoot && folder.state == CheckState::kPartial && AllChildren(folderNode, CheckState::kChecked)) {
      const auto files = FilesOf(folder.folderId);
      if (std::all_of(files.begin(), files.end(), [&](std::uint64_t k) { return FileChecked(k); }))
        folder.state = CheckState::kChecked;
    }
  }
  SettleAncestors(folderNode, folder.state == CheckState::kChecked);
  LetGoFilesOfChecked();
}

void ResultTree::CheckEverything() {
  SetCheck(kRoot, true);
  checkedFiles_.clear();
  SetRootFiles(true);
}

void ResultTree::CheckFile(std::uint64_t key, bool checked) {
  if (checked)
    checkedFiles_.insert(key);
  else
    checkedFiles_.erase(key);
}

std::vector<std::size_t> ResultTree::CheckedFolders() const {
  std::vector<std::size_t> checked;
  for (std::size_t i = 1; i < nodes_.size(); ++i)
    if (nodes_[i].state == CheckState::kChecked) checked.push_back(i);
  return checked;
}

std::vector<std::uint64_t> ResultTree::FilesOf(std::uint32_t folderId) const {
  std::vector<std::uint64_t> keys;
  const auto it = filesByParent_.find(folderId);
  if (it == filesByParent_.end()) return keys;
  for (const std::size_t i : it->second)
    keys.push_back(store_->Files()[i].key);
  return keys;
}

const std::vector<std::size_t>& ResultTree::FileRecordsOf(std::uint32_t folderId) const {
  static const std::vector<std::size_t> kNone;
  const auto it = filesByParent_.find(folderId);
  return it == filesByParent_.end() ? kNone : it->second;
}

bool ResultTree::Rename(RecoveryStore& store, const ListRow& row, std::u16string name) {
  if (name.empty() || row.kind == ListRow::Kind::kParent || &store != store_) return false;
  if (row.kind == ListRow::Kind::kFile) {
    store.Files().at(row.record).name = std::move(name);
    return true;
  }
  std::u16string& stored = store.Folders().at(row.record).name;
  nodes_.at(static_cast<std::size_t>(row.id)).label = name;
  stored = std::move(name);
  return true;
}

std::vector<ListRow> ResultTree::ShowFolder(std::uint32_t folderId, const FilterList& filter) const {
  std::vector<ListRow> rows;
  if (folderId != RootId()) rows.push_back({ListRow::Kind::kParent, u"Parent...", "", {}, "", "", 0, false, 0, {}, {}});
  const auto rowOf = [](ListRow::Kind kind, std::size_t record, const std::u16string& name, std::string type,
                        std::optional<std::uint64_t> size, const ItemTimes& times, std::uint64_t id, bool deleted) {
    return ListRow{kind, name,    std::move(type), size,   CreatedText(times), ModifiedText(times),
                   id,   deleted, record,          CreatedMoment(times), ModifiedMoment(times)};
  };
  if (const auto folders = foldersByParent_.find(folderId); folders != foldersByParent_.end()) {
    for (const std::size_t i : folders->second) {
      const FolderRecord& f = store_->Folders()[i];
      rows.push_back(rowOf(ListRow::Kind::kFolder, i, f.name, f.deleted ? "Deleted Folder" : "Folder", std::nullopt,
                           f.times, f.treeItem, f.deleted));
    }
  }
  const auto it = filesByParent_.find(folderId);
  if (it == filesByParent_.end()) return rows;
  for (const std::size_t i : it->second) {
    const FileRecord& f = store_->Files()[i];
    if (!filter.Accepts(f.name)) continue;
    rows.push_back(rowOf(ListRow::Kind::kFile, i, f.name, FileTypeText(f.name, f.deleted, f.fromJournal), f.size,
                         f.times, f.key, f.deleted));
    rows.back().fromJournal = f.fromJournal;
  }
  return rows;
}

}  // namespace dravik
