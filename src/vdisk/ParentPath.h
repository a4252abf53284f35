#pragma once
// The paths a differencing image records for its parent, as Windows wrote
// them.

#include <string>

namespace dravik {

// A Windows path with its backslashes as slashes, without a "\\?\" prefix.
std::string Slashed(std::string path);
// The file name at the end of a Windows or POSIX path; a drive-relative
// name ("C:disk.vhd") keeps only the name; "." and ".." give none.
std::string ParentFileName(const std::string& path);

}  // namespace dravik
