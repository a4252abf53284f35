// Where simple raster images and sound files end, each by the sizes its
// header records: TIFF by the furthest of its directories, their values and
// the strips or tiles they point to; Netpbm's binary maps by their width, height and maximum
// value; Sun raster and SGI images by their headers (and SGI's run-length
// tables); TGA by its pixels, counted through run-length packets when
// compressed, then the TGA 2.0 footer when one belongs to it; icons and cursors by their directory; PCX by decoding its runs
// for the rows its header counts, then its palette; X pixmaps by the brace
// that closes their array; AIFF by its FORM chunk; Sun audio by its data
// size; Creative Voice files by their blocks up to the terminator; YUV4MPEG
// video by its frames, each of the size its header's picture gives;
// ImageMagick's MIFF by its uncompressed direct-colour images, each a text
// header up to ":" and 0x1A, then its pixels.

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>
#include <string_view>
#include <vector>

#include "raw/FormatEnds.h"

namespace dravik {

namespace {

FileEnd Inside(Bytes b, std::uint64_t at) { return at > 0 && at <= b.size() ? FileEnd(at) : std::nullopt; }

// ---- Netpbm header: fields separated by white space, "#" comments to the
// line end; a single white-space byte ends the header.

bool SkipBlanks(Bytes b, std::size_t& at) {
  while (at < b.size()) {
    if (b[at] == '#') {
      while (at < b.size() && b[at] != '\n') ++at;
    } else if (std::isspace(b[at])) {
      ++at;
    } else {
      return true;
    }
  }
  return false;
}

std::optional<std::uint64_t> ReadNumber(Bytes b, std::size_t& at) {
  if (!SkipBlanks(b, at) || !std::isdigit(b[at])) return std::nullopt;
  std::uint64_t n = 0;
  for (std::size_t digits = 0; at < b.size() && std::isdigit(b[at]); ++at, ++digits) {
    if (digits == 9) return std::nullopt;  // no map is that large
    n = n * 10 + (b[at] - '0');
  }
  return n;
}

// "P7" headers: lines of a name and a value up to "ENDHDR".
FileEnd PamEnd(Bytes b) {
  std::uint64_t width = 0, height = 0, depth = 0, maxval = 0;
  std::size_t at = 3;
  while (at < b.size()) {
    std::size_t eol = at;
    while (eol < b.size() && b[eol] != '\n') ++eol;
    if (eol == b.size() || eol - at > 256) return std::nullopt;
    const std::string_view line(reinterpret_cast<const char*>(b.data()) + at, eol - at);
    at = eol + 1;
    if (line == "ENDHDR") {
      if (!width || !height || !depth || !maxval || maxval > 65535) return std::nullopt;
      return Inside(b, at + width * height * depth * (maxval > 255 ? 2 : 1));
    }
    const auto space = line.find(' ');
    if (space == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, space);
    std::uint64_t* field = name == "WIDTH" ? &width : name == "HEIGHT" ? &height : name == "DEPTH" ? &depth
                         : name == "MAXVAL" ? &maxval : nullptr;
    if (!field) continue;
    std::uint64_t n = 0;
    const std::string_view value = line.substr(space + 1);
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (error != std::errc() || end != value.data() + value.size() || n > 1u << 20) return std::nullopt;
    *field = n;
  }
  return std::nullopt;
}

// ---- PCX: a 128-byte header (bits per pixel at 3, the window xmin, ymin,
// xmax, ymax at 4, planes at 65, bytes per line and plane at 66), then each
// row's planes run-length coded (a byte with its top two bits set counts
// the next), then, for 256 colours, 0x0C and a 768-byte palette.

constexpr std::size_t kPcxHeader = 128;
constexpr std::size_t kTgaHeader = 18;
constexpr std::size_t kPcxPalette = 769;

// ---- SGI: a 512-byte header (magic 0x01DA, storage at 2: 0 verbatim, 1
// run-length; bytes per channel at 3; x, y and z sizes at 6, 8 and 10),
// then the channels' rows, or for run-length images a table of y*z row
// offsets and one of their lengths, then the rows.

constexpr std::size_t kSgiHeader = 512;

// ---- Sun raster: a 32-byte header of eight big-endian words (magic,
// width, height, depth, length of the image data, type, colour map type,
// colour map length), the colour map, then the image data. Old files leave
// the length 0: rows are then padded to 16 bits.

constexpr std::size_t kSunHeader = 32;

// ---- Creative Voice: "Creative Voice File", 0x1A, the header's length at
// 20, then blocks of a type byte and a 24-bit length, up to a type-0 block,
// which is the type byte alone.

constexpr std::size_t kVocHeaderLength = 20;

// ---- TIFF: "II" (little-endian) or "MM" (big-endian), 42, the offset of
// the first directory; a directory is a count of 12-byte entries (tag,
// type, count, then the value or, when it does not fit in 4 bytes, its
// offset) and the offset of the next directory, 0 after the last.

constexpr std::uint16_t kStripOffsets = 273, kStripByteCounts = 279, kTileOffsets = 324, kTileByteCounts = 325;
constexpr std::uint16_t kSubDirectories = 330, kExifDirectory = 34665;
constexpr std::size_t kMostDirectories = 64;

std::uint64_t TiffTypeSize(std::uint16_t type) {
  switch (type) {
    case 1: case 2: case 6: case 7: return 1;
    case 3: case 8: return 2;
    case 4: case 9: case 11: case 13: return 4;
    case 5: case 10: case 12: return 8;
    default: return 0;
  }
}

struct TiffReader {
  Bytes b;
  bool little = true;
  std::uint64_t end = 8;
  std::uint16_t U16(std::uint64_t at) const { return little ? le16(b, at) : be16(b, at); }
  std::uint32_t U32(std::uint64_t at) const { return little ? le32(b, at) : be32(b, at); }
  // The values of an entry (SHORT or LONG), where they lie within the bytes.
  std::optional<std::vector<std::uint64_t>> Values(std::uint64_t entry) const {
    const std::uint16_t type = U16(entry + 2);
    const std::uint64_t count = U32(entry + 4), size = TiffTypeSize(type);
    if ((type != 3 && type != 4 && type != 13) || count > 1u << 20) return std::nullopt;
    const std::uint64_t at = count * size <= 4 ? entry + 8 : U32(entry + 8);
    if (at + count * size > b.size()) return std::nullopt;
    std::vector<std::uint64_t> values;
    for (std::uint64_t i = 0; i < count; ++i) values.push_back(size == 2 ? U16(at + i * 2) : U32(at + i * 4));
    return values;
  }
};

// The furthest byte of the directories reached from the first one.
FileEnd TiffStructuresEnd(TiffReader& r, std::uint64_t first) {
  std::vector<std::uint64_t> pending = {first};
  std::set<std::uint64_t> seen;
  while (!pending.empty()) {
    const std::uint64_t at = pending.back();
    pending.pop_back();
    if (at == 0) continue;
    if (at < 8 || !seen.insert(at).second || seen.size() > kMostDirectories) return std::nullopt;
    const std::uint64_t count = r.U16(at);
    const std::uint64_t next = at + 2 + count * 12;
    if (count == 0 || next + 4 > r.b.size()) return std::nullopt;
    r.end = std::max(r.end, next + 4);
    std::vector<std::uint64_t> offsets[2], counts[2];
    for (std::uint64_t e = at + 2; e < next; e += 12) {
      const std::uint16_t tag = r.U16(e), type = r.U16(e + 2);
      const std::uint64_t size = TiffTypeSize(type) * r.U32(e + 4);
      if (TiffTypeSize(type) == 0) continue;  // a type this reader does not know: its value is skipped
      if (size > 4) r.end = std::max(r.end, std::uint64_t{r.U32(e + 8)} + size);
      if (tag == kStripOffsets || tag == kStripByteCounts || tag == kTileOffsets || tag == kTileByteCounts ||
          tag == kSubDirectories || tag == kExifDirectory) {
        auto values = r.Values(e);
        if (!values) return std::nullopt;
        if (tag == kSubDirectories || tag == kExifDirectory)
          pending.insert(pending.end(), values->begin(), values->end());
        else if (tag == kStripOffsets) offsets[0] = std::move(*values);
        else if (tag == kStripByteCounts) counts[0] = std::move(*values);
        else if (tag == kTileOffsets) offsets[1] = std::move(*values);
        else counts[1] = std::move(*values);
      }
    }
    for (int k = 0; k < 2; ++k) {
      if (offsets[k].size() != counts[k].size()) return std::nullopt;
      for (std::size_t i = 0; i < offsets[k].size(); ++i) r.end = std::max(r.end, offsets[k][i] + counts[k][i]);
    }
    pending.push_back(r.U32(next));
  }
  return Inside(r.b, r.end);
}

// ---- YUV4MPEG: "YUV4MPEG2", space-separated parameters (W width, H
// height, C chroma subsampling, 4:2:0 when missing) up to a line end, then
// frames, each "FRAME", parameters, a line end and the picture.

// The parameter of a header line that begins with the letter, without it.
std::optional<std::string_view> Y4mParameter(std::string_view line, char letter) {
  for (std::size_t at = 0; at < line.size();) {
    const std::size_t end = std::min(line.find(' ', at), line.size());
    if (line[at] == letter) return line.substr(at + 1, end - at - 1);
    at = end + 1;
  }
  return std::nullopt;
}

// Bytes per picture for the chroma name, in quarters of a byte per pixel.
std::optional<std::uint64_t> Y4mQuarters(std::string_view chroma) {
  if (chroma.empty() || chroma.substr(0, 3) == "420") return 6;
  if (chroma == "422") return 8;
  if (chroma == "444") return 12;
  if (chroma == "444alpha") return 16;
  if (chroma == "411") return 6;
  if (chroma == "mono") return 4;
  return std::nullopt;  // deeper samples, or a name this reader does not know
}

// ---- MIFF: a header of "key=value" words (a value may be a {...} group),
// closed by ":" and 0x1A, then the pixels: for a direct-colour image
// without compression, columns by rows by channels (1 gray, 4 CMYK, else
// 3, one more with alpha) by depth/8 bytes. Images may follow one another.

struct MiffHeader {
  std::size_t pixels = 0;  // where the pixels begin
  std::uint64_t size = 0;  // their bytes; 0 when the header leaves them unknown
};

std::optional<MiffHeader> ReadMiffHeader(Bytes b, std::size_t at) {
  const std::string_view text(reinterpret_cast<const char*>(b.data()), b.size());
  if (text.substr(at, 14) != "id=ImageMagick") return std::nullopt;
  std::uint64_t columns = 0, rows = 0, depth = 8, channels = 3;
  bool direct = false, plain = true, alpha = false;
  for (std::size_t i = at; i < text.size() && i - at < 64 * 1024;) {
    const char c = text[i];
    if (c == ':' && i + 1 < text.size() && text[i + 1] == '\x1A') {
      MiffHeader header{i + 2, 0};
      if (direct && plain && columns && rows && (depth == 8 || depth == 16 || depth == 32))
        header.size = columns * rows * (channels + (alpha ? 1 : 0)) * (depth / 8);
      return header;
    }
    if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
      continue;
    }
    const std::size_t equals = text.find('=', i);
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string_view key = text.substr(i, equals - i);
    std::size_t end = equals + 1;
    if (end < text.size() && text[end] == '{') {
      end = text.find('}', end);
      if (end == std::string_view::npos) return std::nullopt;
      ++end;
    } else {
      while (end < text.size() && !std::isspace(static_cast<unsigned char>(text[end]))) ++end;
    }
    const std::string_view value = text.substr(equals + 1, end - equals - 1);
    std::uint64_t n = 0;
    const bool number = std::from_chars(value.data(), value.data() + value.size(), n).ec == std::errc();
    if (key == "columns" && number && n <= 1u << 20) columns = n;
    else if (key == "rows" && number && n <= 1u << 20) rows = n;
    else if (key == "depth" && number) depth = n;
    else if (key == "class") direct = value == "DirectClass";
    else if (key == "compression") plain = value == "None";
    else if (key == "colorspace") channels = value == "Gray" ? 1 : value == "CMYK" ? 4 : 3;
    else if (key == "matte" || key == "alpha-trait") alpha = value == "True" || value == "Blend";
    i = end;
  }
  return std::nullopt;
}

}  // namespace

