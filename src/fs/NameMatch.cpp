#include "fs/NameMatch.h"

#include <algorithm>

namespace dravik {

std::u16string ToLower(std::u16string_view text) {
  std::u16string lower(text);
  for (char16_t& c : lower) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3A9) ||
        (c >= 0x410 && c <= 0x42F))
      c = static_cast<char16_t>(c + 0x20);
    else if (c >= 0x400 && c <= 0x40F)
      c = static_cast<char16_t>(c + 0x50);
  }
  return lower;
}

namespace {

// The left-to-right walk: a star (with the stars and question marks right
// after it) skips to the first place where the next literal occurs.
bool WalkPattern(std::u16string_view name, std::u16string_view pattern) {
  while (!pattern.empty() && pattern.back() == u'*') pattern.remove_suffix(1);
  std::size_t n = 0;
  std::size_t p = 0;
  while (p < pattern.size()) {
    const char16_t c = pattern[p];
    if (c == u'*') {
      std::size_t mustSkip = 0;
      while (p < pattern.size() && (pattern[p] == u'*' || pattern[p] == u'?')) mustSkip += pattern[p++] == u'?';
      if (name.size() - n < mustSkip) return false;
      n += mustSkip;
      if (p == pattern.size()) return true;
      const std::size_t found = name.find(pattern[p], n);
      if (found == std::u16string_view::npos) return false;
      n = found + 1;
      ++p;
    } else if (n < name.size() && (c == u'?' || c == name[n])) {
      ++n;
      ++p;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

bool MatchName(std::u16string_view name, std::u16string_view pattern) {
  if (name.empty() || pattern.empty()) return false;
  const bool hasStar = pattern.find(u'*') != std::u16string_view::npos;
  if (!hasStar && pattern.size() > name.size()) return false;
  if (pattern == u"*") return true;
  if (pattern == u"*.*") return name.find(u'.') != std::u16string_view::npos;
  if (!hasStar && pattern.find(u'?') == std::u16string_view::npos) return name.find(pattern) != std::u16string_view::npos;
  return WalkPattern(name, pattern);
}

FilterList::AddResult FilterList::Add(std::u16string pattern) {
  if (pattern.empty()) return AddResult::kBlank;
  if (pattern.size() > kMaxLength) return AddResult::kTooLong;
  if (patterns_.size() >= kMaxPatterns) return AddResult::kFull;
  if (std::find(patterns_.begin(), patterns_.end(), pattern) != patterns_.end()) return AddResult::kDuplicate;
  patterns_.push_back(std::move(pattern));
  return AddResult::kAdded;
}

const char* FilterList::Message(AddResult result) {
  switch (result) {
    case AddResult::kBlank: return "      Blank entry can't be added.Please provide text.    ";
    case AddResult::kTooLong: return "      Filter too long.     ";
    case AddResult::kFull: return "      More Filters can't be added.     ";
    case AddResult::kDuplicate: return "      Same Filter already exists in list.     ";
    case AddResult::kAdded: break;
  }
  return "";
}

void FilterList::Remove(std::size_t index) {
  if (index < patterns_.size()) patterns_.erase(patterns_.begin() + static_cast<std::ptrdiff_t>(index));
}

bool FilterList::Accepts(std::u16string_view name) const {
  if (patterns_.empty()) return true;
  const std::u16string lowerName = ToLower(name);
  return std::any_of(patterns_.begin(), patterns_.end(),
                     [&](const std::u16string& p) { return MatchName(lowerName, ToLower(p)); });
}

}  // namespace dravik
