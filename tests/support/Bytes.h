#pragma once
// Integers of any width in a byte buffer, little- or big-endian: the one byte view of the writers and builders of test
// images.

#include <cstdint>
#include <vector>

namespace dravik::test {

using Bytes = std::vector<std::uint8_t>;

// width bytes at at (big: most significant first); bytes past the end read as 0.
template <typename C>
std::uint64_t GetInt(const C& b, std::size_t at, std::size_t width, bool big = false) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t k = big ? at + i : at + width - 1 - i;
    v = (v << 8) | (k < b.size() ? b[k] : 0);
  }
  return v;
}

// Writes v into width bytes (zeros beyond its 8), growing a vector when needed.
template <typename C>
void PutInt(C& b, std::size_t at, std::uint64_t v, std::size_t width, bool big = false) {
  if constexpr (requires { b.resize(0); })
    if (b.size() < at + width) b.resize(at + width);
  for (std::size_t i = 0; i < width; ++i)
    b[big ? at + width - 1 - i : at + i] = static_cast<std::uint8_t>(i < 8 ? v >> (8 * i) : 0);
}

}  // namespace dravik::test
