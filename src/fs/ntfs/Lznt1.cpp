#include "fs/ntfs/Lznt1.h"

#include <algorithm>
#include <cstring>

namespace dravik::ntfs {

namespace {

constexpr std::size_t kChunkSize = 4096;

// Decompresses one compressed chunk; returns the bytes produced.
std::size_t DecompressChunk(Bytes in, std::span<std::uint8_t> out) {
  std::size_t i = 0;
  std::size_t o = 0;
  while (i < in.size() && o < out.size()) {
    const std::uint8_t flags = in[i++];
    for (int bit = 0; bit < 8 && i < in.size() && o < out.size(); ++bit) {
      if (!(flags & (1 << bit))) {
        out[o++] = in[i++];
        continue;
      }
      if (i + 2 > in.size()) return o;
      const std::uint16_t token = static_cast<std::uint16_t>(in[i] | (in[i + 1] << 8));
      i += 2;
      // The split between offset and length bits follows the position.
      unsigned lengthBits = 12;
      for (std::size_t p = o - 1; o > 0 && p >= 0x10; p >>= 1) --lengthBits;
      const std::size_t length = (token & ((1u << lengthBits) - 1)) + 3;
      const std::size_t offset = (token >> lengthBits) + 1u;
      if (offset > o) return o;
      for (std::size_t k = 0; k < length && o < out.size(); ++k, ++o) out[o] = out[o - offset];
    }
  }
  return o;
}

}  // namespace

std::size_t DecompressLznt1(Bytes in, std::span<std::uint8_t> out) {
  std::size_t i = 0;
  std::size_t produced = 0;
  while (i + 2 <= in.size() && produced < out.size()) {
    const std::uint16_t header = static_cast<std::uint16_t>(in[i] | (in[i + 1] << 8));
    if (header == 0) break;
    const std::size_t size = (header & 0x0FFF) + 1u;
    i += 2;
    if (i + size > in.size()) break;
    const Bytes data = in.subspan(i, size);
    const std::span<std::uint8_t> target = out.subspan(produced, std::min(kChunkSize, out.size() - produced));
    if (header & 0x8000) {
      const std::size_t made = DecompressChunk(data, target);
      // A chunk that ends early still stands for a whole chunk of output.
      std::fill(target.begin() + static_cast<std::ptrdiff_t>(made), target.end(), std::uint8_t{0});
    } else {
      std::memcpy(target.data(), data.data(), std::min(size, target.size()));
    }
    produced += target.size();
    i += size;
  }
  return produced;
}

}  // namespace dravik::ntfs
