#include "preview/PsdReader.h"

#include <array>

namespace dravik::preview {
namespace {

// The file header.
constexpr std::size_t kSignature = 0;
constexpr std::size_t kVersion = 4;
constexpr std::size_t kChannels = 12;
constexpr std::size_t kHeight = 14;
constexpr std::size_t kWidth = 18;
constexpr std::size_t kDepth = 22;
constexpr std::size_t kMode = 24;
constexpr std::size_t kHeaderSize = 26;

constexpr std::uint16_t kPsd = 1;
constexpr std::uint16_t kPsb = 2;
constexpr std::uint16_t kMaxChannels = 56;
constexpr std::size_t kPaletteSize = 768;  // 256 reds, then 256 greens, then 256 blues

enum class Mode : std::uint16_t { kBitmap = 0, kGray = 1, kIndexed = 2, kRgb = 3, kCmyk = 4, kDuotone = 8 };
constexpr std::uint16_t kRaw = 0;
constexpr std::uint16_t kPackBits = 1;
// One PackBits run of two bytes gives at most 128.
constexpr std::uint64_t kPackBitsMaxRatio = 64;

struct Header {
  std::uint16_t version = 0;
  std::uint16_t channels = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint16_t depth = 0;
  Mode mode = Mode::kRgb;
  // Channels the merged picture is made from: 1 for grey, 3 for RGB, 4 for
  // CMYK.
  std::uint16_t used = 0;
  std::size_t rowBytes = 0;
};

// A result or the reason there is none.
template <typename T>
struct Step {
  std::optional<T> value;
  std::string error;
};

std::uint16_t ChannelsOf(Mode mode) {
  switch (mode) {
    case Mode::kRgb: return 3;
    case Mode::kCmyk: return 4;
    default: return 1;
  }
}

bool KnownMode(std::uint16_t mode) {
  return mode == 0 || mode == 1 || mode == 2 || mode == 3 || mode == 4 || mode == 8;
}

Step<Header> ReadHeader(Bytes file) {
  if (!HasAscii(file, kSignature, "8BPS")) return {{}, "not a Photoshop document"};
  if (file.size() < kHeaderSize) return {{}, "the header is cut short"};
  Header h;
  h.version = be16(file, kVersion);
  h.channels = be16(file, kChannels);
  h.height = be32(file, kHeight);
  h.width = be32(file, kWidth);
  h.depth = be16(file, kDepth);
  const std::uint16_t mode = be16(file, kMode);
  if (h.version != kPsd && h.version != kPsb) return {{}, "unknown version"};
  if (!KnownMode(mode)) return {{}, "colour mode not shown (Lab or multichannel)"};
  h.mode = static_cast<Mode>(mode);
  if (h.channels < 1 || h.channels > kMaxChannels) return {{}, "impossible channel count"};
  if (h.width < 1 || h.height < 1 || h.width > kPsdMaxSide || h.height > kPsdMaxSide)
    return {{}, "picture size out of range"};
  if (std::uint64_t{h.width} * h.height > kPsdMaxPixels) return {{}, "too many pixels"};
  const bool bitmap = h.mode == Mode::kBitmap;
  if (bitmap ? h.depth != 1 : h.depth != 8 && h.depth != 16) return {{}, "bit depth not shown"};
  h.used = ChannelsOf(h.mode);
  if (h.channels < h.used) return {{}, "fewer channels than the colour mode needs"};
  h.rowBytes = bitmap ? (std::size_t{h.width} + 7) / 8 : std::size_t{h.width} * (h.depth / 8u);
  return {h, {}};
}

// Where the section of the length field at offset ends, when it lies in the
// file.
std::optional<std::size_t> SkipSection(Bytes file, std::size_t offset, std::size_t lengthBytes) {
  if (offset > file.size() || file.size() - offset < lengthBytes) return std::nullopt;
  const std::uint64_t length = lengthBytes == 8 ? be64(file, offset) : be32(file, offset);
  const std::size_t body = offset + lengthBytes;
  if (length > file.size() - body) return std::nullopt;
  return body + static_cast<std::size_t>(length);
}

// Expands one PackBits row; false unless it gives exactly the row's bytes.
bool UnpackRow(Bytes in, std::vector<std::uint8_t>& row) {
  std::size_t out = 0;
  std::size_t i = 0;
  while (i < in.size() && out < row.size()) {
    const int n = static_cast<std::int8_t>(in[i++]);
    if (n >= 0) {
      const auto count = static_cast<std::size_t>(n) + 1;
      if (count > in.size() - i || count > row.size() - out) return false;
      std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(i), count, row.begin() + static_cast<std::ptrdiff_t>(out));
      i += count;
      out += count;
    } else if (n != -128) {
      const auto count = static_cast<std::size_t>(1 - n);
      if (i >= in.size() || count > row.size() - out) return false;
      std::fill_n(row.begin() + static_cast<std::ptrdiff_t>(out), count, in[i++]);
      out += count;
    }
  }
  return out == row.size();
}

// Eight-bit samples of one row: 16-bit ones scaled with rounding, bitmap bits
// as black (set) or white.
void StoreRow(const Header& h, const std::vector<std::uint8_t>& row, std::uint8_t* plane) {
  for (std::size_t x = 0; x < h.width; ++x) {
    if (h.depth == 1) {
      plane[x] = (row[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
    } else if (h.depth == 16) {
      const std::uint32_t wide = (std::uint32_t{row[x * 2]} << 8) | row[x * 2 + 1];
      plane[x] = static_cast<std::uint8_t>((wide * 255 + 32767) / 65535);
    } else {
      plane[x] = row[x];
    }
  }
}

using Planes = std::vector<std::vector<std::uint8_t>>;

Step<Planes> ReadRaw(const Header& h, Bytes data) {
  const std::uint64_t planeBytes = std::uint64_t{h.height} * h.rowBytes;
  if (planeBytes * h.used > data.size()) return {{}, "the picture data is cut short"};
  Planes planes(h.used, std::vector<std::uint8_t>(std::size_t{h.width} * h.height));
  std::vector<std::uint8_t> row(h.rowBytes);
  std::size_t at = 0;
  for (auto& plane : planes) {
    for (std::size_t y = 0; y < h.height; ++y, at += h.rowBytes) {
      const Bytes raw = data.subspan(at, h.rowBytes);
      std::copy(raw.begin(), raw.end(), row.begin());
      StoreRow(h, row, plane.data() + y * h.width);
    }
  }
  return {std::move(planes), {}};
}

Step<Planes> ReadPackBits(const Header& h, Bytes data) {
  const std::size_t countBytes = h.version == kPsb ? 4 : 2;
  const std::size_t rows = std::size_t{h.channels} * h.height;
  if (rows * countBytes > data.size()) return {{}, "the row table is cut short"};
  const std::size_t usedRows = std::size_t{h.used} * h.height;
  // Every row must fit in the file and could expand to its width, checked
  // before the planes are allocated.
  std::uint64_t total = 0;
  for (std::size_t r = 0; r < usedRows; ++r) {
    const std::uint64_t length = countBytes == 4 ? be32(data, r * 4) : be16(data, r * 2);
    if (length * kPackBitsMaxRatio < h.rowBytes) return {{}, "a row is too short for its width"};
    total += length;
  }
  std::size_t at = rows * countBytes;
  if (total > data.size() - at) return {{}, "the picture data is cut short"};
  Planes planes(h.used, std::vector<std::uint8_t>(std::size_t{h.width} * h.height));
  std::vector<std::uint8_t> row(h.rowBytes);
  std::size_t r = 0;
  for (auto& plane : planes) {
    for (std::size_t y = 0; y < h.height; ++y, ++r) {
      const std::size_t length = countBytes == 4 ? be32(data, r * 4) : be16(data, r * 2);
      if (!UnpackRow(data.subspan(at, length), row)) return {{}, "a damaged PackBits row"};
      StoreRow(h, row, plane.data() + y * h.width);
      at += length;
    }
  }
  return {std::move(planes), {}};
}

// Photoshop stores CMYK inverted: 255 is no ink.
std::array<std::uint8_t, 3> FromCmyk(std::uint8_t c, std::uint8_t m, std::uint8_t y, std::uint8_t k) {
  const auto mix = [k](std::uint8_t v) { return static_cast<std::uint8_t>((v * k + 127) / 255); };
  return {mix(c), mix(m), mix(y)};
}

std::vector<std::uint8_t> Compose(const Header& h, const Planes& planes, Bytes palette) {
  const std::size_t pixels = std::size_t{h.width} * h.height;
  std::vector<std::uint8_t> rgba(pixels * 4);
  for (std::size_t i = 0; i < pixels; ++i) {
    std::array<std::uint8_t, 3> rgb{};
    const std::uint8_t v = planes[0][i];
    switch (h.mode) {
      case Mode::kRgb: rgb = {v, planes[1][i], planes[2][i]}; break;
      case Mode::kCmyk: rgb = FromCmyk(v, planes[1][i], planes[2][i], planes[3][i]); break;
      case Mode::kIndexed: rgb = {palette[v], palette[256u + v], palette[512u + v]}; break;
      default: rgb = {v, v, v}; break;
    }
    std::copy(rgb.begin(), rgb.end(), rgba.begin() + static_cast<std::ptrdiff_t>(i * 4));
    rgba[i * 4 + 3] = 255;
  }
  return rgba;
}

}  // namespace

PsdRead ReadPsd(Bytes file) {
  const Step<Header> header = ReadHeader(file);
  if (!header.value) return {std::nullopt, header.error};
  const Header& h = *header.value;
  const Bytes palette = Slice(file, kHeaderSize + 4, be32(file, kHeaderSize));
  if (h.mode == Mode::kIndexed && palette.size() < kPaletteSize) return {std::nullopt, "the palette is missing"};
  std::optional<std::size_t> at = SkipSection(file, kHeaderSize, 4);
  if (at) at = SkipSection(file, *at, 4);
  if (at) at = SkipSection(file, *at, h.version == kPsb ? 8 : 4);
  if (!at || file.size() - *at < 2) return {std::nullopt, "a section runs past the end of the file"};
  const std::uint16_t compression = be16(file, *at);
  const Bytes data = file.subspan(*at + 2);
  const Step<Planes> planes = compression == kRaw        ? ReadRaw(h, data)
                              : compression == kPackBits ? ReadPackBits(h, data)
                                                         : Step<Planes>{{}, "compression not shown (ZIP)"};
  if (!planes.value) return {std::nullopt, planes.error};
  return {PsdPicture{h.width, h.height, Compose(h, *planes.value, palette)}, {}};
}

}  // namespace dravik::preview
