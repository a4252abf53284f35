#include "raw/SignatureFamily.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>
#include <vector>

namespace dravik {

namespace {

using Extension = std::u16string_view;

// A code the file holds (a form type, a brand, a DocType, a MIME type, an
// entry name) and the member it names.
struct Named {
  std::string_view code;
  Extension extension;
};

Extension Lookup(std::span<const Named> table, std::string_view code) {
  for (const Named& named : table)
    if (named.code == code) return named.extension;
  return {};
}

std::string_view TextAt(Bytes b, std::size_t offset, std::size_t length) {
  const Bytes part = Slice(b, offset, length);
  return {reinterpret_cast<const char*>(part.data()), part.size()};
}

// ---- ZIP: local file headers from the start of the file.
//
//   offset  size  field
//   0       4     "PK\3\4"
//   6       2     flags (bit 3: sizes follow the data, the header holds 0)
//   8       2     method (0: stored)
//   18      4     compressed size
//   26      2     name length
//   28      2     extra field length
//   30      n     name, then the extra field, then the data

constexpr std::size_t kZipWanted = 64 * 1024;
constexpr std::size_t kZipEntriesLooked = 32;
constexpr std::uint8_t kZipLocal[] = {'P', 'K', 3, 4};

constexpr Named kZipMimeTypes[] = {
    {"application/vnd.oasis.opendocument.text", u".odt"},
    {"application/vnd.oasis.opendocument.spreadsheet", u".ods"},
    {"application/vnd.oasis.opendocument.presentation", u".odp"},
    {"application/vnd.oasis.opendocument.graphics", u".odg"},
    {"application/epub+zip", u".epub"},
};
// Office Open XML packages keep their part in a folder named after the
// program; they are known by their content-types part or their package
// relationships, which LibreOffice writes first and Microsoft Office last
// and first respectively.
constexpr Named kOpenXmlFolders[] = {{"word/", u".docx"}, {"xl/", u".xlsx"}, {"ppt/", u".pptx"}};
constexpr std::string_view kOpenXmlMarks[] = {"[Content_Types].xml", "_rels/.rels"};
// Entries that name a package by themselves, the stronger first: an Android
// package holds a Java manifest too.
constexpr Named kZipEntries[] = {{"AndroidManifest.xml", u".apk"}, {"META-INF/MANIFEST.MF", u".jar"}};

struct ZipEntry {
  std::string_view name;
  std::string_view storedData;  // the data of a stored entry, empty otherwise
};

std::vector<ZipEntry> LeadingZipEntries(Bytes b) {
  std::vector<ZipEntry> entries;
  std::size_t at = 0;
  while (entries.size() < kZipEntriesLooked && HasAscii(b, at, "PK\x03\x04")) {
    const std::size_t nameLength = le16(b, at + 26);
    const std::size_t dataAt = at + 30 + nameLength + le16(b, at + 28);
    const std::uint32_t compressed = le32(b, at + 18);
    const bool sizeFollows = (le16(b, at + 6) & 0x8) != 0 && compressed == 0;
    if (dataAt > b.size()) break;
    ZipEntry entry{TextAt(b, at + 30, nameLength), {}};
    if (le16(b, at + 8) == 0 && !sizeFollows) entry.storedData = TextAt(b, dataAt, compressed);
    entries.push_back(entry);
    if (!sizeFollows) {
      at = dataAt + compressed;
      continue;
    }
    // The size is only known after the data: the next entry is the next
    // local header signature.
    const auto next = std::search(b.begin() + static_cast<std::ptrdiff_t>(dataAt), b.end(), std::begin(kZipLocal),
                                  std::end(kZipLocal));
    at = static_cast<std::size_t>(next - b.begin());
  }
  return entries;
}

Extension ZipMember(Bytes b) {
  const std::vector<ZipEntry> entries = LeadingZipEntries(b);
  if (entries.empty()) return {};
  if (entries.front().name == "mimetype") {
    const Extension kind = Lookup(kZipMimeTypes, entries.front().storedData);
    if (!kind.empty()) return kind;
  }
  const auto has = [&](std::string_view name) {
    return std::any_of(entries.begin(), entries.end(), [&](const ZipEntry& e) { return e.name == name; });
  };
  if (std::any_of(std::begin(kOpenXmlMarks), std::end(kOpenXmlMarks), has)) {
    for (const ZipEntry& entry : entries)
      for (const Named& folder : kOpenXmlFolders)
        if (entry.name.starts_with(folder.code)) return folder.extension;
  }
  for (const Named& named : kZipEntries)
    if (has(named.code)) return named.extension;
  return u".zip";
}

// ---- RIFF: "RIFF", size, form type.

constexpr Named kRiffForms[] = {{"WAVE", u".wav"}, {"AVI ", u".avi"}, {"WEBP", u".webp"}};

Extension RiffMember(Bytes b) { return Lookup(kRiffForms, TextAt(b, 8, 4)); }

// ---- ISO base media: the "ftyp" box (size, "ftyp", major brand, minor
// version, compatible brands to the box's end). The major brand decides;
// a generic one leaves it to the first compatible brand known.

constexpr Named kBrands[] = {
    {"isom", u".mp4"}, {"iso2", u".mp4"}, {"iso4", u".mp4"}, {"iso5", u".mp4"}, {"iso6", u".mp4"},
    {"mp41", u".mp4"}, {"mp42", u".mp4"}, {"avc1", u".mp4"}, {"dash", u".mp4"}, {"M4V ", u".m4v"},
    {"M4VH", u".m4v"}, {"M4VP", u".m4v"}, {"M4A ", u".m4a"}, {"M4B ", u".m4a"}, {"qt  ", u".mov"},
    {"3gp4", u".3gp"}, {"3gp5", u".3gp"}, {"3gp6", u".3gp"}, {"3gp7", u".3gp"}, {"3gg6", u".3gp"},
    {"avif", u".avif"}, {"avis", u".avif"}, {"heic", u".heic"}, {"heix", u".heic"}, {"heim", u".heic"},
    {"heis", u".heic"}, {"hevc", u".heic"}, {"hevx", u".heic"},
};
constexpr std::size_t kFtypWanted = 256;

bool IsFtyp(Bytes b) { return HasAscii(b, 4, "ftyp") && be32(b, 0) >= 16 && be32(b, 0) <= kFtypWanted; }

Extension IsoMember(Bytes b) {
  const std::size_t boxEnd = std::min<std::size_t>(be32(b, 0), b.size());
  for (std::size_t at = 8; at + 4 <= boxEnd; at += at == 8 ? 8 : 4) {
    const Extension kind = Lookup(kBrands, TextAt(b, at, 4));
    if (!kind.empty()) return kind;
  }
  return {};
}

// ---- EBML: the header element (ID 1A45DFA3) and its children, IDs and
// sizes written as variable-length integers; DocType has the ID 4282.

constexpr Named kDocTypes[] = {{"webm", u".webm"}, {"matroska", u".mkv"}};
constexpr std::size_t kEbmlWanted = 512;
constexpr std::uint32_t kDocTypeId = 0x4282;

// A variable-length integer at *at: its length is one plus the leading zero
// bits of its first byte; the value keeps the length marker when it is an
// ID and drops it when it is a size.
std::optional<std::uint64_t> Vint(Bytes b, std::size_t& at, bool keepMarker) {
  if (at >= b.size() || b[at] == 0) return std::nullopt;
  std::size_t length = 1;
  while (!(b[at] & (0x80 >> (length - 1)))) ++length;
  if (at + length > b.size()) return std::nullopt;
  std::uint64_t value = keepMarker ? b[at] : b[at] & (0xFFu >> length);
  for (std::size_t i = 1; i < length; ++i) value = value << 8 | b[at + i];
  at += length;
  return value;
}

Extension EbmlMember(Bytes b) {
  std::size_t at = 4;
  const auto headerSize = Vint(b, at, false);
  if (!headerSize) return {};
  const std::size_t end = static_cast<std::size_t>(std::min<std::uint64_t>(b.size(), at + *headerSize));
  while (at < end) {
    const auto id = Vint(b, at, true);
    const auto size = id ? Vint(b, at, false) : std::nullopt;
    if (!size || *size > end - at) return {};
    if (*id == kDocTypeId) {
      std::string_view docType = TextAt(b, at, static_cast<std::size_t>(*size));
      docType = docType.substr(0, docType.find('\0'));  // the string may be padded with zeros
      return Lookup(kDocTypes, docType);
    }
    at += static_cast<std::size_t>(*size);
  }
  return {};
}

// ---- ASF: the header object (GUID, 64-bit size, object count, 2 reserved
// bytes) holds objects of GUID and 64-bit size; a stream properties object
// names its stream's kind by the GUID at its offset 24.

using Guid = std::array<std::uint8_t, 16>;
constexpr Guid kAsfHeader = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                             0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
constexpr Guid kStreamProperties = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                    0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr Guid kAudioMedia = {0x40, 0x9E, 0x69, 0xF8, 0x4D, 0x5B, 0xCF, 0x11,
                              0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
constexpr std::size_t kAsfWanted = 64 * 1024;
constexpr std::size_t kAsfFirstObject = 30;

bool HasGuid(Bytes b, std::size_t at, const Guid& guid) {
  const Bytes part = Slice(b, at, guid.size());
  return part.size() == guid.size() && std::equal(part.begin(), part.end(), guid.begin());
}

Extension AsfMember(Bytes b) {
  const std::size_t end = static_cast<std::size_t>(std::min<std::uint64_t>(b.size(), le64(b, 16)));
  bool audio = false;
  bool other = false;
  for (std::size_t at = kAsfFirstObject; at + 24 <= end;) {
    const std::uint64_t size = le64(b, at + 16);
    if (size < 24 || size > end - at) break;
    if (HasGuid(b, at, kStreamProperties)) (HasGuid(b, at + 24, kAudioMedia) ? audio : other) = true;
    at += static_cast<std::size_t>(size);
  }
  if (other) return u".wmv";
  return audio ? u".wma" : Extension{};
}

// ---- Ogg: the first page ("OggS", ..., segment count at 26, the segment
// table) holds the first packet, whose start names the codec.

constexpr Named kOggCodecs[] = {
    {"\x01vorbis", u".ogg"}, {"OpusHead", u".opus"}, {"\x7F" "FLAC", u".oga"}, {"\x80theora", u".ogv"},
    {"Speex   ", u".spx"},
};
constexpr std::size_t kOggWanted = 512;

Extension OggMember(Bytes b) {
  const std::size_t packet = 27 + std::size_t{u8(b, 26)};
  for (const Named& codec : kOggCodecs)
    if (TextAt(b, packet, codec.code.size()) == codec.code) return codec.extension;
  return {};
}

struct Family {
  bool (*begins)(Bytes sector);
  std::size_t wanted;
  Extension (*member)(Bytes head);
};

constexpr Family kFamilies[] = {
    {[](Bytes s) { return HasAscii(s, 0, "PK\x03\x04"); }, kZipWanted, ZipMember},
    {[](Bytes s) { return HasAscii(s, 0, "RIFF"); }, 12, RiffMember},
    {IsFtyp, kFtypWanted, IsoMember},
    {[](Bytes s) { return HasAscii(s, 0, "\x1A\x45\xDF\xA3"); }, kEbmlWanted, EbmlMember},
    {[](Bytes s) { return HasGuid(s, 0, kAsfHeader); }, kAsfWanted, AsfMember},
    {[](Bytes s) { return HasAscii(s, 0, "OggS"); }, kOggWanted, OggMember},
};

const Family* FamilyOf(Bytes sector) {
  for (const Family& family : kFamilies)
    if (family.begins(sector)) return &family;
  return nullptr;
}

}  // namespace

std::size_t FamilyBytesWanted(Bytes sector) {
  const Family* family = FamilyOf(sector);
  return family ? family->wanted : 0;
}

std::u16string FamilyMemberExtension(Bytes head) {
  const Family* family = FamilyOf(head);
  return family ? std::u16string(family->member(head)) : std::u16string();
}

}  // namespace dravik
