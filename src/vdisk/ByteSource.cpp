#include "vdisk/ByteSource.h"

#include <algorithm>
#include <cstring>

namespace dravik {

std::vector<std::uint8_t> ReadBlock(const ByteSource& source, std::uint64_t offset, std::size_t length, bool* ok) {
  std::vector<std::uint8_t> buffer(length);
  const bool complete = source.ReadAt(offset, buffer);
  if (ok) *ok = complete;
  return buffer;
}

bool MemorySource::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  std::size_t available = 0;
  if (offset < bytes_.size()) available = std::min(out.size(), static_cast<std::size_t>(bytes_.size() - offset));
  if (available > 0) std::memcpy(out.data(), bytes_.data() + offset, available);
  std::fill(out.begin() + static_cast<std::ptrdiff_t>(available), out.end(), std::uint8_t{0});
  return available == out.size();
}

}  // namespace dravik
