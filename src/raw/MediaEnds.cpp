// Where Ogg, Matroska (WebM), ASF (Windows Media), MP3, FLAC, MPEG program
// stream and Flash video files end: Ogg by its pages, which mark the first
// and last page of every logical stream; Matroska by the recorded size of
// its Segment element; ASF by the file size its file properties object
// records; MP3 by walking its frames; FLAC by its metadata blocks and then
// its frames, up to the sample count its stream information records; MPEG
// program streams by their packs and packets; Flash video by its tags, each
// confirmed by the size recorded after it; AC-3 by its frames in a row.

#include <algorithm>
#include <array>
#include <optional>
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

// ---- FLAC: "fLaC", metadata blocks behind a 4-byte header (0x80: the
// last block; a 24-bit length), the first the stream information (the
// largest frame's size at 7, a 36-bit sample count in the 64 bits at 10),
// then frames. A frame's header begins with the sync bits 0xFFF8 (0xFFF9 for
// variable block sizes) and ends with a CRC-8 of itself; the frame records
// no length but ends with a CRC-16 of all its bytes.

constexpr std::size_t kFlacBlockHeader = 4;
constexpr std::size_t kFlacStreamInfo = 34;
constexpr std::uint64_t kSampleCountMask = (std::uint64_t{1} << 36) - 1;
// A frame's search for its end goes no further than this when the stream
// information does not give the largest frame's size.
constexpr std::uint64_t kFlacLargestFrame = 1u << 24;

std::uint8_t Crc8(Bytes b) {
  std::uint8_t crc = 0;
  for (const std::uint8_t byte : b) {
    crc ^= byte;
    for (int i = 0; i < 8; ++i) crc = static_cast<std::uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

std::uint16_t Crc16Step(std::uint16_t crc, std::uint8_t byte) {
  crc ^= static_cast<std::uint16_t>(byte << 8);
  for (int i = 0; i < 8; ++i) crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x8005 : crc << 1);
  return crc;
}

// The number of samples in the frame whose header stands at at; none where
// no valid header (sync, no reserved codes, a matching CRC-8) does.
std::optional<std::uint32_t> FlacFrameSamples(Bytes b, std::size_t at) {
  if (at + 6 > b.size() || b[at] != 0xFF || (b[at + 1] & 0xFE) != 0xF8) return std::nullopt;
  const unsigned sizeCode = b[at + 2] >> 4;
  const unsigned rateCode = b[at + 2] & 0x0F;
  if (sizeCode == 0 || rateCode == 15 || (b[at + 3] >> 4) > 10 || (b[at + 3] & 1)) return std::nullopt;
  // The frame or sample number, coded as UTF-8 is, in 1 to 7 bytes.
  std::size_t next = at + 4;
  unsigned extra = 0;
  while (extra < 7 && (b[next] & (0x80 >> extra))) ++extra;
  if (extra == 1 || extra == 7) return std::nullopt;
  const std::size_t numberLength = extra == 0 ? 1 : extra;
  for (std::size_t i = 1; i < numberLength; ++i)
    if (next + i >= b.size() || (b[next + i] & 0xC0) != 0x80) return std::nullopt;
  next += numberLength;
  std::uint32_t samples = 0;
  if (sizeCode == 1) samples = 192;
  else if (sizeCode <= 5) samples = 576u << (sizeCode - 2);
  else if (sizeCode == 6) samples = u8(b, next++) + 1u;
  else if (sizeCode == 7) samples = be16(b, next) + 1u, next += 2;
  else samples = 256u << (sizeCode - 8);
  if (rateCode == 12) next += 1;
  else if (rateCode == 13 || rateCode == 14) next += 2;
  if (next >= b.size() || Crc8(Slice(b, at, next - at)) != b[next]) return std::nullopt;
  return samples;
}

// ---- MPEG program stream: packs, each a pack header (0x000001BA; MPEG-1's
// 12 bytes, MPEG-2's 14 and its stuffing) followed by packets of a start
// code 0x000001 and a stream ID of 0xBB (the system header) or more, each
// behind its 16-bit length; the end code 0x000001B9 closes the stream, but
// writers often leave it out.

constexpr std::uint8_t kPackStart = 0xBA;
constexpr std::uint8_t kProgramEnd = 0xB9;
constexpr std::uint8_t kFirstPacketStream = 0xBB;

bool StartCodeAt(Bytes b, std::size_t at) {
  return at + 4 <= b.size() && b[at] == 0 && b[at + 1] == 0 && b[at + 2] == 1;
}

// ---- Flash video: "FLV", version, flags, the header's length at 5, then
// the size of the previous tag (0 before the first), and tags: a type (8
// audio, 9 video, 18 script data; 0x20 marks a filtered one), a 24-bit data
// size, a timestamp, a stream ID of zero, the data, then the tag's size
// again (11 more than its data).

constexpr std::size_t kFlvTagHeader = 11;
constexpr std::size_t kFlvTagSize = 4;

bool FlvTagType(std::uint8_t first) {
  const unsigned type = first & ~0x20u;
  return type == 8 || type == 9 || type == 18;
}

bool FlvTagHeaderAt(Bytes b, std::size_t at) {
  return at + kFlvTagHeader <= b.size() && FlvTagType(b[at]) && b[at + 8] == 0 && b[at + 9] == 0 &&
         b[at + 10] == 0;
}

}  // namespace

