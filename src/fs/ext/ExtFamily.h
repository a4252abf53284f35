#pragma once
// ext2, ext3 and ext4 as a registered file-system family.

#include "fs/FileSystemFamily.h"

namespace dravik::ext {

const FileSystemFamily& Family();

}  // namespace dravik::ext
