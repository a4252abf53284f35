#include "save/SafeName.h"

#include "util/Utf.h"

namespace dravik {

std::u16string SafeFileName(std::u16string_view name) {
  if (name.empty() || name == u".") return u"_";
  if (name == u"..") return u"__";
  std::u16string safe(name);
  for (char16_t& c : safe)
    if (c == u'/' || c == 0) c = u'_';
  return safe;
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

std::filesystem::path PathFromName(std::u16string_view name) { return std::filesystem::path(ToUtf8(name)); }

}  // namespace dravik