FileEnd MiffEnd(Bytes b) {
  std::size_t at = 0;
  while (const auto header = ReadMiffHeader(b, at)) {
    if (header->size == 0) return std::nullopt;
    if (header->pixels + header->size > b.size()) return std::nullopt;
    at = header->pixels + header->size;
  }
  return at > 0 ? Inside(b, at) : std::nullopt;
}

FileEnd Y4mEnd(Bytes b) {
  const std::string_view text(reinterpret_cast<const char*>(b.data()), b.size());
  const std::size_t eol = text.find('\n');
  if (!text.starts_with("YUV4MPEG2 ") || eol == std::string_view::npos || eol > 1024) return std::nullopt;
  const std::string_view header = text.substr(10, eol - 10);
  const auto w = Y4mParameter(header, 'W'), h = Y4mParameter(header, 'H');
  const auto quarters = Y4mQuarters(Y4mParameter(header, 'C').value_or(""));
  std::uint64_t width = 0, height = 0;
  if (!w || !h || !quarters || std::from_chars(w->data(), w->data() + w->size(), width).ec != std::errc() ||
      std::from_chars(h->data(), h->data() + h->size(), height).ec != std::errc() || width == 0 || height == 0 ||
      width > 1u << 16 || height > 1u << 16)
    return std::nullopt;
  const std::uint64_t picture = (width * height * *quarters + 3) / 4;
  std::uint64_t at = eol + 1;
  std::uint64_t frames = 0;
  while (text.substr(at, 5) == "FRAME") {
    const std::size_t line = text.find('\n', at);
    if (line == std::string_view::npos || line - at > 1024) return std::nullopt;
    if (line + 1 + picture > b.size()) return std::nullopt;
    at = line + 1 + picture;
    ++frames;
  }
  return frames > 0 ? Inside(b, at) : std::nullopt;
}

