#pragma once
// NTFS as a registered file-system family.

#include "fs/FileSystemFamily.h"

namespace dravik::ntfs {

const FileSystemFamily& Family();

}  // namespace dravik::ntfs
