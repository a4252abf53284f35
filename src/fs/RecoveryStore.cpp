#include "fs/RecoveryStore.h"

namespace dravik {

void RecoveryStore::Clear() { *this = RecoveryStore{}; }

void RecoveryStore::AddFolder(FolderRecord folder) {
  folders_.push_back(std::move(folder));
  ++folderCount;
}

void RecoveryStore::AddFolderOnce(FolderRecord folder) {
  const auto [it, added] = folderById_.try_emplace(folder.id, folders_.size());
  if (!added) {
    // A live entry decides over a deleted one for the same id: a folder
    // moved elsewhere leaves a deleted entry in its old parent, and the live
    // entry gives its name, its parent (so its path) and its times.
    FolderRecord& listed = folders_[it->second];
    if (listed.deleted && !folder.deleted) {
      const std::uint32_t treeItem = listed.treeItem;
      listed = std::move(folder);
      listed.treeItem = treeItem;
    }
    return;
  }
  AddFolder(std::move(folder));
}

bool HoldsFindings(const RecoveryStore& store) {
  if (!store.Files().empty()) return true;
  for (const FolderRecord& folder : store.Folders())
    if (folder.id != kLostDirId) return true;
  return false;
}

}  // namespace dravik