FileEnd TiffEnd(Bytes b) {
  TiffReader r{b};
  if (HasAscii(b, 0, "MM")) r.little = false;
  else if (!HasAscii(b, 0, "II")) return std::nullopt;
  if (r.U16(2) != 42) return std::nullopt;  // 43 is BigTIFF, whose offsets are 8 bytes
  return TiffStructuresEnd(r, r.U32(4));
}

FileEnd NetpbmEnd(Bytes b) {
  if (b.size() < 3 || b[0] != 'P') return std::nullopt;
  const char kind = static_cast<char>(b[1]);
  if (kind == '7') return PamEnd(b);
  if (kind < '4' || kind > '6') return std::nullopt;  // P1 to P3 are text with no recorded end
  std::size_t at = 2;
  const auto width = ReadNumber(b, at);
  const auto height = ReadNumber(b, at);
  if (!width || !height || !*width || !*height) return std::nullopt;
  std::uint64_t row = (*width + 7) / 8;
  if (kind != '4') {
    const auto maxval = ReadNumber(b, at);
    if (!maxval || !*maxval || *maxval > 65535) return std::nullopt;
    row = *width * (kind == '6' ? 3 : 1) * (*maxval > 255 ? 2 : 1);
  }
  if (at >= b.size() || !std::isspace(b[at])) return std::nullopt;
  return Inside(b, at + 1 + row * *height);
}

