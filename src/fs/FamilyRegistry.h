#pragma once
// The registered file-system families, found by their id or by the code of
// a partition or a kept result.

#include <cstdint>
#include <optional>

#include "fs/FileSystemFamily.h"

namespace dravik {

const FileSystemFamily& FamilyOf(FsFamily id);
// The family that reads partitions of this FsCode, if one does.
std::optional<FsFamily> FamilyOfCode(std::uint16_t fsCode);

}  // namespace dravik
