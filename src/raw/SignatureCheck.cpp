#include "raw/SignatureCheck.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "disk/SectorReader.h"
#include "raw/FormatEnds.h"
#include "raw/SignatureScan.h"

namespace dravik {

namespace {

constexpr std::size_t kIconDirectory = 6;
constexpr std::size_t kIconEntry = 16;
// An image larger than this is not a plausible part of an icon.
constexpr std::uint32_t kMaxIconImage = 16u << 20;

// Frames in a row that make an MP3 without a tag plausible: one or two
// could be chance, four of one kind each where the last ends are not.
constexpr std::size_t kMp3Frames = 4;

constexpr std::size_t kDbaseHeader = 32;
constexpr std::size_t kDbaseField = 32;
constexpr std::size_t kFoxProBacklink = 263;
constexpr std::uint8_t kFieldsEnd = 0x0D;

bool IsFoxPro(std::uint8_t version) { return version == 0x30 || version == 0x31 || version == 0x32; }

}  // namespace

bool IconDirectoryPlausible(Bytes sector) {
  if (sector.size() < kIconDirectory + kIconEntry || le16(sector, 0) != 0) return false;
  const std::uint16_t type = le16(sector, 2);
  const std::uint16_t count = le16(sector, 4);
  if ((type != 1 && type != 2) || count == 0 || count > 255) return false;
  const std::uint64_t directoryEnd = kIconDirectory + std::uint64_t{count} * kIconEntry;
  for (std::size_t i = 0; i < count && kIconDirectory + (i + 1) * kIconEntry <= sector.size(); ++i) {
    const std::size_t entry = kIconDirectory + i * kIconEntry;
    const std::uint32_t size = le32(sector, entry + 8);
    const std::uint32_t offset = le32(sector, entry + 12);
    if (sector[entry + 3] != 0 || size == 0 || size > kMaxIconImage || offset < directoryEnd ||
        offset > kMaxIconImage * 2)
      return false;
    // An icon's planes are 0 or 1 and its bits per pixel one of the depths
    // images have; a cursor keeps its hot spot there instead.
    if (type == 1) {
      const std::uint16_t planes = le16(sector, entry + 4);
      const std::uint16_t bits = le16(sector, entry + 6);
      if (planes > 1 || (bits != 0 && bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24 && bits != 32))
        return false;
    }
  }
  return true;
}

bool DbaseHeaderPlausible(Bytes sector) {
  if (sector.size() < kDbaseHeader + kDbaseField) return false;
  const std::uint8_t version = sector[0];
  constexpr std::uint8_t kVersions[] = {0x02, 0x03, 0x04, 0x05, 0x30, 0x31, 0x32, 0x43, 0x63,
                                        0x83, 0x8B, 0x8E, 0xCB, 0xF5, 0xFB};
  if (std::find(std::begin(kVersions), std::end(kVersions), version) == std::end(kVersions)) return false;
  const std::uint8_t month = sector[2];
  const std::uint8_t day = sector[3];
  if (month < 1 || month > 12 || day < 1 || day > 31) return false;
  const std::uint16_t headerLength = le16(sector, 8);
  const std::uint16_t recordLength = le16(sector, 10);
  const std::size_t fieldsAt = kDbaseHeader;
  const std::size_t fixed = kDbaseHeader + 1 + (IsFoxPro(version) ? kFoxProBacklink : 0);
  if (headerLength < fixed + kDbaseField || (headerLength - fixed) % kDbaseField != 0 || recordLength < 2)
    return false;
  const std::size_t fields = (headerLength - fixed) / kDbaseField;
  // The fields in the sector: names of letters, digits and "_" padded with
  // zeros, and lengths that add up to no more than the record holds.
  std::uint32_t used = 1;  // the deletion flag
  std::size_t i = 0;
  for (; i < fields && fieldsAt + (i + 1) * kDbaseField <= sector.size(); ++i) {
    const std::size_t field = fieldsAt + i * kDbaseField;
    const std::uint8_t first = sector[field];
    if (!((first >= 'A' && first <= 'Z') || (first >= 'a' && first <= 'z') || first == '_')) return false;
    used += sector[field + 16];
    if (used > recordLength) return false;
  }
  if (i == fields) {
    // Every field was read: they fill the record, and the mark follows them.
    if (used != recordLength) return false;
    const std::size_t mark = fieldsAt + fields * kDbaseField;
    if (mark < sector.size() && sector[mark] != kFieldsEnd) return false;
  }
  return true;
}

bool PcxHeaderPlausible(Bytes sector) {
  // 3 bits per pixel and plane, 4 the window (xmin, ymin, xmax, ymax), 64
  // a reserved zero, 65 planes, 66 bytes per line and plane, 68 palette info.
  if (sector.size() < 70) return false;
  const std::uint8_t bits = sector[3];
  const std::uint8_t planes = sector[65];
  if (bits != 1 && bits != 2 && bits != 4 && bits != 8) return false;
  if (planes < 1 || planes > 4 || sector[64] != 0) return false;
  const std::uint16_t xmin = le16(sector, 4), ymin = le16(sector, 6), xmax = le16(sector, 8), ymax = le16(sector, 10);
  if (xmax < xmin || ymax < ymin) return false;
  const std::uint32_t bytesPerLine = le16(sector, 66);
  const std::uint32_t needed = ((std::uint32_t{xmax} - xmin + 1) * bits + 7) / 8;
  return bytesPerLine >= needed && bytesPerLine % 2 == 0 && le16(sector, 68) <= 2;
}

bool TgaHeaderPlausible(Bytes sector) {
  // 1 colour map type, 2 image type, 3 first map entry, 5 map length, 7 map
  // entry bits, 12 width, 14 height, 16 bits per pixel, 17 descriptor.
  if (sector.size() < 18) return false;
  const std::uint8_t mapType = sector[1];
  const std::uint8_t imageType = sector[2];
  const std::uint8_t kind = imageType & 0x07;  // 1 mapped, 2 true colour, 3 grey
  if ((imageType & ~0x08) < 1 || (imageType & ~0x08) > 3) return false;
  if (mapType > 1 || (kind == 1) != (mapType == 1)) return false;
  if (mapType == 0) {
    for (std::size_t i = 3; i < 8; ++i)
      if (sector[i] != 0) return false;
  } else {
    const std::uint8_t entryBits = sector[7];
    if (le16(sector, 5) == 0 || (entryBits != 15 && entryBits != 16 && entryBits != 24 && entryBits != 32))
      return false;
  }
  if (le16(sector, 12) == 0 || le16(sector, 14) == 0) return false;
  const std::uint8_t bits = sector[16];
  const bool depthFits = kind == 2 ? (bits == 15 || bits == 16 || bits == 24 || bits == 32) : (bits == 8 || bits == 16);
  const std::uint8_t descriptor = sector[17];
  return depthFits && (descriptor & 0xC0) == 0 && (descriptor & 0x0F) <= std::min<int>(bits, 8);
}

bool Mp3FramesPlausible(Bytes start) { return MpegFramesInARow(start, kMp3Frames) == kMp3Frames; }

StartRule StartCheckOf(std::u16string_view extension, std::string_view signature) {
  static const std::pair<std::u16string_view, StartCheck> kChecks[] = {
      {u".ico", IconDirectoryPlausible}, {u".cur", IconDirectoryPlausible}, {u".dbf", DbaseHeaderPlausible},
      {u".pcx", PcxHeaderPlausible}, {u".tga", TgaHeaderPlausible}};
  for (const auto& [name, check] : kChecks)
    if (SameIgnoringCase(name, extension)) return {check, kSectorSize};
  // An MP3 found by its frame sync rather than by its tag.
  if (SameIgnoringCase(u".mp3", extension) && (signature.starts_with("FF") || signature.starts_with("ff")))
    return {Mp3FramesPlausible, kMp3CheckBytes};
  return {};
}

}  // namespace dravik
