#include "fs/RecoveryStore.h"

namespace dravik {

void RecoveryStore::Clear() { *this = RecoveryStore{}; }

void RecoveryStore::AddFatFolder(FatFolderRecord folder) {
  const auto [it, added] = fatFolderById_.try_emplace(folder.id, fatFolders_.size());
  if (!added) {
    FatFolderRecord& listed = fatFolders_[it->second];
    if (listed.deleted && !folder.deleted) {
      listed.name = std::move(folder.name);
      listed.deleted = false;
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
