// Where Ogg, Matroska (WebM) and ASF (Windows Media) files end: Ogg by its
// pages, which mark the first and last page of every logical stream;
// Matroska by the recorded size of its Segment element; ASF by the file size
// its file properties object records.

#include <algorithm>
#include <array>
#include <set>

#include "raw/FormatEnds.h"

namespace dravik {

namespace {

// ---- Ogg page: "OggS", version 0, header type (0x02 first page of a
// stream, 0x04 last page), granule position, serial number at 14, sequence,
// CRC, segment count at 26, the segment table, then the segments.

constexpr std::size_t kOggHeader = 27;
constexpr std::uint8_t kOggFirstPage = 0x02;
constexpr std::uint8_t kOggLastPage = 0x04;

// ---- EBML element: an ID and a size, each a variable-length integer (its
// length one more than the leading zero bits of its first byte); a size of
// all ones means "unknown".

constexpr std::uint32_t kEbmlHeaderId = 0x1A45DFA3;
constexpr std::uint32_t kSegmentId = 0x18538067;

struct Vint {
  std::uint64_t value = 0;
  bool unknown = false;  // every value bit set
};

std::optional<Vint> ReadVint(Bytes b, std::size_t& at, bool keepMarker) {
  if (at >= b.size() || b[at] == 0) return std::nullopt;
  std::size_t length = 1;
  while (!(b[at] & (0x80 >> (length - 1)))) ++length;
  if (at + length > b.size()) return std::nullopt;
  const std::uint8_t firstBits = b[at] & (0xFF >> length);
  Vint v{keepMarker ? b[at] : firstBits, firstBits == (0xFF >> length)};
  for (std::size_t i = 1; i < length; ++i) {
    v.value = v.value << 8 | b[at + i];
    v.unknown = v.unknown && b[at + i] == 0xFF;
  }
  at += length;
  return v;
}

// ---- ASF header object: GUID, 64-bit size at 16, object count, two
// reserved bytes, then objects of GUID and 64-bit size; the file properties
// object holds the file's size at its offset 40.

constexpr std::array<std::uint8_t, 16> kFileProperties = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                                          0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr std::size_t kAsfFirstObject = 30;
constexpr std::size_t kAsfObjectHeader = 24;
constexpr std::size_t kAsfFileSize = 40;

}  // namespace

FileEnd AsfEnd(Bytes b) {
  const std::uint64_t header = std::min<std::uint64_t>(le64(b, 16), b.size());
  for (std::uint64_t at = kAsfFirstObject; at + kAsfObjectHeader <= header;) {
    const std::uint64_t size = le64(b, at + 16);
    if (size < kAsfObjectHeader || size > header - at) return std::nullopt;
    const Bytes guid = Slice(b, at, kFileProperties.size());
    if (std::equal(guid.begin(), guid.end(), kFileProperties.begin(), kFileProperties.end())) {
      const std::uint64_t fileSize = le64(b, at + kAsfFileSize);
      return fileSize > header && fileSize <= b.size() ? FileEnd(fileSize) : std::nullopt;
    }
    at += size;
  }
  return std::nullopt;
}

FileEnd OggEnd(Bytes b) {
  std::set<std::uint32_t> open;
  for (std::size_t at = 0; HasAscii(b, at, "OggS") && u8(b, at + 4) == 0;) {
    const std::uint8_t type = u8(b, at + 5);
    const std::uint32_t serial = le32(b, at + 14);
    const std::size_t segments = u8(b, at + 26);
    std::size_t length = kOggHeader + segments;
    if (at + length > b.size()) return std::nullopt;
    for (std::size_t i = 0; i < segments; ++i) length += b[at + kOggHeader + i];
    if (type & kOggFirstPage) open.insert(serial);
    // A page of a stream that never began is not part of this file.
    else if (open.count(serial) == 0) return std::nullopt;
    if (type & kOggLastPage) open.erase(serial);
    at += length;
    if (open.empty()) return at <= b.size() ? FileEnd(at) : std::nullopt;
  }
  return std::nullopt;
}

FileEnd MatroskaEnd(Bytes b) {
  std::size_t at = 0;
  const auto headerId = ReadVint(b, at, true);
  const auto headerSize = headerId && headerId->value == kEbmlHeaderId ? ReadVint(b, at, false) : std::nullopt;
  if (!headerSize || headerSize->unknown || headerSize->value > b.size() - at) return std::nullopt;
  at += static_cast<std::size_t>(headerSize->value);
  const auto segmentId = ReadVint(b, at, true);
  const auto segmentSize = segmentId && segmentId->value == kSegmentId ? ReadVint(b, at, false) : std::nullopt;
  if (!segmentSize || segmentSize->unknown || segmentSize->value > b.size() - at) return std::nullopt;
  return at + segmentSize->value;
}

}  // namespace dravik
