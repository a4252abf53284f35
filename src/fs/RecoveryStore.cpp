#include "fs/RecoveryStore.h"

namespace dravik {

void RecoveryStore::Clear() { *this = RecoveryStore{}; }

void RecoveryStore::AddFatFolder(FatFolderRecord folder) {
  const auto [it, added] = fatFolderById_.try_emplace(folder.id, fatFolders_.size());
  if (!added) {
    // A live entry decides over a deleted one for the same cluster: a folder
    // moved elsewhere leaves a deleted entry in its old parent, and the live
    // entry gives its name, its parent (so its path) and its times.
    FatFolderRecord& listed = fatFolders_[it->second];
    if (listed.deleted && !folder.deleted) {
      const std::uint32_t treeItem = listed.treeItem;
      listed = std::move(folder);
      listed.treeItem = treeItem;
    }
    return;
  }
  fatFolders_.push_back(std::move(folder));
  ++folderCount;
}

void RecoveryStore::AddFatFile(FatFileRecord file) { fatFiles_.push_back(std::move(file)); }

void RecoveryStore::AddNtfsFolder(NtfsFolderRecord folder) {
  ntfsFolders_.push_back(std::move(folder));
  ++folderCount;
}

void RecoveryStore::AddNtfsFile(NtfsFileRecord file) { ntfsFiles_.push_back(std::move(file)); }

}  // namespace dravik
