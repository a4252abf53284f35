// Where gzip, bzip2, xz, Zstandard and LZ4 files and tar and ar archives
// end. None of them records its length up front: gzip and bzip2 are read
// through to the end of their compressed data, xz, Zstandard and LZ4 walked
// by the sizes of their blocks or found by a footer whose checksum holds,
// tar and ar by their headers.

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>

#include "raw/FormatEnds.h"
#include "util/Crc32.h"

namespace dravik {

namespace {

FileEnd Within(Bytes b, std::uint64_t end) { return end > 0 && end <= b.size() ? FileEnd(end) : std::nullopt; }

// ---- gzip: a 10-byte header (1F 8B 08, flags at 3), its optional fields,
// deflate data, then CRC-32 and size (8 bytes). Members may follow one
// another.

constexpr std::uint8_t kGzipExtra = 0x04;
constexpr std::uint8_t kGzipName = 0x08;
constexpr std::uint8_t kGzipComment = 0x10;
constexpr std::uint8_t kGzipHeaderCrc = 0x02;
constexpr std::size_t kGzipTrailer = 8;

bool IsGzipMember(Bytes b, std::size_t at) { return u8(b, at) == 0x1F && u8(b, at + 1) == 0x8B && u8(b, at + 2) == 8; }

// The position after a zero-terminated field at at.
std::optional<std::size_t> AfterZero(Bytes b, std::size_t at) {
  for (; at < b.size(); ++at)
    if (b[at] == 0) return at + 1;
  return std::nullopt;
}

std::optional<std::size_t> GzipDataStart(Bytes b, std::size_t at) {
  const std::uint8_t flags = u8(b, at + 3);
  std::optional<std::size_t> next = at + 10;
  if (flags & kGzipExtra) next = *next + 2 + le16(b, *next);
  if (next && (flags & kGzipName)) next = AfterZero(b, *next);
  if (next && (flags & kGzipComment)) next = AfterZero(b, *next);
  if (next && (flags & kGzipHeaderCrc)) next = *next + 2;
  return next && *next <= b.size() ? next : std::nullopt;
}

// The length of the deflate data at at: inflated into a scratch buffer
// until its last block ends.
std::optional<std::size_t> DeflateLength(Bytes b, std::size_t at) {
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) return std::nullopt;
  std::array<Bytef, 64 * 1024> scratch;
  z.next_in = const_cast<Bytef*>(b.data() + at);  // zlib does not write its input
  z.avail_in = static_cast<uInt>(std::min<std::size_t>(b.size() - at, UINT32_MAX));
  int status = Z_OK;
  while (status == Z_OK) {
    z.next_out = scratch.data();
    z.avail_out = static_cast<uInt>(scratch.size());
    status = inflate(&z, Z_NO_FLUSH);
    if (status == Z_BUF_ERROR && z.avail_in > 0) status = Z_OK;  // only the output was full
  }
  const std::size_t length = z.total_in;
  inflateEnd(&z);
  return status == Z_STREAM_END ? std::optional<std::size_t>(length) : std::nullopt;
}

// ---- bzip2: "BZh" and a block-size digit, blocks, then a 48-bit
// end-of-stream mark and a 32-bit checksum, bit-aligned, padded to a byte.

constexpr std::uint64_t kBzip2EndMark = 0x177245385090;
constexpr std::uint64_t kMark48 = (std::uint64_t{1} << 48) - 1;

bool IsBzip2Stream(Bytes b, std::size_t at) {
  return HasAscii(b, at, "BZh") && u8(b, at + 3) >= '1' && u8(b, at + 3) <= '9';
}

// The end of the stream at at: the first end-of-stream mark after its
// header, which a bzip2 stream's blocks cannot hold by chance but once in
// 2^48 bit positions.
std::optional<std::size_t> Bzip2StreamEnd(Bytes b, std::size_t at) {
  std::uint64_t window = 0;
  for (std::size_t i = at + 4; i < b.size(); ++i) {
    for (int bit = 7; bit >= 0; --bit) {
      window = window << 1 | ((b[i] >> bit) & 1);
      if ((window & kMark48) != kBzip2EndMark) continue;
      const std::uint64_t bitsRead = (i - at) * 8 + static_cast<std::uint64_t>(8 - bit);
      return at + static_cast<std::size_t>((bitsRead + 32 + 7) / 8);
    }
  }
  return std::nullopt;
}

// ---- xz: a 12-byte stream header (magic, 2 flag bytes, CRC-32), blocks,
// an index, and a 12-byte footer: CRC-32 of the next 6 bytes, backward size
// (index size / 4 - 1), the header's flags, "YZ". Streams are a multiple of
// four bytes long.

constexpr std::size_t kXzHeader = 12;
constexpr std::size_t kXzFooter = 12;

FileEnd XzStreamEnd(Bytes b) {
  for (std::size_t footer = kXzHeader; footer + kXzFooter <= b.size(); footer += 4) {
    if (!HasAscii(b, footer + 10, "YZ") || le16(b, footer + 8) != le16(b, 6)) continue;
    if (Crc32(Slice(b, footer + 4, 6)) != le32(b, footer)) continue;
    const std::uint64_t indexSize = (std::uint64_t{le32(b, footer + 4)} + 1) * 4;
    if (indexSize > footer - kXzHeader || u8(b, footer - indexSize) != 0) continue;
    return footer + kXzFooter;
  }
  return std::nullopt;
}

// ---- Zstandard frame: magic, frame header descriptor (content-size flag in
// bits 7-6, single segment bit 5, checksum bit 2, dictionary-id flag bits
// 1-0), window byte unless single segment, dictionary id, content size,
// then blocks of a 3-byte header (last bit 0, type bits 1-2, size bits
// 3-23) and an optional 4-byte checksum.

constexpr std::uint32_t kZstdMagic = 0xFD2FB528;
constexpr std::size_t kZstdDictionaryBytes[] = {0, 1, 2, 4};
constexpr std::uint32_t kZstdRle = 1;
constexpr std::uint32_t kZstdReserved = 3;

std::optional<std::size_t> ZstdFrameEnd(Bytes b, std::size_t at) {
  const std::uint8_t descriptor = u8(b, at + 4);
  const bool singleSegment = descriptor & 0x20;
  const unsigned sizeFlag = descriptor >> 6;
  const std::size_t contentSizeBytes = sizeFlag == 0 ? (singleSegment ? 1 : 0) : std::size_t{1} << sizeFlag;
  std::size_t next = at + 5 + (singleSegment ? 0 : 1) + kZstdDictionaryBytes[descriptor & 3] + contentSizeBytes;
  for (bool last = false; !last;) {
    if (next + 3 > b.size()) return std::nullopt;
    const std::uint32_t header = b[next] | std::uint32_t{b[next + 1]} << 8 | std::uint32_t{b[next + 2]} << 16;
    last = header & 1;
    const std::uint32_t type = (header >> 1) & 3;
    if (type == kZstdReserved) return std::nullopt;
    next += 3 + (type == kZstdRle ? 1 : header >> 3);
  }
  if (descriptor & 0x04) next += 4;
  return next <= b.size() ? std::optional<std::size_t>(next) : std::nullopt;
}

}  // namespace

