#pragma once
// FAT16 and FAT32 as a registered file-system family.

#include "fs/FileSystemFamily.h"

namespace dravik::fat {

const FileSystemFamily& Family();

}  // namespace dravik::fat
