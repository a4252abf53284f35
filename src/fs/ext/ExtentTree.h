#pragma once
// ext4 extent trees. Every node starts with a 12-byte header, followed by
// 12-byte entries: index entries (first logical block, child node block) in
// inner nodes, extents (first logical block, length, first volume block) in
// leaves. The root lies in the inode's i_block.
//
//   header: 0x0 magic F30A  0x2 entries  0x4 capacity  0x6 depth (0: leaf)
//   index:  0x0 logical     0x4 child (low 32)   0x8 child (high 16)
//   extent: 0x0 logical     0x4 length (above 32768: unwritten, length - 32768)
//           0x6 start (high 16)   0x8 start (low 32)

#include <cstdint>
#include <optional>

#include "fs/ext/FileMap.h"
#include "util/Bytes.h"

namespace dravik::ext {

class BlockReader;

constexpr std::uint16_t kExtentMagic = 0xF30A;
// The deepest tree the kernel builds is 5 levels below the root.
constexpr std::uint16_t kMaxExtentDepth = 5;

// Whether the node's header is sound for a node of nodeSize bytes: its
// magic, entries within its capacity and the capacity within the node.
bool ExtentHeaderSound(Bytes node, std::size_t nodeSize);

// Maps the tree whose root is the inode's i_block. Unwritten extents stay
// holes. A node that does not read marks the map damaged and is passed over;
// a child must be one level below its parent, so the walk always ends. The
// nodes below the root are read through readNode. With the inode's checksum
// seed (metadata_csum), a node block whose checksum fails is still walked and
// marks the map's checksumFails.
FileMap MapExtents(const BlockReader& blocks, const MapBlockReader& readNode, Bytes root,
                   std::optional<std::uint32_t> inodeSeed = std::nullopt);

}  // namespace dravik::ext
