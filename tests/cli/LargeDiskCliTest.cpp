// A 3 TiB VHDX whose NTFS and FAT32 partitions start past 2^32 sectors, read through the command: the table against
// mmls, the listings against fls, the saved files against the manifests; and the same disk without its table, found by
// the search.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "Oracles.h"
#include "TestFiles.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Dravik;
using test::Quote;
using test::RunShell;

fs::path LargeFixture(const std::string& name) { return test::FixtureIn("large", name); }

// Live files below the volume's root as fls lists them, without the NTFS metadata files and named streams.
std::set<std::string> FlsFiles(std::uint64_t start) {
  std::set<std::string> files;
  for (const test::FlsItem& item : test::Fls(LargeFixture("large.raw"), start))
    if (!item.folder && !item.deleted && !item.virtualEntry && item.path[0] != '$' &&
        item.path.find(':') == std::string::npos && item.path.find("(Volume Label Entry)") == std::string::npos)
      files.insert(item.path);
  return files;
}

// Live files of dravik's --list, without the NTFS metadata files.
std::set<std::string> ListedFiles(const fs::path& image, std::size_t partition) {
  const auto listed =
      RunShell(Dravik("scan quick --quiet --list --partition " + std::to_string(partition) + " " + Quote(image)) +
               " 2>/dev/null");
  EXPECT_EQ(listed.status, 0);
  std::set<std::string> files;
  std::istringstream lines(listed.out);
  for (std::string line; std::getline(lines, line);) {
    const auto f = test::Split(line, '\t');
    if (f.size() == 5 && f[0] == "file" && f[1] == "live" && f[4][0] != '$') files.insert(f[4]);
  }
  return files;
}

// "SHA256 SIZE PATH" lines as path -> sha256.
std::map<std::string, std::string> Manifest(const std::string& name) {
  std::ifstream in(LargeFixture(name));
  std::map<std::string, std::string> files;
  std::string sha, size, path;
  while (in >> sha >> size && std::getline(in >> std::ws, path)) files[path] = sha;
  return files;
}

TEST(LargeDiskTest, PartitionsPastTwoTebibytesListAsMmlsAndFlsSaveAsTheirManifestsAndAreFoundWithoutTheTable) {
  const fs::path image = LargeFixture("large.vhdx");
  const auto mmls = test::Mmls(LargeFixture("large.raw"));
  ASSERT_EQ(mmls.size(), 2u);
  ASSERT_GT(mmls[0].start, 1ULL << 32);
  const auto text = RunShell(Dravik("partitions --quiet " + Quote(image)));
  EXPECT_EQ(text.status, 0);
  const char* kinds[] = {"ntfs", "fat32"};
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(kinds[i]);
    const std::string start = std::to_string(mmls[i].start), end = std::to_string(mmls[i].start + mmls[i].length - 1);
    EXPECT_NE(text.out.find("Partition " + std::to_string(i) + ": " + (i ? "FAT32" : "NTFS") + ", start " + start +
                            ", " + std::to_string(mmls[i].length) + " sectors, end " + end),
              std::string::npos)
        << text.out;
    EXPECT_EQ(ListedFiles(image, i), FlsFiles(mmls[i].start));

    test::TempDir out;
    const auto saved = RunShell(Dravik("scan quick --quiet --partition " + std::to_string(i) + " " + Quote(image) +
                                       " --recover " + Quote(out.Path())) + " 2>&1");
    EXPECT_EQ(saved.status, 0) << saved.out;
    std::map<std::string, std::string> got;
    for (const auto& [path, sha] : test::Sha256Tree(out.Path()))
      if (path[0] != '$') got[path] = sha;
    EXPECT_EQ(got, Manifest(std::string(kinds[i]) + ".manifest"));
  }
  // Without its table the search finds both volumes, and they read the same through the entries found.
  const auto lost = RunShell(Dravik("partitions --quiet --json " + Quote(LargeFixture("lost.vhdx"))));
  ASSERT_EQ(lost.status, 0) << lost.out;
  for (const test::MmlsRow& row : mmls)
    EXPECT_NE(lost.out.find("\"start\":" + std::to_string(row.start) + ","), std::string::npos) << lost.out;
  EXPECT_EQ(ListedFiles(LargeFixture("lost.vhdx"), 1), FlsFiles(mmls.at(1).start));
}

}  // namespace
}  // namespace dravik
