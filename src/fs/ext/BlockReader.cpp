#include "fs/ext/BlockReader.h"

#include "disk/SectorReader.h"

namespace dravik::ext {

bool BlockReader::Read(std::uint64_t block, std::span<std::uint8_t> buffer) const {
  if (!Contains(block) || buffer.size() < blockSize_) return false;
  return reader_->Read(SectorOf(block), blockSize_ / kSectorSize, buffer.first(blockSize_));
}

}  // namespace dravik::ext
