#pragma once
// Saving what is checked in the result tree: checked folders are recreated
// below the destination with their files; files checked on their own go
// under their folder's path when that folder is partly checked, and flat
// into the destination otherwise (root files, a file picked by its path).
// Saving the files checked in the search results: flat into the destination. How every file went is counted in the
// context's SaveControl (see SaveControl::Summary).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "fs/RecoveryStore.h"
#include "fs/ResultTree.h"
#include "save/FileWriter.h"

namespace dravik {

// Creates every level of the path that is missing, following links the
// path holds (it is the user's own). None when it exists as a folder
// afterwards; otherwise the level that could not be made and why (a file
// standing there gives ENOTDIR).
std::optional<SaveFailure> MakeFolderPath(const std::filesystem::path& path);
// Creates parent, then every level of relative below it. A link standing
// where a level goes is replaced by a folder, never followed, so nothing
// saved lands outside parent. None when done; otherwise the level that
// could not be made and why.
std::optional<SaveFailure> MakeFolderBelow(const std::filesystem::path& parent, const std::filesystem::path& relative);

// Saves every checked folder and file into destination (made when missing).
// Live files go before deleted ones, so a deleted file never takes a live
// file's name. Returns the counts, as context.control.Summary() gives them.
SaveSummary SaveCheckedTree(const SaveContext& context, const RecoveryStore& store, const ResultTree& tree,
                            const std::filesystem::path& destination);

// Saves the files at these indexes of the family's file list, in this order,
// flat into destination (made when missing), as the search results hand
// them over (live ones first); the result tree and its check marks play no part. Indexes past
// the list are left out. Returns the counts, as context.control.Summary()
// gives them.
SaveSummary SaveCheckedList(const SaveContext& context, const RecoveryStore& store, FsFamily family,
                            const std::vector<std::size_t>& records, const std::filesystem::path& destination);

// What a save of the checked files and of the files of checked folders
// would write under these settings and filters, and what they leave out.
struct SelectedFiles {
  std::uint64_t files = 0;
  std::uint64_t bytes = 0;
  std::uint64_t filteredOut = 0;     // checked files the file filters leave out
  std::uint64_t deletedLeftOut = 0;  // checked files the deleted setting leaves out
};
SelectedFiles CountSelected(const RecoveryStore& store, const ResultTree& tree, const RecoverySettings& settings,
                            const FilterList& filter);
// "Selected Size : N MB".
std::string SelectedSizeText(std::uint64_t bytes);

}  // namespace dravik
