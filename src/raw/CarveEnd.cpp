#include "raw/CarveEnd.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>
#include <utility>

#include "raw/CompoundFile.h"
#include "raw/FormatEnds.h"
#include "raw/SignatureScan.h"

namespace dravik {

namespace {

using End = std::optional<std::uint64_t>;

// An end that lies within the bytes.
End Within(Bytes b, std::uint64_t end) { return end > 0 && end <= b.size() ? End(end) : std::nullopt; }

End JpegEnd(Bytes b) {
  std::size_t at = 2;  // after the start-of-image marker
  while (at + 4 <= b.size()) {
    if (b[at] != 0xFF) return std::nullopt;
    const std::uint8_t marker = b[at + 1];
    if (marker == 0xD9) return at + 2;
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      at += 2;
      continue;
    }
    at += 2 + std::size_t{be16(b, at + 2)};
    if (marker != 0xDA) continue;
    // Entropy-coded data up to the next marker that is not a stuffed zero
    // or a restart.
    while (at + 1 < b.size() && !(b[at] == 0xFF && b[at + 1] != 0 && (b[at + 1] < 0xD0 || b[at + 1] > 0xD7))) ++at;
  }
  return std::nullopt;
}

End PngEnd(Bytes b) {
  for (std::uint64_t at = 8; at + 12 <= b.size();) {
    const std::uint64_t length = be32(b, at);
    if (HasAscii(b, at + 4, "IEND")) return Within(b, at + 12 + length);
    at += 12 + length;
  }
  return std::nullopt;
}

// GIF data sub-blocks from at; the position after their terminator.
std::optional<std::size_t> SkipSubBlocks(Bytes b, std::size_t at) {
  while (at < b.size()) {
    const std::uint8_t size = b[at];
    at += 1 + size;
    if (size == 0) return at;
  }
  return std::nullopt;
}

End GifEnd(Bytes b) {
  std::size_t at = 13;
  if (b.size() < at) return std::nullopt;
  if (b[10] & 0x80) at += 3u << ((b[10] & 7) + 1);
  while (at < b.size()) {
    const std::uint8_t kind = b[at];
    if (kind == 0x3B) return at + 1;
    std::optional<std::size_t> next;
    if (kind == 0x21) {
      next = SkipSubBlocks(b, at + 2);
    } else if (kind == 0x2C && at + 10 <= b.size()) {
      std::size_t image = at + 10;
      if (b[at + 9] & 0x80) image += 3u << ((b[at + 9] & 7) + 1);
      next = SkipSubBlocks(b, image + 1);  // after the LZW code size
    }
    if (!next) return std::nullopt;
    at = *next;
  }
  return std::nullopt;
}

// The last "%%EOF" before the next PDF's header at a sector start, if any:
// an updated PDF appends sections each closed by "%%EOF", but a second
// "%PDF-" header where a file may begin is another PDF, written behind
// this one. memrchr finds each '%' from the end far faster than a
// comparison at every position would.
End PdfEnd(Bytes b) {
  constexpr std::string_view kMark = "%%EOF";
  constexpr std::size_t kFileStart = 512;  // files begin at sector starts
  std::size_t limit = b.size();
  for (std::size_t at = kFileStart; at < b.size(); at += kFileStart)
    if (HasAscii(b, at, "%PDF-")) {
      limit = at;
      break;
    }
  std::optional<std::size_t> mark;
  for (std::size_t before = limit; before > 0;) {
    const void* found = memrchr(b.data(), '%', before);
    if (found == nullptr) break;
    const auto at = static_cast<std::size_t>(static_cast<const std::uint8_t*>(found) - b.data());
    if (at > 0 && HasAscii(b, at - 1, kMark)) {
      mark = at - 1;
      break;
    }
    before = at;
  }
  if (!mark) return std::nullopt;
  std::size_t end = *mark + kMark.size();
  if (end < b.size() && b[end] == '\r') ++end;
  if (end < b.size() && b[end] == '\n') ++end;
  return end;
}

// The first end-of-central-directory record whose directory ends where it
// stands.
End ZipEnd(Bytes b) {
  constexpr std::uint8_t kEnd[] = {'P', 'K', 5, 6};
  for (auto it = b.begin(); (it = std::search(it, b.end(), std::begin(kEnd), std::end(kEnd))) != b.end(); ++it) {
    const auto at = static_cast<std::uint64_t>(it - b.begin());
    if (at + 22 > b.size()) break;
    if (std::uint64_t{le32(b, at + 16)} + le32(b, at + 12) == at) return Within(b, at + 22 + le16(b, at + 20));
  }
  return std::nullopt;
}

End RiffEnd(Bytes b) { return Within(b, std::uint64_t{le32(b, 4)} + 8); }
End BmpEnd(Bytes b) { return Within(b, le32(b, 2)); }

End SqliteEnd(Bytes b) {
  const std::uint32_t pageSize = be16(b, 16) == 1 ? 65536 : be16(b, 16);
  return Within(b, std::uint64_t{pageSize} * be32(b, 28));
}

// The signature header, then the next header at its offset: sizes that add
// up past 64 bits cannot lie within the bytes.
End SevenZipEnd(Bytes b) {
  constexpr std::uint64_t kHeader = 32;
  const std::uint64_t offset = le64(b, 12);
  const std::uint64_t size = le64(b, 20);
  if (offset > b.size() || size > b.size()) return std::nullopt;
  return Within(b, kHeader + offset + size);
}

// Top-level boxes while their types are four printable characters.
End BoxesEnd(Bytes b) {
  std::uint64_t at = 0;
  while (at + 8 <= b.size()) {
    const Bytes type = Slice(b, at + 4, 4);
    if (!std::all_of(type.begin(), type.end(), [](std::uint8_t c) { return c >= 0x20 && c < 0x7F; })) break;
    std::uint64_t size = be32(b, at);
    if (size == 1) size = be64(b, at + 8);
    if (size < 8) break;  // 0: to the end of the file, which is not known
    // A box that runs past the bytes leaves the end unknown; adding its size
    // could even wrap the position round to the start.
    if (size > b.size() - at) return std::nullopt;
    at += size;
  }
  return at > 0 ? Within(b, at) : std::nullopt;
}

using Rule = End (*)(Bytes);

std::optional<Rule> RuleOf(const std::u16string& extension) {
  static const std::pair<std::u16string_view, Rule> kRules[] = {
      {u".jpg", JpegEnd},      {u".jpeg", JpegEnd},     {u".png", PngEnd},        {u".gif", GifEnd},
      {u".pdf", PdfEnd},       {u".zip", ZipEnd},       {u".jar", ZipEnd},        {u".docx", ZipEnd},
      {u".xlsx", ZipEnd},      {u".pptx", ZipEnd},      {u".odt", ZipEnd},        {u".ods", ZipEnd},
      {u".odp", ZipEnd},       {u".odg", ZipEnd},       {u".epub", ZipEnd},       {u".apk", ZipEnd},
      {u".wav", RiffEnd},      {u".avi", RiffEnd},      {u".webp", RiffEnd},      {u".bmp", BmpEnd},
      {u".sqlite", SqliteEnd}, {u".db", SqliteEnd},     {u".7z", SevenZipEnd},    {u".mp4", BoxesEnd},
      {u".m4a", BoxesEnd},     {u".m4v", BoxesEnd},     {u".mov", BoxesEnd},      {u".3gp", BoxesEnd},
      {u".avif", BoxesEnd},    {u".heic", BoxesEnd},    {u".gz", GzipEnd},        {u".bz2", Bzip2End},
      {u".xz", XzEnd},         {u".zst", ZstdEnd},      {u".ogg", OggEnd},        {u".opus", OggEnd},
      {u".oga", OggEnd},       {u".ogv", OggEnd},       {u".mkv", MatroskaEnd},   {u".webm", MatroskaEnd},
      {u".wma", AsfEnd},       {u".wmv", AsfEnd},       {u".asf", AsfEnd},
      {u".elf", ElfEnd},       {u".class", JavaClassEnd}, {u".ttf", TrueTypeEnd},  {u".exe", PeEnd},
      {u".mp3", Mp3End},       {u".psd", PhotoshopEnd}, {u".rtf", RtfEnd},        {u".html", HtmlEnd},
      {u".xml", XmlEnd},       {u".dbf", DbaseEnd},     {u".tar", TarEnd},        {u".flac", FlacEnd},
      {u".mpg", MpegProgramEnd}, {u".mpeg", MpegProgramEnd}, {u".vob", MpegProgramEnd}, {u".flv", FlvEnd},
      {u".jp2", Jpeg2000End},  {u".j2k", J2kEnd},
      {u".tif", TiffEnd},      {u".tiff", TiffEnd},
      {u".pbm", NetpbmEnd},    {u".pgm", NetpbmEnd},    {u".ppm", NetpbmEnd},     {u".pam", NetpbmEnd},
      {u".pcx", PcxEnd},       {u".tga", TgaEnd},       {u".sgi", SgiEnd},       {u".ras", SunRasterEnd},  {u".ico", IconEnd},
      {u".cur", IconEnd},      {u".xpm", XpmEnd},       {u".aif", AiffEnd},       {u".aiff", AiffEnd},
      {u".au", SunAudioEnd},   {u".voc", VocEnd},       {u".y4m", Y4mEnd},        {u".lz4", Lz4End},
      {u".ar", ArEnd},         {u".deb", ArEnd},        {u".ac3", Ac3End},        {u".miff", MiffEnd},
      {u".doc", CompoundFileLength}, {u".xls", CompoundFileLength}, {u".ppt", CompoundFileLength},
      {u".pub", CompoundFileLength}, {u".msg", CompoundFileLength}, {u".msi", CompoundFileLength}};
  for (const auto& [name, rule] : kRules)
    if (SameIgnoringCase(name, extension)) return rule;
  return std::nullopt;
}

}  // namespace

bool HasEndRule(const std::u16string& extension) { return RuleOf(extension).has_value(); }

bool EndFoundFromTheStart(const std::u16string& extension) {
  return HasEndRule(extension) && !SameIgnoringCase(extension, u".pdf");
}

std::optional<std::uint64_t> CarvedFileEnd(const std::u16string& extension, Bytes carved) {
  const auto rule = RuleOf(extension);
  if (!rule) return std::nullopt;
  const End end = (*rule)(carved);
  return end && *end <= carved.size() ? end : std::nullopt;
}

}  // namespace dravik
