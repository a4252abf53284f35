#pragma once
// The result tree over a store: one node per folder under "Root", in the
// order the folders were found, with three check states; and the rows of a
// folder's contents. Files are never nodes; they appear only in the rows.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fs/FsFamily.h"
#include "fs/NameMatch.h"
#include "fs/RecoveryStore.h"
#include "fs/TimeText.h"

namespace dravik {

class ScanControl;

enum class CheckState : std::uint8_t { kUnchecked = 1, kChecked = 2, kPartial = 3 };

struct TreeNode {
  std::u16string label;
  std::size_t parent = 0;  // the root is its own parent
  std::vector<std::size_t> children;
  CheckState state = CheckState::kUnchecked;
  bool deleted = false;
  std::optional<std::size_t> folder;  // index in the store's folder list; none for "Root"
  std::uint32_t folderId = 0;
};

struct ListRow {
  enum class Kind { kParent, kFolder, kFile };
  Kind kind = Kind::kFile;
  std::u16string name;
  std::string type;
  std::optional<std::uint64_t> size;
  std::string created;
  std::string modified;
  std::uint64_t id = 0;  // folders: tree node; files: identifier (FAT serial, NTFS record sector)
  bool deleted = false;
  std::size_t record = 0;  // index in the store's folder or file list
  // The moments behind the texts, where the file system records them (a
  // FAT entry's creation column shows its write date: no moment).
  std::optional<UnixTime> createdAt;
  std::optional<UnixTime> modifiedAt;
  bool fromJournal = false;  // a deleted file whose data comes from an older copy of its inode
};

inline constexpr const char* kCreatingTreeText = "Please wait creating tree...";

// "TXT File" for a.txt, "File" without an extension; "Deleted " in front
// for a deleted file, ", from the journal" after it for one whose data an
// older copy of its inode in the file system's journal gives.
std::string FileTypeText(std::u16string_view name, bool deleted, bool fromJournal = false);

class ResultTree {
 public:
  static constexpr std::size_t kRoot = 0;

  // Builds the tree of the store's folders of the family under "Root" and
  // records each folder's node in its treeItem. A folder is placed once,
  // so a damaged file system whose folders name each other as parents
  // cannot make the tree endless. Checks every node, as after a scan.
  static ResultTree Build(RecoveryStore& store, FsFamily family, ScanControl* control = nullptr);

  FsFamily Family() const { return family_; }
  std::uint32_t RootId() const { return rootId_; }
  const std::vector<TreeNode>& Nodes() const { return nodes_; }
  const TreeNode& Node(std::size_t node) const { return nodes_.at(node); }
  // The node of a folder path below "Root" ("a/b"), if any.
  std::optional<std::size_t> FindFolder(const std::u16string& path) const;
  // The folder's path below "Root", names joined by separator.
  std::u16string PathOf(std::size_t node, char16_t separator = u'/') const;

  // Gives the node and its descendants the state, then settles the ancestors.
  void SetCheck(std::size_t node, bool checked);
  // A click on a folder's check box, decided by its state before the click:
  // an unchecked folder, or one with a child folder not checked, is checked;
  // otherwise it is unchecked, and so is every ancestor left without a
  // checked or partial child folder (the root: everything is unchecked).
  void ClickFolder(std::size_t node);
  // The folder's click as above, with the files of the list following it:
  // the folders it checked bring all their files, those it unchecked none,
  // so files checked one by one there are let go. The root brings no files
  // when it is saved, so its own files are checked one by one with it.
  void ClickFolderBox(std::size_t node);
  // Whether a file row of the folder's list shows as checked: checked on its
  // own, or brought by its checked folder (the root brings none).
  bool FileShownChecked(std::size_t folderNode, std::uint64_t key) const;
  // A click on a file row's check box in the list of the folder. Unchecking
  // a file that its checked folder brings keeps the folder's other files
  // checked one by one and leaves the folder partly checked.
  void ClickFile(std::size_t folderNode, std::uint64_t key);
  // After a scan: everything checked, the root's own files included.
  void CheckEverything();
  void CheckFile(std::uint64_t key, bool checked);
  bool FileChecked(std::uint64_t key) const { return checkedFiles_.count(key) != 0; }
  const std::unordered_set<std::uint64_t>& CheckedFiles() const { return checkedFiles_; }
  // Nodes whose check box is set (the root excluded: it has no folder record).
  std::vector<std::size_t> CheckedFolders() const;

  std::vector<ListRow> ShowFolder(std::uint32_t folderId, const FilterList& filter) const;
  // The file identifiers in a folder (in list order).
  std::vector<std::uint64_t> FilesOf(std::uint32_t folderId) const;
  // The files of a folder as indexes in the store's file list of the family.
  const std::vector<std::size_t>& FileRecordsOf(std::uint32_t folderId) const;

  // Gives the folder or file of a listed row a new name in store (the one
  // the tree was built from), and a folder's node too, so that it is shown
  // and saved under it. An empty name and the "Parent..." row change nothing.
  bool Rename(RecoveryStore& store, const ListRow& row, std::u16string name);

 private:
  ResultTree(const RecoveryStore& store, FsFamily family);
  void SettleAncestors(std::size_t node, bool checked);
  void SetSubtree(std::size_t node, CheckState state);
  bool AllChildren(std::size_t node, CheckState state) const;
  bool AnyChildChecked(std::size_t node) const;
  bool HasCheckedFile(std::uint32_t folderId) const;
  void SetRootFiles(bool checked);
  void LetGoFilesOfChecked();

  const RecoveryStore* store_;
  FsFamily family_;
  std::uint32_t rootId_;
  std::vector<TreeNode> nodes_;
  std::unordered_map<std::uint32_t, std::vector<std::size_t>> foldersByParent_;
  std::unordered_map<std::uint32_t, std::vector<std::size_t>> filesByParent_;
  std::unordered_set<std::uint64_t> checkedFiles_;
};

}  // namespace dravik