std::size_t MpegFramesInARow(Bytes b, std::size_t most) {
  const auto first = FrameAt(b, 0);
  std::size_t count = 0;
  for (std::uint64_t at = 0; count < most && at < b.size(); ++count) {
    const auto frame = FrameAt(b, static_cast<std::size_t>(at));
    if (!frame || frame->kind != first->kind) break;
    at += frame->length;
  }
  return count;
}

FileEnd FlacEnd(Bytes b) {
  if (!HasAscii(b, 0, "fLaC") || (u8(b, 4) & 0x7F) != 0) return std::nullopt;
  const std::size_t info = 4 + kFlacBlockHeader;
  if (info + kFlacStreamInfo > b.size()) return std::nullopt;
  const std::uint64_t smallestFrame = be32(b, info + 3) & 0xFFFFFF;
  const std::uint64_t largestFrame = be32(b, info + 6) & 0xFFFFFF;
  const std::uint64_t total = be64(b, info + 10) & kSampleCountMask;
  // Without a sample count the last frame cannot be told from one cut short.
  if (total == 0) return std::nullopt;
  std::size_t at = 4;
  for (bool last = false; !last;) {
    if (at + kFlacBlockHeader > b.size()) return std::nullopt;
    last = (b[at] & 0x80) != 0;
    const std::size_t length = (std::size_t{b[at + 1]} << 16) | (std::size_t{b[at + 2]} << 8) | b[at + 3];
    at += kFlacBlockHeader + length;
  }
  const std::uint64_t limit = largestFrame != 0 ? largestFrame : kFlacLargestFrame;
  for (std::uint64_t samples = 0; samples < total;) {
    const auto count = FlacFrameSamples(b, at);
    if (!count) return std::nullopt;
    samples += *count;
    // The frame ends where the CRC-16 of its bytes stands after them, no
    // shorter than the smallest frame: the last frame of the count there,
    // another where the next frame's header follows.
    const std::size_t stop = static_cast<std::size_t>(std::min<std::uint64_t>(b.size(), at + limit));
    std::uint16_t crc = 0;
    std::optional<std::size_t> end;
    for (std::size_t p = at; p + 2 <= stop; ++p) {
      if (p + 2 >= at + std::max<std::uint64_t>(smallestFrame, 6) && crc == be16(b, p) &&
          (samples >= total ? true : FlacFrameSamples(b, p + 2).has_value())) {
        end = p + 2;
        break;
      }
      crc = Crc16Step(crc, b[p]);
    }
    if (!end) return std::nullopt;
    at = *end;
  }
  return at;
}

