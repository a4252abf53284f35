#pragma once
// Recovered names come from a damaged disk and may hold anything. A name
// made safe can never climb out of, or point outside, the destination folder.

#include <filesystem>
#include <string>
#include <string_view>

namespace dravik {

// "/" and NUL become "_"; the names "." and ".." become "_" and "__"; an
// empty name becomes "_".
std::u16string SafeFileName(std::u16string_view name);

// The folder path below the destination for a tree path whose levels are
// joined by "/": every level made safe on its own.
std::filesystem::path SafeRelativePath(std::u16string_view treePath);

std::filesystem::path PathFromName(std::u16string_view name);

}  // namespace dravik
