#include "vdisk/DiskImage.h"

#include <algorithm>
#include <cstdio>

namespace dravik {

bool ImageId::IsZero() const {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

std::string ImageId::Text() const {
  // Byte positions in the order they are printed.
  static constexpr std::array<std::size_t, 16> kGuidOrder{3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string text;
  for (std::size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", bytes[guidByteOrder ? kGuidOrder[i] : i]);
    text += hex;
  }
  return text;
}

}  // namespace dravik
