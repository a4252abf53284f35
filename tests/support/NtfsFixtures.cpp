#include "NtfsFixtures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace dravik::test {

namespace fs = std::filesystem;

fs::path NtfsFixture(const std::string& name) { return FixtureIn("ntfs", name); }

std::uint32_t NtfsStart() {
  std::ifstream in(NtfsFixture("ntfs.start"));
  std::uint32_t start = 0;
  in >> start;
  EXPECT_NE(start, 0u) << "no partition start in ntfs.start";
  return start;
}

std::vector<NtfsManifestEntry> ReadNtfsManifest(const std::string& name) {
  std::ifstream in(NtfsFixture(name));
  std::vector<NtfsManifestEntry> entries;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    NtfsManifestEntry e;
    fields >> e.sha256 >> e.size >> e.record;
    fields.get();  // the blank before the path
    std::getline(fields, e.path);
    if (!e.path.empty()) entries.push_back(e);
  }
  EXPECT_FALSE(entries.empty()) << "empty manifest " << name;
  return entries;
}

}  // namespace dravik::test
