#pragma once
// What the properties of a listed folder or file say: its name, its size
// (files in KB rounded up past the last whole one, folders in whole MB over
// their subtree), what a folder holds and the row's two times.

#include <cstdint>
#include <string>

#include "fs/RecoveryStore.h"
#include "fs/ResultTree.h"

namespace dravik {

struct ItemProperties {
  std::u16string name;
  std::string size;
  std::string contains;  // empty for a file
  std::string created;
  std::string modified;
};

// "n KB" with n = bytes / 1024 + 1, so an empty file shows 1 KB.
std::string FileSizeText(std::uint64_t bytes);
// Whole MB, or "Less than 1 MB" below one.
std::string FolderSizeText(std::uint64_t bytes);
std::string ContainsText(std::uint64_t files, std::uint64_t folders);

// None for the "Parent..." row.
std::optional<ItemProperties> PropertiesOf(const RecoveryStore& store, const ResultTree& tree, const ListRow& row);

}  // namespace dravik
