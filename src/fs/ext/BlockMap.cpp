#include "fs/ext/BlockMap.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "fs/ext/BlockReader.h"

namespace dravik::ext {

namespace {

constexpr int kDirectBlocks = 12;

class BlockMapWalk {
 public:
  BlockMapWalk(const BlockReader& blocks, const MapBlockReader& readIndirect, std::uint64_t logicalBlocks,
               FileMap& map)
      : blocks_(blocks), readIndirect_(readIndirect), perBlock_(blocks.BlockSize() / 4), end_(logicalBlocks),
        map_(map) {}

  // One block number at logical block next_ (level 0), or an indirect block
  // of the given level covering perBlock_^level logical blocks from next_.
  void Take(std::uint32_t number, int level) {
    std::uint64_t span = 1;
    for (int i = 0; i < level; ++i) span *= perBlock_;
    if (next_ >= end_) return;
    if (number == 0) {
      next_ += span;
      return;
    }
    if (!blocks_.Contains(number)) {
      map_.Damage("block number " + std::to_string(number) + " past the volume's end");
      next_ += span;
      return;
    }
    if (level == 0) {
      map_.Add(next_++, number, 1);
      return;
    }
    // An indirect block named twice would be walked again and again.
    if (!walkedIndirect_.insert(number).second) {
      map_.Damage("indirect block " + std::to_string(number) + " named twice");
      next_ += span;
      return;
    }
    std::vector<std::uint8_t> block(blocks_.BlockSize());
    map_.mapBlocks.push_back(number);
    if (!readIndirect_(number, block)) {
      map_.Damage("indirect block " + std::to_string(number) + " does not read");
      next_ += span;
      return;
    }
    for (std::uint64_t i = 0; i < perBlock_ && next_ < end_; ++i) Take(le32(block, i * 4), level - 1);
  }

 private:
  const BlockReader& blocks_;
  const MapBlockReader& readIndirect_;
  std::uint64_t perBlock_;
  std::uint64_t end_;
  FileMap& map_;
  std::uint64_t next_ = 0;
  std::unordered_set<std::uint32_t> walkedIndirect_;
};

}  // namespace

FileMap MapBlocks(const BlockReader& blocks, const MapBlockReader& readIndirect, Bytes blockArray,
                  std::uint64_t logicalBlocks) {
  FileMap map;
  BlockMapWalk walk(blocks, readIndirect, logicalBlocks, map);
  for (int i = 0; i < kDirectBlocks; ++i) walk.Take(le32(blockArray, static_cast<std::size_t>(i) * 4), 0);
  for (int level = 1; level <= 3; ++level)
    walk.Take(le32(blockArray, static_cast<std::size_t>(kDirectBlocks + level - 1) * 4), level);
  return map;
}

}  // namespace dravik::ext