FileEnd PcxEnd(Bytes b) {
  if (b.size() < kPcxHeader) return std::nullopt;
  const std::uint16_t xmin = le16(b, 4), ymin = le16(b, 6), xmax = le16(b, 8), ymax = le16(b, 10);
  const std::uint64_t planes = b[65], perLine = le16(b, 66);
  if (xmax < xmin || ymax < ymin || planes == 0 || planes > 4 || perLine == 0) return std::nullopt;
  // Runs may cross rows, so the whole image is one count of bytes.
  std::uint64_t left = (std::uint64_t{ymax} - ymin + 1) * planes * perLine;
  std::size_t at = kPcxHeader;
  while (left > 0) {
    if (at >= b.size()) return std::nullopt;
    std::uint64_t count = 1;
    if ((b[at] & 0xC0) == 0xC0) {
      count = b[at] & 0x3F;
      ++at;
    }
    ++at;
    left -= std::min(count, left);
  }
  if (b[3] == 8 && planes == 1 && at < b.size() && b[at] == 0x0C) at += kPcxPalette;
  return Inside(b, at);
}

// A TGA 2.0 footer: the extension area's and developer directory's offsets,
// then this signature; the extension area begins with its size, 495.
constexpr std::string_view kTgaFooterMark{"TRUEVISION-XFILE.\0", 18};
constexpr std::size_t kTgaFooter = 26;
constexpr std::uint16_t kTgaExtensionSize = 495;
// How far past the pixels a footer is looked for: the extension area, a
// postage stamp of 64 by 64 and the tables these point to fit well within.
constexpr std::size_t kTgaFooterReach = 1 << 20;

