#pragma once
// Bounds-checked loads of little- and big-endian integers from byte buffers.
// A load that would reach past the end of the buffer yields 0, so a damaged
// structure can never make a reader step outside the bytes it was given.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace dravik {

using Bytes = std::span<const std::uint8_t>;

namespace detail {

template <typename T, std::size_t N>
constexpr T LoadLittle(Bytes bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < N) return 0;
  T value = 0;
  for (std::size_t i = N; i-- > 0;) value = static_cast<T>((value << 8) | bytes[offset + i]);
  return value;
}

template <typename T, std::size_t N>
constexpr T LoadBig(Bytes bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < N) return 0;
  T value = 0;
  for (std::size_t i = 0; i < N; ++i) value = static_cast<T>((value << 8) | bytes[offset + i]);
  return value;
}

}  // namespace detail

constexpr std::uint8_t u8(Bytes b, std::size_t off) { return detail::LoadLittle<std::uint8_t, 1>(b, off); }
constexpr std::uint16_t le16(Bytes b, std::size_t off) { return detail::LoadLittle<std::uint16_t, 2>(b, off); }
constexpr std::uint32_t le32(Bytes b, std::size_t off) { return detail::LoadLittle<std::uint32_t, 4>(b, off); }
constexpr std::uint64_t le64(Bytes b, std::size_t off) { return detail::LoadLittle<std::uint64_t, 8>(b, off); }
constexpr std::uint16_t be16(Bytes b, std::size_t off) { return detail::LoadBig<std::uint16_t, 2>(b, off); }
constexpr std::uint32_t be32(Bytes b, std::size_t off) { return detail::LoadBig<std::uint32_t, 4>(b, off); }
constexpr std::uint64_t be64(Bytes b, std::size_t off) { return detail::LoadBig<std::uint64_t, 8>(b, off); }

// True when the bytes at offset equal the ASCII text (a cookie or signature).
constexpr bool HasAscii(Bytes b, std::size_t offset, std::string_view text) {
  if (offset > b.size() || b.size() - offset < text.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (b[offset + i] != static_cast<std::uint8_t>(text[i])) return false;
  return true;
}

// A sub-range of b, clamped to its end.
constexpr Bytes Slice(Bytes b, std::size_t offset, std::size_t length) {
  if (offset >= b.size()) return {};
  return b.subspan(offset, std::min(length, b.size() - offset));
}

}  // namespace dravik