FileEnd GzipEnd(Bytes b) {
  FileEnd end;
  for (std::size_t at = 0; IsGzipMember(b, at);) {
    const auto data = GzipDataStart(b, at);
    const auto length = data ? DeflateLength(b, *data) : std::nullopt;
    // A member cut short leaves the end unknown, even after whole ones.
    if (!length) return std::nullopt;
    at = *data + *length + kGzipTrailer;
    end = at;
  }
  return end ? Within(b, *end) : std::nullopt;
}

FileEnd Bzip2End(Bytes b) {
  FileEnd end;
  for (std::size_t at = 0; IsBzip2Stream(b, at);) {
    const auto streamEnd = Bzip2StreamEnd(b, at);
    if (!streamEnd) return std::nullopt;
    end = at = *streamEnd;
  }
  return end ? Within(b, *end) : std::nullopt;
}

FileEnd XzEnd(Bytes b) {
  if (!HasAscii(b, 0, "\xFD" "7zXZ") || u8(b, 5) != 0) return std::nullopt;
  if (Crc32(Slice(b, 6, 2)) != le32(b, 8)) return std::nullopt;
  return XzStreamEnd(b);
}

FileEnd ZstdEnd(Bytes b) {
  FileEnd end;
  for (std::size_t at = 0; le32(b, at) == kZstdMagic && at + 4 <= b.size();) {
    const auto frameEnd = ZstdFrameEnd(b, at);
    if (!frameEnd) return std::nullopt;
    end = at = *frameEnd;
  }
  return end ? Within(b, *end) : std::nullopt;
}

// ---- tar: 512-byte blocks. A header holds its member's size in octal at
// 124 (12 bytes) and the sum of its bytes, with the checksum field counted
// as spaces, in octal at 148 (8 bytes); the member's data follows in whole
// blocks. Two zero blocks end the archive, which the writer then pads with
// zero blocks to a whole record (10240 bytes by default).

