// Where Photoshop and JPEG 2000 images, dBASE tables and the text documents
// RTF, HTML and XML end: Photoshop by the lengths of its sections and of its
// image data; JPEG 2000 by its boxes and its codestream's tile-parts;
// dBASE by its header's length and its records'; RTF when
// its braces close the group it opens with; HTML after its closing html tag;
// XML after the end tag of its root element. A text's end takes the line
// end that follows it, when one does.

#include <algorithm>
#include <cctype>
#include <string_view>

#include "raw/FormatEnds.h"

namespace dravik {

namespace {

// A position that lies within the bytes; none past them or when the sum
// that made it would not fit.
FileEnd Inside(Bytes b, std::uint64_t at) { return at <= b.size() ? FileEnd(at) : std::nullopt; }

// at, then past the spaces and tabs and one line end ("\n" or "\r\n") that
// follow it; at alone when no line end follows the blanks.
std::uint64_t AfterLineEnd(Bytes b, std::uint64_t at) {
  std::uint64_t next = at;
  while (next < b.size() && (b[next] == ' ' || b[next] == '\t')) ++next;
  if (next < b.size() && b[next] == '\r') ++next;
  if (next < b.size() && b[next] == '\n') return next + 1;
  return next > at && b[next - 1] == '\r' ? next : at;
}

std::string_view Text(Bytes b) { return {reinterpret_cast<const char*>(b.data()), b.size()}; }

// ---- Photoshop: a 26-byte header (signature "8BPS", version 1, or 2 for
// the large format, channels at 12, height at 14, width at 18, bits per
// channel at 22), then three sections each behind its length (color mode
// data and image resources with a 4-byte length, layer and mask information
// with a 4-byte one, 8 bytes in the large format), then the merged image:
// its compression (0 raw, 1 run-length) and its data. Run-length data
// begins with the packed length of every row of every channel (2 bytes
// each, 4 in the large format).

constexpr std::uint64_t kPsdHeader = 26;

// ---- JPEG 2000 codestream: the start marker 0xFF4F, main header segments
// (a marker and a 16-bit length that counts itself), then tile-parts, each
// beginning with a start-of-tile segment (0xFF90) that records the
// tile-part's length from its marker at 6 (0: up to the end marker), then
// the end marker 0xFFD9. Within tile data a 0xFF is never followed by a byte
// above 0x8F, so the end marker cannot stand there.
constexpr std::uint16_t kCodestreamStart = 0xFF4F;
constexpr std::uint16_t kTileStart = 0xFF90;
constexpr std::uint16_t kCodestreamEnd = 0xFFD9;

// ---- JP2: boxes of a 32-bit length (1: a 64-bit one follows the type; 0:
// to the end of the file) and a type, the first the 12-byte signature box,
// one of them the codestream "jp2c". After the codestream only the boxes
// that may follow it are taken for more of the file.
constexpr std::string_view kAfterCodestream[] = {"jp2c", "jp2i", "xml ", "uuid", "uinf"};

}  // namespace

FileEnd J2kEnd(Bytes b) {
  if (be16(b, 0) != kCodestreamStart) return std::nullopt;
  std::uint64_t at = 2;
  // The main header.
  while (at + 4 <= b.size() && be16(b, at) != kTileStart) {
    if (b[at] != 0xFF || b[at + 1] < 0x30) return std::nullopt;
    at += 2 + std::uint64_t{be16(b, at + 2)};
  }
  // The tile-parts.
  while (at + 12 <= b.size() && be16(b, at) == kTileStart) {
    const std::uint64_t length = be32(b, at + 6);
    if (length == 0) {
      for (std::uint64_t p = at + 12; p + 2 <= b.size(); ++p)
        if (be16(b, p) == kCodestreamEnd) return p + 2;
      return std::nullopt;
    }
    if (length < 14 || length > b.size() - at) return std::nullopt;
    at += length;
  }
  return at + 2 <= b.size() && be16(b, at) == kCodestreamEnd ? FileEnd(at + 2) : std::nullopt;
}

FileEnd Jpeg2000End(Bytes b) {
  if (be32(b, 0) != 12 || !HasAscii(b, 4, "jP  ")) return std::nullopt;
  std::uint64_t at = 0;
  bool codestream = false;
  while (at + 8 <= b.size()) {
    const std::string_view type = Text(Slice(b, at + 4, 4));
    if (!std::all_of(type.begin(), type.end(), [](char c) { return c >= 0x20 && c < 0x7F; })) break;
    if (codestream && std::find(std::begin(kAfterCodestream), std::end(kAfterCodestream), type) ==
                          std::end(kAfterCodestream))
      break;
    std::uint64_t header = 8;
    std::uint64_t size = be32(b, at);
    if (size == 1) size = be64(b, at + 8), header = 16;
    if (size == 0) {
      // The last box, to the end of the file: a codestream ends itself.
      if (type != "jp2c") return std::nullopt;
      const FileEnd end = J2kEnd(b.subspan(static_cast<std::size_t>(at + header)));
      return end ? FileEnd(at + header + *end) : std::nullopt;
    }
    if (size < header) break;
    if (size > b.size() - at) return std::nullopt;
    codestream = codestream || type == "jp2c";
    at += size;
  }
  return codestream ? FileEnd(at) : std::nullopt;
}

FileEnd PhotoshopEnd(Bytes b) {
  if (!HasAscii(b, 0, "8BPS") || b.size() < kPsdHeader) return std::nullopt;
  const std::uint16_t version = be16(b, 4);
  if (version != 1 && version != 2) return std::nullopt;
  const bool large = version == 2;
  const std::uint64_t channels = be16(b, 12);
  const std::uint64_t height = be32(b, 14);
  const std::uint64_t width = be32(b, 18);
  const std::uint64_t depth = be16(b, 22);
  if (channels == 0 || channels > 56 || height == 0 || width == 0 || height > (1u << 20) || width > (1u << 20))
    return std::nullopt;
  if (depth != 1 && depth != 8 && depth != 16 && depth != 32) return std::nullopt;
  std::uint64_t at = kPsdHeader;
  for (int section = 0; section < 3; ++section) {
    const bool wide = large && section == 2;
    if (at + (wide ? 8 : 4) > b.size()) return std::nullopt;
    const std::uint64_t length = wide ? be64(b, at) : be32(b, at);
    if (length > b.size()) return std::nullopt;
    at += (wide ? 8 : 4) + length;
  }
  if (at + 2 > b.size()) return std::nullopt;
  const std::uint16_t compression = be16(b, at);
  at += 2;
  const std::uint64_t rows = channels * height;
  if (compression == 0) {
    const std::uint64_t rowBytes = (width * depth + 7) / 8;
    return Inside(b, at + rows * rowBytes);
  }
  if (compression != 1) return std::nullopt;  // zip-compressed data records no length
  const std::uint64_t countSize = large ? 4 : 2;
  if (at + rows * countSize > b.size()) return std::nullopt;
  std::uint64_t data = 0;
  for (std::uint64_t row = 0; row < rows; ++row)
    data += large ? be32(b, at + row * 4) : be16(b, at + row * 2);
  return Inside(b, at + rows * countSize + data);
}

// dBASE: the record count at 4, the header's length at 8 and a record's at
// 10; the records follow the header, then perhaps an end-of-file byte 0x1A.
// With nothing after the records it is not known whether that byte was cut
// off.
FileEnd DbaseEnd(Bytes b) {
  if (b.size() < 12) return std::nullopt;
  const std::uint64_t at = le16(b, 8) + std::uint64_t{le32(b, 4)} * le16(b, 10);
  if (at >= b.size()) return std::nullopt;
  return b[at] == 0x1A ? at + 1 : at;
}

// Groups open with "{" and close with "}"; a backslash takes the character
// after it literally (so "\{" is text), and "\binN" is followed by N bytes
// of binary data, which are not read for braces.
FileEnd RtfEnd(Bytes b) {
  if (!HasAscii(b, 0, "{\\rtf")) return std::nullopt;
  std::uint64_t depth = 0;
  for (std::uint64_t at = 0; at < b.size(); ++at) {
    const std::uint8_t c = b[at];
    if (c == '{') {
      ++depth;
    } else if (c == '}') {
      if (--depth == 0) return AfterLineEnd(b, at + 1);
    } else if (c == '\\') {
      if (HasAscii(b, at + 1, "bin") && at + 4 < b.size() && std::isdigit(b[at + 4])) {
        std::uint64_t count = 0;
        at += 4;
        while (at < b.size() && std::isdigit(b[at]) && count < b.size()) count = count * 10 + (b[at++] - '0');
        if (at < b.size() && b[at] == ' ') ++at;  // the control word's delimiter
        if (count > b.size() - std::min<std::uint64_t>(at, b.size())) return std::nullopt;
        at += count - 1;
      } else {
        ++at;
      }
    }
  }
  return std::nullopt;
}

FileEnd HtmlEnd(Bytes b) {
  constexpr std::string_view kClose = "</html>";
  const std::string_view text = Text(b);
  const auto match = std::search(text.begin(), text.end(), kClose.begin(), kClose.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == y;
  });
  if (match == text.end()) return std::nullopt;
  return AfterLineEnd(b, static_cast<std::uint64_t>(match - text.begin()) + kClose.size());
}

