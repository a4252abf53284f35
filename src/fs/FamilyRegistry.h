#pragma once
// The registered file-system families, found by their id or by the code of
// a partition or a kept result.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "fs/FileSystemFamily.h"

namespace dravik {

const FileSystemFamily& FamilyOf(FsFamily id);
// The family that reads partitions of this FsCode, if one does.
std::optional<FsFamily> FamilyOfCode(std::uint16_t fsCode);

// A file system the Extensive Scan can search for: the code it searches
// with, its name after --fs and its label in the desktop program.
struct SearchableKind {
  std::uint16_t code = 0;
  const char* option = "";
  const char* label = "";
};
// In the order they are offered.
std::span<const SearchableKind> SearchableKinds();
// The kind --fs names, if any.
std::optional<std::uint16_t> SearchableCodeOf(std::string_view option);

}  // namespace dravik
