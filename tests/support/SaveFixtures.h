#pragma once
// The disks of make-save-fixtures.sh, and the check of a name shortened to fit Linux.

#include <filesystem>
#include <map>
#include <string>

namespace dravik::test {

std::filesystem::path SaveFixture(const std::string& name);
// The files of fill.vhd: path as written on the volume -> sha256.
std::map<std::string, std::string> ReadFillManifest();
// The name of 87 CJK characters that fill.vhd holds (UTF-8).
std::string FillLongName();

// True when saved is name, or name shortened as the save promises: at most
// 255 bytes of whole characters, no more than one character short of 255, an
// extension of up to 16 bytes kept after a prefix of what stands before it.
bool IsFaithfulShortening(const std::string& saved, const std::string& name);

}  // namespace dravik::test