FileEnd TgaEnd(Bytes b) {
  if (b.size() < kTgaHeader) return std::nullopt;
  const std::uint8_t imageType = b[2];
  const std::uint64_t mapLength = b[1] == 1 ? le16(b, 5) : 0;
  const std::uint64_t width = le16(b, 12), height = le16(b, 14);
  const std::uint64_t pixelBytes = (std::uint64_t{b[16]} + 7) / 8;
  if (width == 0 || height == 0 || pixelBytes == 0 || pixelBytes > 4) return std::nullopt;
  std::uint64_t at = kTgaHeader + b[0] + mapLength * ((std::uint64_t{b[7]} + 7) / 8);
  const std::uint64_t pixels = width * height;
  if ((imageType & 0x08) == 0) {
    at += pixels * pixelBytes;
  } else {
    // Run-length packets: a count byte, then one pixel repeated or count raw ones.
    for (std::uint64_t done = 0; done < pixels;) {
      if (at >= b.size()) return std::nullopt;
      const std::uint8_t packet = b[at++];
      const std::uint64_t count = (packet & 0x7F) + 1u;
      at += (packet & 0x80) ? pixelBytes : count * pixelBytes;
      done += count;
    }
  }
  if (at > b.size()) return std::nullopt;
  // A footer counts when it follows the pixels at once, or when what it
  // points to lies between the pixels and itself and its extension area
  // says its size: a footer further on may be another image's.
  const std::string_view rest(reinterpret_cast<const char*>(b.data()) + at,
                              std::min<std::size_t>(b.size() - at, kTgaFooterReach));
  const std::size_t mark = rest.find(kTgaFooterMark);
  if (mark == std::string_view::npos || mark < kTgaFooter - kTgaFooterMark.size()) return Inside(b, at);
  const std::uint64_t footer = at + mark - (kTgaFooter - kTgaFooterMark.size());
  const std::uint64_t extension = le32(b, footer), developer = le32(b, footer + 4);
  const auto between = [&](std::uint64_t offset) { return offset >= at && offset < footer; };
  const bool ours = footer == at || (between(extension) && le16(b, extension) == kTgaExtensionSize &&
                                     (developer == 0 || between(developer)));
  return Inside(b, ours ? footer + kTgaFooter : at);
}

FileEnd SgiEnd(Bytes b) {
  if (b.size() < kSgiHeader) return std::nullopt;
  const std::uint64_t storage = b[2], perChannel = b[3];
  const std::uint64_t x = be16(b, 6), y = be16(b, 8), z = std::max<std::uint16_t>(be16(b, 10), 1);
  if (storage > 1 || (perChannel != 1 && perChannel != 2) || x == 0 || y == 0) return std::nullopt;
  if (storage == 0) return Inside(b, kSgiHeader + x * y * z * perChannel);
  const std::uint64_t rows = y * z;
  const std::uint64_t tables = kSgiHeader + rows * 8;
  if (tables > b.size()) return std::nullopt;
  std::uint64_t end = tables;
  for (std::uint64_t i = 0; i < rows; ++i) {
    const std::uint64_t start = be32(b, kSgiHeader + i * 4), length = be32(b, kSgiHeader + (rows + i) * 4);
    if (start < tables) return std::nullopt;
    end = std::max(end, start + length);
  }
  return Inside(b, end);
}

