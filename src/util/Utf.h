#pragma once
// UTF-16 names of recovered items become UTF-8 only at the edge: paths and
// terminal output. Unpaired surrogates become U+FFFD.

#include <string>
#include <string_view>

namespace dravik {

std::string ToUtf8(std::u16string_view text);
std::u16string FromUtf8(std::string_view text);

}  // namespace dravik
