#pragma once
// The name pattern matcher of file search and filters, and the filter list
// that restricts listing and saving to matching file names.

#include <string>
#include <string_view>
#include <vector>

namespace dravik {

// Lower-cases ASCII, Latin-1, Greek and Cyrillic capitals.
std::u16string ToLower(std::u16string_view text);

// "*" matches any run of characters, "?" one character; a pattern without
// wildcards matches names that contain it. Compare lower-cased texts.
bool MatchName(std::u16string_view name, std::u16string_view pattern);

class FilterList {
 public:
  static constexpr std::size_t kMaxPatterns = 99;
  static constexpr std::size_t kMaxLength = 19;

  enum class AddResult { kAdded, kBlank, kTooLong, kFull, kDuplicate };
  AddResult Add(std::u16string pattern);
  // The message shown for a refused pattern; empty for kAdded.
  static const char* Message(AddResult result);
  void Remove(std::size_t index);
  void Clear() { patterns_.clear(); }

  // True while the list is empty, or when the name matches a pattern.
  bool Accepts(std::u16string_view name) const;
  bool Empty() const { return patterns_.empty(); }
  const std::vector<std::u16string>& Patterns() const { return patterns_; }

 private:
  std::vector<std::u16string> patterns_;
};

}  // namespace dravik
