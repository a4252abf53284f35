#include "vdisk/VhdParentLocator.h"

#include <algorithm>
#include <string_view>

#include "util/Utf.h"

namespace dravik::vhd {

namespace {

enum class PathText { kUtf16Le, kNarrow, kFileUrl, kNone };

struct PlatformCode {
  std::string_view code;
  PathText text;
  bool relative;
};

constexpr PlatformCode kPlatformCodes[] = {
    {"W2ru", PathText::kUtf16Le, true}, {"W2ku", PathText::kUtf16Le, false}, {"Wi2r", PathText::kNarrow, true},
    {"Wi2k", PathText::kNarrow, false}, {"MacX", PathText::kFileUrl, false}, {"Mac ", PathText::kNone, false},
};

const PlatformCode* FindCode(Bytes entry) {
  for (const PlatformCode& code : kPlatformCodes)
    if (HasAscii(entry, kLocatorCodeOffset, code.code)) return &code;
  return nullptr;
}

// Text up to its first NUL.
std::string CutAtNul(std::string text) { return text.substr(0, text.find('\0')); }

std::string Utf16LeText(Bytes data) {
  std::u16string text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    const char16_t c = le16(data, i);
    if (c == 0) break;
    text += c;
  }
  return ToUtf8(text);
}

// "file://localhost/Users/a/disk.vhd" or "file:///Users/a/disk.vhd" gives the path.
std::string PathOfFileUrl(std::string url) {
  constexpr std::string_view kScheme = "file://";
  if (url.rfind(kScheme, 0) != 0) return url;
  url.erase(0, kScheme.size());
  const std::size_t slash = url.find('/');
  return slash == std::string::npos ? std::string{} : url.substr(slash);
}

std::string DecodePath(PathText text, Bytes data) {
  switch (text) {
    case PathText::kUtf16Le: return Utf16LeText(data);
    case PathText::kNarrow: return CutAtNul(std::string(data.begin(), data.end()));
    case PathText::kFileUrl: return PathOfFileUrl(CutAtNul(std::string(data.begin(), data.end())));
    case PathText::kNone: return {};
  }
  return {};
}

}  // namespace

ImageId FooterUniqueId(Bytes footer) {
  ImageId id;
  const Bytes stored = Slice(footer, kFooterUniqueIdOffset, id.bytes.size());
  std::copy(stored.begin(), stored.end(), id.bytes.begin());
  return id;
}

ParentLink ReadParentLink(const ByteSource& file, Bytes dynamicHeader) {
  ParentLink link;
  ImageId id;
  const Bytes storedId = Slice(dynamicHeader, kHeaderParentIdOffset, id.bytes.size());
  std::copy(storedId.begin(), storedId.end(), id.bytes.begin());
  if (!id.IsZero()) link.id = id;

  std::u16string name;
  const Bytes nameBytes = Slice(dynamicHeader, kHeaderParentNameOffset, kHeaderParentNameSize);
  for (std::size_t i = 0; i + 1 < nameBytes.size(); i += 2) {
    const char16_t c = be16(nameBytes, i);
    if (c == 0) break;
    name += c;
  }
  link.name = ToUtf8(name);

  std::vector<std::string> absolute;
  for (std::size_t i = 0; i < kLocatorCount; ++i) {
    const Bytes entry = Slice(dynamicHeader, kHeaderLocatorsOffset + kLocatorSize * i, kLocatorSize);
    const PlatformCode* code = FindCode(entry);
    if (!code || code->text == PathText::kNone) continue;
    const std::uint32_t length = be32(entry, kLocatorDataLengthOffset);
    const std::uint64_t offset = be64(entry, kLocatorDataOffsetOffset);
    if (length == 0 || length > kMaxLocatorDataLength || offset > file.Size() || file.Size() - offset < length) continue;
    bool ok = false;
    const auto data = ReadBlock(file, offset, length, &ok);
    if (!ok) continue;
    std::string path = DecodePath(code->text, data);
    if (path.empty()) continue;
    (code->relative ? link.locations : absolute).push_back(std::move(path));
  }
  link.locations.insert(link.locations.end(), absolute.begin(), absolute.end());
  return link;
}

}  // namespace dravik::vhd
