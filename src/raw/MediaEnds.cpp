// Where Ogg, Matroska (WebM), ASF (Windows Media) and MP3 files end: Ogg by
// its pages, which mark the first and last page of every logical stream;
// Matroska by the recorded size of its Segment element; ASF by the file size
// its file properties object records; MP3 by walking its frames.

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

// ---- MPEG audio: an optional ID3v2 tag ("ID3", version, flags at 5 (0x10:
// a 10-byte footer follows), a 28-bit size in four 7-bit bytes at 6), then
// frames, each behind a 4-byte header that gives its length, then perhaps
// the 128-byte ID3v1 tag that begins "TAG".

constexpr std::size_t kId3Header = 10;
constexpr std::size_t kId3v1 = 128;

struct MpegFrame {
  std::uint32_t kind = 0;  // version, layer and sample rate bits, alike in every frame of a stream
  std::uint64_t length = 0;
};

// The frame whose header stands at at; none where no valid header does.
std::optional<MpegFrame> FrameAt(Bytes b, std::size_t at) {
  if (at + 4 > b.size() || b[at] != 0xFF || (b[at + 1] & 0xE0) != 0xE0) return std::nullopt;
  const unsigned version = (b[at + 1] >> 3) & 3;  // 0: 2.5, 2: 2, 3: 1
  const unsigned layer = (b[at + 1] >> 1) & 3;    // 1: III, 2: II, 3: I
  const unsigned bitrateIndex = b[at + 2] >> 4;
  const unsigned rateIndex = (b[at + 2] >> 2) & 3;
  const unsigned padding = (b[at + 2] >> 1) & 1;
  // A free bit rate (index 0) leaves the frame's length unrecorded.
  if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3) return std::nullopt;
  static constexpr std::uint16_t kBitrates[5][14] = {
      {32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},  // MPEG-1 layer I
      {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},     // MPEG-1 layer II
      {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},      // MPEG-1 layer III
      {32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},     // MPEG-2 and 2.5 layer I
      {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};         // MPEG-2 and 2.5 layers II, III
  static constexpr std::uint32_t kRates[3] = {44100, 48000, 32000};
  const bool one = version == 3;
  const std::size_t table = one ? 3 - layer : (layer == 3 ? 3 : 4);
  const std::uint64_t bitrate = std::uint64_t{kBitrates[table][bitrateIndex - 1]} * 1000;
  const std::uint64_t rate = kRates[rateIndex] >> (one ? 0 : version == 2 ? 1 : 2);
  std::uint64_t length = 0;
  if (layer == 3) length = (12 * bitrate / rate + padding) * 4;
  else if (layer == 1 && !one) length = 72 * bitrate / rate + padding;
  else length = 144 * bitrate / rate + padding;
  return MpegFrame{static_cast<std::uint32_t>(b[at + 1] & 0x1E) << 8 | (b[at + 2] & 0x0C), length};
}

}  // namespace

FileEnd Mp3End(Bytes b) {
  std::size_t at = 0;
  if (HasAscii(b, 0, "ID3")) {
    if (b.size() < kId3Header) return std::nullopt;
    std::uint64_t size = 0;
    for (std::size_t i = 6; i < kId3Header; ++i) size = size << 7 | (b[i] & 0x7F);
    at = kId3Header + size + ((b[5] & 0x10) ? kId3Header : 0);
    // A tag's padding may run on past its recorded size.
    while (at < b.size() && b[at] == 0) ++at;
  }
  const auto first = FrameAt(b, at);
  if (!first) return std::nullopt;
  while (true) {
    const auto frame = FrameAt(b, at);
    if (!frame || frame->kind != first->kind) break;
    // A frame that runs past the bytes: the file was cut short.
    if (frame->length > b.size() - at) return std::nullopt;
    at += frame->length;
  }
  if (HasAscii(b, at, "TAG")) return at + kId3v1 <= b.size() ? FileEnd(at + kId3v1) : std::nullopt;
  // Cut short within a frame header.
  if (at < b.size() && b.size() - at < 4 && b[at] == 0xFF) return std::nullopt;
  return at;
}

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
