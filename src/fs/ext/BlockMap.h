#pragma once
// The block map of ext2/ext3 files (and ext4 files without extents): the
// inode's i_block holds 12 direct block numbers, then the numbers of a
// single, a double and a triple indirect block, each a block of 32-bit
// block numbers. A number 0 is a hole.

#include <cstdint>

#include "fs/ext/FileMap.h"
#include "util/Bytes.h"

namespace dravik::ext {

class BlockReader;

// Maps the first logicalBlocks blocks of the file whose i_block is blockArray.
// A number past the volume's end marks the map damaged and reads as a hole;
// an indirect block is read at most once, so a damaged map that names one
// again cannot make the walk endless. The indirect blocks are read through
// readIndirect.
FileMap MapBlocks(const BlockReader& blocks, const MapBlockReader& readIndirect, Bytes blockArray,
                  std::uint64_t logicalBlocks);

}  // namespace dravik::ext
