#include "save/SaveDriver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <unordered_map>
#include <unordered_set>

#include "fs/FamilyRegistry.h"
#include "save/SafeName.h"

namespace dravik {

namespace {

// Writes one file record into folder.
void WriteFile(const SaveContext& context, const FileContents& contents, const RecoveryStore& store,
               std::size_t index, const std::filesystem::path& folder) {
  const FileRecord& file = store.Files()[index];
  std::u16string name = file.name;
  contents.Write(context, folder, file, true, name);
}

// Counts a file that cannot be written because its folder could not be
// made (failure): failed, and named where it would have gone, unless the
// settings pass it over anyway.
void CountUnwritable(const SaveContext& context, const FileRecord& file, const std::filesystem::path& folder,
                     const SaveFailure& failure) {
  const LeftOut left = LeftOutBySettings(context.settings, context.filter, file.name, file.deleted);
  if (left != LeftOut::kNo) {
    context.control.CountPassedOver(left == LeftOut::kByFilter);
    return;
  }
  context.control.CountFailed({folder / PathFromName(SafeFileName(file.name)), failure.error,
                               SaveFailure::Step::kNoFolder, file.size});
}

// The index of each file in the store's list by its key.
std::unordered_map<std::uint64_t, std::size_t> FileIndex(const RecoveryStore& store) {
  std::unordered_map<std::uint64_t, std::size_t> index;
  for (std::size_t i = 0; i < store.Files().size(); ++i) index.emplace(store.Files()[i].key, i);
  return index;
}

// Makes one folder; with followLinks false a link standing there is removed
// first. 0, or the errno of the failure.
int MakeLevel(const std::filesystem::path& path, bool followLinks) {
  struct stat status {};
  if (!followLinks && ::lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode) && ::unlink(path.c_str()) != 0)
    return errno;
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  if (errno != EEXIST) return errno;
  const int found = followLinks ? ::stat(path.c_str(), &status) : ::lstat(path.c_str(), &status);
  if (found != 0) return errno;
  return S_ISDIR(status.st_mode) ? 0 : ENOTDIR;
}

SaveFailure FolderFailure(const std::filesystem::path& path, int error) {
  return {path, error, SaveFailure::Step::kFolder};
}

}  // namespace

std::optional<SaveFailure> MakeFolderPath(const std::filesystem::path& path) {
  std::filesystem::path level;
  for (const std::filesystem::path& part : path) {
    level /= part;
    if (part.empty()) continue;
    if (const int error = MakeLevel(level, true)) return FolderFailure(level, error);
  }
  return std::nullopt;
}

std::optional<SaveFailure> MakeFolderBelow(const std::filesystem::path& parent, const std::filesystem::path& relative) {
  if (auto failure = MakeFolderPath(parent)) return failure;
  std::filesystem::path path = parent;
  for (const std::filesystem::path& level : relative) {
    path /= level;
    if (const int error = MakeLevel(path, false)) return FolderFailure(path, error);
  }
  return std::nullopt;
}

namespace {

using FileIndexMap = std::unordered_map<std::uint64_t, std::size_t>;

// Live files are written before deleted ones, so that a deleted file whose
// name a live one also has gets the renamed copy (or is skipped), never the
// live file's own name.
enum class Pass { kLive, kDeleted };
constexpr Pass kPasses[] = {Pass::kLive, Pass::kDeleted};

bool InPass(const RecoveryStore& store, std::size_t index, Pass pass) {
  return store.Files()[index].deleted == (pass == Pass::kDeleted);
}

// Writes the folder's files of this pass into parent/relative, which exists already.
void SaveFolder(const SaveContext& context, const FileContents& contents, const RecoveryStore& store,
                const ResultTree& tree, const FileIndexMap& index, const std::filesystem::path& parent, const std::filesystem::path& relative,
                std::uint32_t folderId, Pass pass) {
  for (const std::uint64_t key : tree.FilesOf(folderId)) {
    if (context.control.StopRequested()) return;
    const auto it = index.find(key);
    if (it != index.end() && InPass(store, it->second, pass))
      WriteFile(context, contents, store, it->second, parent / relative);
  }
}

// Writes a file into folder; when the folder could not be made, the file is
// counted against that failure instead.
void WriteInto(const SaveContext& context, const FileContents& contents, const RecoveryStore& store,
               std::size_t index, const std::filesystem::path& folder, const std::optional<SaveFailure>& noFolder) {
  if (noFolder) {
    context.control.RecordFolderFailure(*noFolder);
    CountUnwritable(context, store.Files()[index], folder, *noFolder);
  } else {
    WriteFile(context, contents, store, index, folder);
  }
}

// Where the files checked one by one go. A file of a partly checked folder
// goes under that folder's path, as it would with its whole folder, so that
// unchecking one file never scatters the others into the destination's
// root. A file whose folder is not checked at all (a file picked by its path
// on the command line) or that lies in the root goes straight into the
// destination. Folders are made once, when their first file needs them.
class LooseFileFolders {
 public:
  LooseFileFolders(const RecoveryStore& store, const ResultTree& tree, const std::filesystem::path& destination,
                   const std::optional<SaveFailure>& noDestination)
      : store_(store), tree_(tree), destination_(destination), noDestination_(noDestination) {
    for (std::size_t node = tree.Nodes().size(); node-- > 1;) nodeOf_[tree.Node(node).folderId] = node;
  }

  struct Place {
    std::filesystem::path folder;
    std::optional<SaveFailure> failure;
  };

