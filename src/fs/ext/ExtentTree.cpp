#include "fs/ext/ExtentTree.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "fs/ext/BlockReader.h"
#include "fs/ext/Checksums.h"

namespace dravik::ext {

namespace {

constexpr std::size_t kHeaderSize = 12;
constexpr std::size_t kEntrySize = 12;
constexpr std::size_t kEntriesOffset = 0x2;
constexpr std::size_t kCapacityOffset = 0x4;
constexpr std::size_t kDepthOffset = 0x6;
constexpr std::size_t kLogicalOffset = 0x0;
constexpr std::size_t kChildLoOffset = 0x4;
constexpr std::size_t kChildHiOffset = 0x8;
constexpr std::size_t kLengthOffset = 0x4;
constexpr std::size_t kStartHiOffset = 0x6;
constexpr std::size_t kStartLoOffset = 0x8;
constexpr std::uint16_t kUnwrittenBase = 32768;

class ExtentWalk {
 public:
  ExtentWalk(const BlockReader& blocks, const MapBlockReader& readNode, FileMap& map,
             std::optional<std::uint32_t> inodeSeed)
      : blocks_(blocks), readNode_(readNode), map_(map), inodeSeed_(inodeSeed) {}

  void Node(Bytes node, std::size_t nodeSize, int expectedDepth) {
    if (!ExtentHeaderSound(node, nodeSize)) {
      map_.Damage("an extent node without a sound header");
      return;
    }
    const std::uint16_t depth = le16(node, kDepthOffset);
    if (depth > kMaxExtentDepth || (expectedDepth >= 0 && depth != expectedDepth)) {
      map_.Damage("an extent node at depth " + std::to_string(depth));
      return;
    }
    const std::uint16_t entries = le16(node, kEntriesOffset);
    for (std::uint16_t e = 0; e < entries; ++e) {
      const Bytes entry = Slice(node, kHeaderSize + std::size_t{e} * kEntrySize, kEntrySize);
      if (depth == 0) {
        Leaf(entry);
        continue;
      }
      const std::uint64_t child = le32(entry, kChildLoOffset) | std::uint64_t{le16(entry, kChildHiOffset)} << 32;
      // A node named twice would make the walk read it again and again.
      if (!visited_.insert(child).second) {
        map_.Damage("extent node " + std::to_string(child) + " named twice");
        continue;
      }
      std::vector<std::uint8_t> block(blocks_.BlockSize());
      map_.mapBlocks.push_back(child);
      if (!readNode_(child, block)) {
        map_.Damage("an extent node at block " + std::to_string(child) + " that does not read");
        continue;
      }
      if (inodeSeed_ && ExtentHeaderSound(block, block.size()) && !ExtentBlockChecksumHolds(*inodeSeed_, block))
        map_.FailChecksum("the extent node at block " + std::to_string(child) + " fails its checksum");
      Node(block, block.size(), depth - 1);
    }
  }

 private:
  void Leaf(Bytes extent) {
    const std::uint32_t logical = le32(extent, kLogicalOffset);
    const std::uint16_t length = le16(extent, kLengthOffset);
    const std::uint64_t start = le32(extent, kStartLoOffset) | std::uint64_t{le16(extent, kStartHiOffset)} << 32;
    if (length > kUnwrittenBase) return;  // allocated but never written: reads as zeros
    if (!blocks_.Contains(start, length)) {
      map_.Damage("an extent at block " + std::to_string(start) + " past the volume's end");
      return;
    }
    map_.Add(logical, start, length);
  }

  const BlockReader& blocks_;
  const MapBlockReader& readNode_;
  FileMap& map_;
  std::optional<std::uint32_t> inodeSeed_;
  std::unordered_set<std::uint64_t> visited_;
};

}  // namespace

bool ExtentHeaderSound(Bytes node, std::size_t nodeSize) {
  if (node.size() < kHeaderSize || le16(node, 0) != kExtentMagic) return false;
  const std::uint16_t capacity = le16(node, kCapacityOffset);
  return le16(node, kEntriesOffset) <= capacity && std::size_t{capacity} <= (nodeSize - kHeaderSize) / kEntrySize;
}

FileMap MapExtents(const BlockReader& blocks, const MapBlockReader& readNode, Bytes root,
                   std::optional<std::uint32_t> inodeSeed) {
  FileMap map;
  ExtentWalk(blocks, readNode, map, inodeSeed).Node(root, root.size(), -1);
  return map;
}

}  // namespace dravik::ext