// Markup read from the start: declarations, processing instructions,
// comments and CDATA sections are skipped whole; start tags (not the empty
// ones, "<a/>") open an element and end tags close one. The document ends
// with the end tag that closes the first element opened, whose name it
// must bear.
FileEnd XmlEnd(Bytes b) {
  const std::string_view text = Text(b);
  if (!text.starts_with("<?xml") && !text.starts_with("\xEF\xBB\xBF<?xml")) return std::nullopt;
  std::string_view root;
  std::uint64_t depth = 0;
  std::size_t at = 0;
  // The end of the construct from at that closes with close; npos when it
  // runs past the bytes.
  const auto skipTo = [&](std::size_t from, std::string_view close) {
    const std::size_t found = text.find(close, from);
    return found == std::string_view::npos ? found : found + close.size();
  };
  while ((at = text.find('<', at)) != std::string_view::npos) {
    std::size_t next = std::string_view::npos;
    if (text.substr(at, 4) == "<!--") {
      next = skipTo(at + 4, "-->");
    } else if (text.substr(at, 9) == "<![CDATA[") {
      next = skipTo(at + 9, "]]>");
    } else if (text.substr(at, 2) == "<?") {
      next = skipTo(at + 2, "?>");
    } else if (text.substr(at, 2) == "<!") {  // a document type, perhaps with an internal subset
      const std::size_t subset = text.find('[', at);
      const std::size_t close = text.find('>', at);
      next = subset < close ? skipTo(skipTo(subset, "]"), ">") : skipTo(at, ">");
    } else {
      const bool closing = text.substr(at, 2) == "</";
      const std::size_t nameAt = at + (closing ? 2 : 1);
      const std::size_t nameEnd = text.find_first_of(" \t\r\n/>", nameAt);
      if (nameEnd == std::string_view::npos || nameEnd == nameAt) return std::nullopt;
      // The tag's ">", past any quoted attribute value.
      char quote = 0;
      std::size_t end = nameEnd;
      for (; end < text.size() && (quote != 0 || text[end] != '>'); ++end) {
        if (quote != 0 && text[end] == quote) quote = 0;
        else if (quote == 0 && (text[end] == '"' || text[end] == '\'')) quote = text[end];
      }
      if (end >= text.size()) return std::nullopt;
      const std::string_view name = text.substr(nameAt, nameEnd - nameAt);
      if (depth == 0 && root.empty()) root = name;
      if (closing) {
        if (depth == 0) return std::nullopt;
        if (--depth == 0) return name == root ? FileEnd(AfterLineEnd(b, end + 1)) : std::nullopt;
      } else if (text[end - 1] != '/') {
        ++depth;
      } else if (depth == 0) {
        return AfterLineEnd(b, end + 1);  // an empty root element
      }
      next = end + 1;
    }
    if (next == std::string_view::npos) return std::nullopt;
    at = next;
  }
  return std::nullopt;
}

}  // namespace dravik
