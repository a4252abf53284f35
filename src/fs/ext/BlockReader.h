#pragma once
// Reads whole blocks of an ext volume, refusing blocks past its end.

#include <cstdint>
#include <span>

namespace dravik {
class SectorReader;
}

namespace dravik::ext {

class BlockReader {
 public:
  BlockReader(const SectorReader& reader, std::uint64_t start, std::uint32_t blockSize, std::uint64_t blocksCount)
      : reader_(&reader), start_(start), blockSize_(blockSize), blocksCount_(blocksCount) {}

  // Reads block into buffer (blockSize bytes); false for a block past the
  // volume's end or one the image could not give.
  bool Read(std::uint64_t block, std::span<std::uint8_t> buffer) const;
  bool Contains(std::uint64_t block, std::uint64_t count = 1) const {
    return block < blocksCount_ && count <= blocksCount_ - block;
  }
  std::uint64_t SectorOf(std::uint64_t block) const { return start_ + block * (blockSize_ / 512); }
  std::uint32_t BlockSize() const { return blockSize_; }
  std::uint64_t BlocksCount() const { return blocksCount_; }
  const SectorReader& Sectors() const { return *reader_; }

 private:
  const SectorReader* reader_;
  std::uint64_t start_;
  std::uint32_t blockSize_;
  std::uint64_t blocksCount_;
};

}  // namespace dravik::ext