namespace {

constexpr std::uint64_t kTarBlock = 512;
constexpr std::uint64_t kTarRecord = 10240;

std::optional<std::uint64_t> Octal(Bytes b, std::size_t at, std::size_t length) {
  std::uint64_t value = 0;
  std::size_t i = 0;
  while (i < length && b[at + i] == ' ') ++i;
  bool digits = false;
  for (; i < length && b[at + i] >= '0' && b[at + i] <= '7'; ++i, digits = true) value = value * 8 + (b[at + i] - '0');
  if (!digits || (i < length && b[at + i] != ' ' && b[at + i] != 0)) return std::nullopt;
  return value;
}

bool ZeroBlock(Bytes b, std::uint64_t at) {
  const Bytes block = b.subspan(static_cast<std::size_t>(at), kTarBlock);
  return std::all_of(block.begin(), block.end(), [](std::uint8_t c) { return c == 0; });
}

}  // namespace

FileEnd TarEnd(Bytes b) {
  std::uint64_t at = 0;
  while (true) {
    if (kTarBlock > b.size() - at) return std::nullopt;
    if (ZeroBlock(b, at)) break;
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < kTarBlock; ++i) sum += (i >= 148 && i < 156) ? std::uint64_t{' '} : b[at + i];
    const auto recorded = Octal(b, at + 148, 8);
    const auto size = Octal(b, at + 124, 12);
    if (!recorded || *recorded != sum || !size || *size > b.size()) return std::nullopt;
    at += kTarBlock + (*size + kTarBlock - 1) / kTarBlock * kTarBlock;
    if (at > b.size()) return std::nullopt;
  }
  // The two zero blocks, then the zero blocks that pad the last record.
  for (int i = 0; i < 2; ++i, at += kTarBlock)
    if (kTarBlock > b.size() - at || !ZeroBlock(b, at)) return std::nullopt;
  while (at % kTarRecord != 0) {
    if (kTarBlock > b.size() - at) return std::nullopt;
    if (!ZeroBlock(b, at)) break;
    at += kTarBlock;
  }
  return at;
}

// ---- LZ4 frame: magic 04 22 4D 18, a flags byte (0x10 block checksums,
// 0x08 content size, 0x04 content checksum, 0x01 dictionary ID), a block
// size byte, the optional fields, a header checksum byte; then blocks, each
// behind a 4-byte size (top bit: stored), a checksum after each when the
// flags say so, up to a zero size; then the content checksum if any.

constexpr std::uint32_t kLz4Magic = 0x184D2204;

FileEnd Lz4End(Bytes b) {
  if (le32(b, 0) != kLz4Magic || b.size() < 7) return std::nullopt;
  const std::uint8_t flags = b[4];
  if ((flags >> 6) != 1) return std::nullopt;  // version 01
  std::uint64_t at = 7;  // magic, flags, block size byte, header checksum
  if (flags & 0x08) at += 8;  // content size
  if (flags & 0x01) at += 4;  // dictionary ID
  const std::uint64_t blockChecksum = (flags & 0x10) ? 4 : 0;
  while (at + 4 <= b.size()) {
    const std::uint32_t size = le32(b, at) & 0x7FFFFFFF;
    at += 4;
    if (size == 0) return Within(b, at + ((flags & 0x04) ? 4 : 0));
    at += size + blockChecksum;
  }
  return std::nullopt;
}

// ---- ar: "!<arch>\n", then members, each behind a 60-byte header whose
// size (decimal, at 48) precedes the mark "`\n" at 58, its data padded to
// an even length. Nothing marks the last member: the archive ends where no
// member header follows.

constexpr std::size_t kArMagic = 8;
constexpr std::size_t kArHeader = 60;

FileEnd ArEnd(Bytes b) {
  if (!HasAscii(b, 0, "!<arch>\n")) return std::nullopt;
  std::uint64_t at = kArMagic;
  while (HasAscii(b, at + 58, "`\n")) {
    std::uint64_t size = 0;
    std::size_t i = 48;
    for (; i < 58 && std::isdigit(b[at + i]); ++i) size = size * 10 + (b[at + i] - std::uint64_t{'0'});
    if (i == 48) return std::nullopt;
    for (; i < 58; ++i)
      if (b[at + i] != ' ') return std::nullopt;
    const std::uint64_t next = at + kArHeader + size + (size & 1);
    if (next > b.size()) return std::nullopt;
    at = next;
  }
  return at > kArMagic ? Within(b, at) : std::nullopt;
}

}  // namespace dravik
