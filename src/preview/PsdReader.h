#pragma once
// Photoshop documents (".psd", and the large-document variant ".psb"): the
// merged picture stored after the layers, decoded to 8-bit RGBA. Layers,
// masks and image resources are skipped; every writer stores the merged
// picture for readers that know nothing of layers.
//
// Layout, all big-endian:
//   header             26 bytes: "8BPS", version, 6 reserved, channels,
//                      height, width, depth, colour mode
//   colour-mode data   u32 length, then the bytes (the palette of indexed
//   pictures) image resources    u32 length, then "8BIM" blocks layers and
//   masks   u32 length (u64 in version 2), then the bytes image data u16
//   compression (0 raw, 1 PackBits), then one plane per
//                      channel; PackBits planes follow a table of the
//                      compressed length of every row of every channel
//                      (u16 each, u32 in version 2)

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/Bytes.h"

namespace dravik::preview {

// Largest side accepted, and the most pixels a picture may have.
inline constexpr std::uint32_t kPsdMaxSide = 30000;
inline constexpr std::uint64_t kPsdMaxPixels = std::uint64_t{32} << 20;

struct PsdPicture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  // width * height pixels of R, G, B, A, rows top to bottom.
  std::vector<std::uint8_t> rgba;
};

struct PsdRead {
  std::optional<PsdPicture> picture;
  // Why there is no picture.
  std::string error;
};

PsdRead ReadPsd(Bytes file);

}  // namespace dravik::preview
