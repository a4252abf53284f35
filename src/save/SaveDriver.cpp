#include "save/SaveDriver.h"

#include <unordered_map>
#include <unordered_set>

#include "save/FatWriter.h"
#include "save/NtfsWriter.h"
#include "save/SafeName.h"

namespace dravik {

namespace {

// Writes one file record of the family into folder.
void WriteFile(const SaveContext& context, const RecoveryStore& store, FsFamily family, std::size_t index,
               const std::filesystem::path& folder) {
  if (family == FsFamily::kFat) {
    const FatFileRecord& file = store.FatFiles()[index];
    std::u16string name = file.name;
    ExtractFatFile(context, folder, file, true, name);
  } else {
    const NtfsFileRecord& file = store.NtfsFiles()[index];
    std::u16string name = file.name;
    ExtractNtfsFile(context, folder, file, true, name);
  }
}

template <typename Records, typename Key>
std::unordered_map<std::uint64_t, std::size_t> IndexBy(const Records& records, Key key) {
  std::unordered_map<std::uint64_t, std::size_t> index;
  for (std::size_t i = 0; i < records.size(); ++i) index.emplace(key(records[i]), i);
  return index;
}

std::unordered_map<std::uint64_t, std::size_t> FileIndex(const RecoveryStore& store, FsFamily family) {
  if (family == FsFamily::kFat) return IndexBy(store.FatFiles(), [](const FatFileRecord& f) { return f.serial; });
  return IndexBy(store.NtfsFiles(), [](const NtfsFileRecord& f) { return f.dataRecordLba; });
}

}  // namespace

void MakeFolderPath(const std::filesystem::path& path) {
  std::error_code ignored;
  std::filesystem::create_directories(path, ignored);
}

void MakeFolderBelow(const std::filesystem::path& parent, const std::filesystem::path& relative) {
  MakeFolderPath(parent);
  std::error_code ignored;
  std::filesystem::path path = parent;
  for (const std::filesystem::path& level : relative) {
    path /= level;
    if (std::filesystem::is_symlink(std::filesystem::symlink_status(path, ignored)))
      std::filesystem::remove(path, ignored);
    std::filesystem::create_directory(path, ignored);
  }
}

namespace {

using FileIndexMap = std::unordered_map<std::uint64_t, std::size_t>;

// Writes a folder's files into parent/relative, which exists already.
void SaveFolder(const SaveContext& context, const RecoveryStore& store, const ResultTree& tree,
                const FileIndexMap& index, const std::filesystem::path& parent, const std::filesystem::path& relative,
                std::uint32_t folderId) {
  for (const std::uint64_t key : tree.FilesOf(folderId)) {
    if (context.control.StopRequested()) return;
    if (const auto it = index.find(key); it != index.end())
      WriteFile(context, store, tree.Family(), it->second, parent / relative);
  }
}

}  // namespace

void SaveFolderFiles(const SaveContext& context, const RecoveryStore& store, const ResultTree& tree,
                     const std::filesystem::path& parent, const std::filesystem::path& relative,
                     std::uint32_t folderId) {
  if (context.control.StopRequested()) return;
  MakeFolderBelow(parent, relative);
  SaveFolder(context, store, tree, FileIndex(store, tree.Family()), parent, relative, folderId);
}

void SaveCheckedTree(const SaveContext& context, const RecoveryStore& store, const ResultTree& tree,
                     const std::filesystem::path& destination) {
  const FileIndexMap index = FileIndex(store, tree.Family());
  for (const std::size_t node : tree.CheckedFolders()) {
    const std::filesystem::path relative = SafeRelativePath(tree.PathOf(node));
    // Folders are made even after a stop, empty; their files are not written.
    MakeFolderBelow(destination, relative);
    SaveFolder(context, store, tree, index, destination, relative, tree.Node(node).folderId);
  }
  for (const std::uint64_t key : tree.CheckedFiles()) {
    if (context.control.StopRequested()) return;
    if (const auto it = index.find(key); it != index.end())
      WriteFile(context, store, tree.Family(), it->second, destination);
  }
}

std::uint64_t SelectedBytes(const RecoveryStore& store, const ResultTree& tree) {
  const FsFamily family = tree.Family();
  const auto index = FileIndex(store, family);
  std::unordered_set<std::uint64_t> counted(tree.CheckedFiles().begin(), tree.CheckedFiles().end());
  for (const std::size_t node : tree.CheckedFolders())
    for (const std::uint64_t key : tree.FilesOf(tree.Node(node).folderId)) counted.insert(key);
  std::uint64_t bytes = 0;
  for (const std::uint64_t key : counted) {
    const auto it = index.find(key);
    if (it == index.end()) continue;
    bytes += family == FsFamily::kFat ? store.FatFiles()[it->second].size : store.NtfsFiles()[it->second].size;
  }
  return bytes;
}

std::string SelectedSizeText(std::uint64_t bytes) {
  return "Selected Size : " + std::to_string(bytes / 1024 / 1024) + " MB";
}

}  // namespace dravik