  const Place& For(std::size_t index) {
    const auto node = nodeOf_.find(store_.Files()[index].parentId);
    if (noDestination_ || node == nodeOf_.end() || tree_.Node(node->second).state != CheckState::kPartial) {
      flat_ = {destination_, noDestination_};
      return flat_;
    }
    auto made = made_.find(node->second);
    if (made == made_.end()) {
      std::filesystem::path relative = SafeRelativePath(tree_.PathOf(node->second));
      std::optional<SaveFailure> failure = MakeFolderBelow(destination_, relative);
      made = made_.emplace(node->second, Place{destination_ / relative, std::move(failure)}).first;
    }
    return made->second;
  }

 private:
  const RecoveryStore& store_;
  const ResultTree& tree_;
  const std::filesystem::path& destination_;
  const std::optional<SaveFailure>& noDestination_;
  std::unordered_map<std::uint32_t, std::size_t> nodeOf_;  // folder id -> its first node
  std::unordered_map<std::size_t, Place> made_;
  Place flat_;
};

// A folder that could not be made (at the level failure names, folder or
// one above it): kept as a failure, its files counted and named.
void FailFolder(const SaveContext& context, const RecoveryStore& store, const ResultTree& tree,
                const FileIndexMap& index, const std::filesystem::path& folder, const SaveFailure& failure,
                std::uint32_t folderId) {
  context.control.RecordFolderFailure(failure);
  if (context.control.StopRequested()) return;
  for (const std::uint64_t key : tree.FilesOf(folderId))
    if (const auto it = index.find(key); it != index.end())
      CountUnwritable(context, store.Files()[it->second], folder, failure);
}

}  // namespace

SaveSummary SaveCheckedTree(const SaveContext& context, const RecoveryStore& store, const ResultTree& tree,
                            const std::filesystem::path& destination) {
  const FileIndexMap index = FileIndex(store);
  const auto contents = FamilyOf(tree.Family()).OpenContents(context.reader, context.params);
  // Without the destination nothing can be written: every file fails.
  const std::optional<SaveFailure> noDestination = MakeFolderPath(destination);
  // Folders are made first, even after a stop (empty then).
  struct MadeFolder {
    std::filesystem::path relative;
    std::uint32_t folderId;
  };
  std::vector<MadeFolder> made;
  for (const std::size_t node : tree.CheckedFolders()) {
    std::filesystem::path relative = SafeRelativePath(tree.PathOf(node));
    const std::uint32_t folderId = tree.Node(node).folderId;
    const auto failure = noDestination ? noDestination : MakeFolderBelow(destination, relative);
    if (failure)
      FailFolder(context, store, tree, index, destination / relative, *failure, folderId);
    else
      made.push_back({std::move(relative), folderId});
  }
  // Two folders of the tree may share one destination folder (a deleted
  // folder of a live one's name): every live file goes before every deleted one.
  LooseFileFolders loose(store, tree, destination, noDestination);
  for (const Pass pass : kPasses) {
    for (const MadeFolder& folder : made)
      SaveFolder(context, *contents, store, tree, index, destination, folder.relative, folder.folderId, pass);
    for (const std::uint64_t key : tree.CheckedFiles()) {
      if (context.control.StopRequested()) break;
      const auto it = index.find(key);
      if (it == index.end() || !InPass(store, it->second, pass)) continue;
      const auto& place = loose.For(it->second);
      WriteInto(context, *contents, store, it->second, place.folder, place.failure);
    }
  }
  return context.control.Summary();
}

SaveSummary SaveCheckedList(const SaveContext& context, const RecoveryStore& store, FsFamily family,
                            const std::vector<std::size_t>& records, const std::filesystem::path& destination) {
  const std::optional<SaveFailure> noDestination = MakeFolderPath(destination);
  const std::size_t files = store.Files().size();
  const auto contents = FamilyOf(family).OpenContents(context.reader, context.params);
  for (const Pass pass : kPasses) {
    for (const std::size_t record : records) {
      if (context.control.StopRequested()) break;
      if (record < files && InPass(store, record, pass))
        WriteInto(context, *contents, store, record, destination, noDestination);
    }
  }
  return context.control.Summary();
}

SelectedFiles CountSelected(const RecoveryStore& store, const ResultTree& tree, const RecoverySettings& settings,
                            const FilterList& filter) {
  const auto index = FileIndex(store);
  std::unordered_set<std::uint64_t> counted(tree.CheckedFiles().begin(), tree.CheckedFiles().end());
  for (const std::size_t node : tree.CheckedFolders())
    for (const std::uint64_t key : tree.FilesOf(tree.Node(node).folderId)) counted.insert(key);
  SelectedFiles selected;
  for (const std::uint64_t key : counted) {
    const auto it = index.find(key);
    if (it == index.end()) continue;
    const FileRecord& file = store.Files()[it->second];
    switch (LeftOutBySettings(settings, filter, file.name, file.deleted)) {
      case LeftOut::kNo:
        ++selected.files;
        selected.bytes += file.size;
        break;
      case LeftOut::kByFilter: ++selected.filteredOut; break;
      case LeftOut::kByDeletedSetting: ++selected.deletedLeftOut; break;
    }
  }
  return selected;
}

std::string SelectedSizeText(std::uint64_t bytes) {
  return "Selected Size : " + std::to_string(bytes / 1024 / 1024) + " MB";
}

}  // namespace dravik
