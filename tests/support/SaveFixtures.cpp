#include "SaveFixtures.h"

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

}  // namespace dravik::test