FileEnd SunRasterEnd(Bytes b) {
  if (b.size() < kSunHeader) return std::nullopt;
  const std::uint64_t width = be32(b, 4), height = be32(b, 8), depth = be32(b, 12);
  std::uint64_t length = be32(b, 16);
  const std::uint64_t type = be32(b, 20), mapLength = be32(b, 28);
  if (width == 0 || height == 0 || width > 1u << 16 || height > 1u << 16 || depth == 0 || depth > 32)
    return std::nullopt;
  if (length == 0) {
    if (type == 2) return std::nullopt;  // run-length data of unrecorded length
    length = (width * depth + 15) / 16 * 2 * height;
  }
  return Inside(b, kSunHeader + mapLength + length);
}

FileEnd IconEnd(Bytes b) {
  const std::uint64_t count = le16(b, 4);
  if (count == 0 || b.size() < 6 + count * 16) return std::nullopt;
  std::uint64_t end = 6 + count * 16;
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t size = le32(b, 6 + i * 16 + 8), offset = le32(b, 6 + i * 16 + 12);
    if (size == 0 || offset < 6 + count * 16) return std::nullopt;
    end = std::max(end, offset + size);
  }
  return Inside(b, end);
}

// The "};" that closes the array, outside strings and comments.
FileEnd XpmEnd(Bytes b) {
  bool inString = false;
  for (std::size_t at = 0; at + 1 < b.size(); ++at) {
    const std::uint8_t c = b[at];
    if (inString) {
      if (c == '\\') ++at;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '/' && b[at + 1] == '*') {
      const std::string_view text(reinterpret_cast<const char*>(b.data()), b.size());
      const auto close = text.find("*/", at + 2);
      if (close == std::string_view::npos) return std::nullopt;
      at = close + 1;
    } else if (c == '}' && b[at + 1] == ';') {
      std::size_t end = at + 2;
      if (end < b.size() && b[end] == '\r') ++end;
      if (end < b.size() && b[end] == '\n') ++end;
      return end;
    } else if (c == 0) {
      return std::nullopt;  // not text
    }
  }
  return std::nullopt;
}

FileEnd AiffEnd(Bytes b) {
  if (!HasAscii(b, 8, "AIFF") && !HasAscii(b, 8, "AIFC")) return std::nullopt;
  return Inside(b, std::uint64_t{be32(b, 4)} + 8);
}

FileEnd SunAudioEnd(Bytes b) {
  const std::uint64_t offset = be32(b, 4), size = be32(b, 8);
  if (offset < 24 || size == 0xFFFFFFFF) return std::nullopt;  // all ones: size not recorded
  return Inside(b, offset + size);
}

namespace {

// Blocks from at up to the terminator. SoX records a type-9 sound block's
// length 8 bytes short (it counts 4 bytes of the block's 12-byte
// sub-header), so the walk goes on from either end of such a block, the
// recorded one first.
FileEnd VocBlocksEnd(Bytes b, std::uint64_t at, int tries) {
  while (at < b.size()) {
    const std::uint8_t type = b[at];
    if (type == 0) return at + 1;
    if (type > 9 || at + 4 > b.size()) return std::nullopt;  // no such block
    const std::uint64_t next = at + 4 + (std::uint64_t{le16(b, at + 1)} | std::uint64_t{b[at + 3]} << 16);
    if (type == 9 && tries > 0) {
      if (const auto end = VocBlocksEnd(b, next, tries - 1)) return end;
      return VocBlocksEnd(b, next + 8, tries - 1);
    }
    at = next;
  }
  return std::nullopt;
}

}  // namespace

FileEnd VocEnd(Bytes b) {
  const std::uint64_t at = le16(b, kVocHeaderLength);
  if (at < 26) return std::nullopt;
  return VocBlocksEnd(b, at, 8);
}

}  // namespace dravik
