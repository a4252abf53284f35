#include "save/SafeName.h"

#include "util/Utf.h"

namespace dravik {

namespace {

bool IsContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The longest prefix of text of at most bytes that ends between characters.
std::string_view CharacterPrefix(std::string_view text, std::size_t bytes) {
  if (bytes >= text.size()) return text;
  while (bytes > 0 && IsContinuationByte(text[bytes])) --bytes;
  return text.substr(0, bytes);
}

}  // namespace

std::u16string SafeFileName(std::u16string_view name) {
  if (name.empty() || name == u".") return u"_";
  if (name == u"..") return u"__";
  std::u16string safe(name);
  for (char16_t& c : safe)
    if (c == u'/' || c == 0) c = u'_';
  return safe;
}

std::string FitNameLength(std::string name, std::size_t maxBytes) {
  if (name.size() <= maxBytes) return name;
  const std::size_t dot = name.rfind('.');
  const bool keepExtension = dot != std::string::npos && dot > 0 && name.size() - dot <= kMaxKeptExtensionBytes &&
                             name.size() - dot < maxBytes;
  if (!keepExtension) return std::string(CharacterPrefix(name, maxBytes));
  const std::string_view extension = std::string_view(name).substr(dot);
  std::string fitted(CharacterPrefix(std::string_view(name).substr(0, dot), maxBytes - extension.size()));
  fitted += extension;
  return fitted;
}

std::filesystem::path SafeRelativePath(std::u16string_view treePath) {
  std::filesystem::path path;
  std::size_t from = 0;
  while (from <= treePath.size()) {
    std::size_t to = treePath.find(u'/', from);
    if (to == std::u16string_view::npos) to = treePath.size();
    if (to > from) path /= PathFromName(SafeFileName(treePath.substr(from, to - from)));
    from = to + 1;
  }
  return path;
}

std::filesystem::path PathFromName(std::u16string_view name) {
  return std::filesystem::path(FitNameLength(ToUtf8(name)));
}

}  // namespace dravik
