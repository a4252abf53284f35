#include "SaveFixtures.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "TestFiles.h"

namespace dravik::test {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kNameMax = 255;
constexpr std::size_t kLongestExtension = 16;

bool ValidUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

}  // namespace

fs::path SaveFixture(const std::string& name) { return FixtureIn("save", name); }

std::map<std::string, std::string> ReadFillManifest() {
  std::ifstream in(SaveFixture("fill.manifest"));
  std::map<std::string, std::string> files;
  for (std::string line; std::getline(in, line);) {
    const auto fields = Split(line, '\t');
    if (fields.size() != 3) throw std::runtime_error("bad manifest line " + line);
    files[fields[0]] = fields[2];
  }
  return files;
}

std::string FillLongName() {
  const auto bytes = ReadFileBytes(SaveFixture("long-name"));
  return std::string(bytes.begin(), bytes.end());
}

SmallTmpfs::SmallTmpfs(const fs::path& at, const std::string& size) : path_(at) {
  fs::create_directories(path_);
  const std::string options = "size=" + size + ",mode=0755";
  if (::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
    mounted_ = true;
  else
    problem_ = std::string("cannot mount a tmpfs at ") + path_.string() + ": " + std::strerror(errno) +
               " (mounting needs root)";
}

SmallTmpfs::~SmallTmpfs() {
  if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  std::error_code ignored;
  fs::remove(path_, ignored);
}

bool IsFaithfulShortening(const std::string& saved, const std::string& name) {
  if (saved == name) return name.size() <= kNameMax;
  if (name.size() <= kNameMax || saved.size() > kNameMax || saved.size() + 3 < kNameMax || !ValidUtf8(saved))
    return false;
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0 && name.size() - dot <= kLongestExtension) {
    const std::string extension = name.substr(dot);
    if (!saved.ends_with(extension)) return false;
    return name.substr(0, dot).starts_with(saved.substr(0, saved.size() - extension.size()));
  }
  return name.starts_with(saved);
}

std::string OriginalPath(const std::string& saved, const std::map<std::string, std::string>& paths) {
  const auto savedLevels = Split(saved, '/');
  for (const auto& [path, value] : paths) {
    const auto levels = Split(path, '/');
    if (levels.size() != savedLevels.size()) continue;
    bool fits = true;
    for (std::size_t i = 0; i < levels.size() && fits; ++i) fits = IsFaithfulShortening(savedLevels[i], levels[i]);
    if (fits) return path;
  }
  return "";
}

}  // namespace dravik::test
