#pragma once
// Recovered names come from a damaged disk and may hold anything. A name
// made safe can never climb out of, or point outside, the destination folder,
// and fits the destination's limit on the length of one name.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace dravik {

// The longest name, in bytes of UTF-8, that Linux file systems take.
inline constexpr std::size_t kMaxNameBytes = 255;
// The longest extension (the last "." and what follows) that shortening keeps.
inline constexpr std::size_t kMaxKeptExtensionBytes = 16;

// "/" and NUL become "_"; the names "." and ".." become "_" and "__"; an
// empty name becomes "_".
std::u16string SafeFileName(std::u16string_view name);

// A UTF-8 name cut to at most maxBytes: the end of the part before the
// extension is dropped, the extension kept when it is at most
// kMaxKeptExtensionBytes long and something stands before it (otherwise the
// name's end is dropped). The cut never falls inside a character.
std::string FitNameLength(std::string name, std::size_t maxBytes = kMaxNameBytes);

// The folder path below the destination for a tree path whose levels are
// joined by "/": every level made safe on its own.
std::filesystem::path SafeRelativePath(std::u16string_view treePath);

// The name as UTF-8, shortened (FitNameLength) to kMaxNameBytes.
std::filesystem::path PathFromName(std::u16string_view name);

}  // namespace dravik