FileEnd MpegProgramEnd(Bytes b) {
  std::size_t at = 0;
  bool packs = false;
  while (StartCodeAt(b, at)) {
    const std::uint8_t code = b[at + 3];
    if (code == kProgramEnd) return at + 4;
    if (code == kPackStart) {
      std::size_t length = 12;
      if ((u8(b, at + 4) & 0xC0) == 0x40) length = 14 + (u8(b, at + 13) & 0x07);  // MPEG-2
      else if ((u8(b, at + 4) & 0xF0) != 0x20) return std::nullopt;
      if (length > b.size() - at) return std::nullopt;
      at += length;
      packs = true;
    } else if (code >= kFirstPacketStream && packs) {
      const std::size_t length = 6 + std::size_t{be16(b, at + 4)};
      if (at + 6 > b.size() || length > b.size() - at) return std::nullopt;
      at += length;
    } else {
      break;
    }
  }
  // Packs that stop without an end code: the stream ends after the last
  // whole packet, where the bytes begin no further one; a start code that
  // the bytes cut short leaves the end unknown.
  if (!packs || (at < b.size() && b.size() - at < 4 && std::all_of(b.begin() + static_cast<std::ptrdiff_t>(at),
                                                                      b.end(), [](std::uint8_t c) { return c <= 1; })))
    return std::nullopt;
  return at;
}

FileEnd FlvEnd(Bytes b) {
  if (!HasAscii(b, 0, "FLV") || u8(b, 3) != 1) return std::nullopt;
  std::size_t at = be32(b, 5);
  if (at < 9 || at + kFlvTagSize > b.size() || be32(b, at) != 0) return std::nullopt;
  at += kFlvTagSize;
  std::size_t tags = 0;
  while (FlvTagHeaderAt(b, at)) {
    const std::size_t data = (std::size_t{b[at + 1]} << 16) | (std::size_t{b[at + 2]} << 8) | b[at + 3];
    const std::size_t size = kFlvTagHeader + data;
    // A tag that runs past the bytes: the file was cut short.
    if (size + kFlvTagSize > b.size() - at) return std::nullopt;
    if (be32(b, at + size) != size) break;
    at += size + kFlvTagSize;
    ++tags;
  }
  if (tags == 0) return std::nullopt;
  // Cut short within the next tag's header.
  if (at < b.size() && b.size() - at < kFlvTagHeader && FlvTagType(b[at])) return std::nullopt;
  return at;
}

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

// ---- AC-3: frames in a row, each behind the sync word 0B 77, a CRC, then
// a byte of the sample rate code (top two bits: 48, 44.1 or 32 kHz) and the
// frame size code (the bit rate, and at 44.1 kHz one padding word when
// odd), then the stream's bsid in the top five bits of the next byte
// (above 10: E-AC-3, whose frames are sized otherwise). The stream ends
// where no frame follows; a frame that runs past the bytes leaves it
// unknown.

FileEnd Ac3End(Bytes b) {
  static constexpr std::uint64_t kKbps[] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                            192, 224, 256, 320, 384, 448, 512, 576, 640};
  std::uint64_t at = 0;
  int rate = -1;
  while (at + 6 <= b.size() && b[at] == 0x0B && b[at + 1] == 0x77) {
    const int code = b[at + 4] >> 6, size = b[at + 4] & 0x3F;
    if (code == 3 || size >= 38 || (b[at + 5] >> 3) > 10 || (rate >= 0 && code != rate)) break;
    rate = code;
    const std::uint64_t kbps = kKbps[size / 2];
    const std::uint64_t words = code == 0   ? kbps * 2
                                : code == 2 ? kbps * 3
                                            : kbps * 1536000 / 705600 + (size & 1);
    if (at + words * 2 > b.size()) return std::nullopt;
    at += words * 2;
  }
  return at > 0 ? FileEnd(at) : std::nullopt;
}

}  // namespace dravik
