// A 3 TiB VHDX whose NTFS and FAT32 partitions start past 2^32 sectors:
// the table against mmls, the listings against fls, the saved files against
// the manifests; and the same disk without its table, found by the search.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "FatFixtures.h"
#include "NtfsFixtures.h"
#include "TestFiles.h"
#include "disk/PartitionTable.h"
#include "disk/SectorReader.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::RunShell;

fs::path LargeFixture(const std::string& name) { return test::FixtureIn("large", name); }

using test::Dravik;

struct LayoutLine {
  std::uint64_t start = 0;
  std::uint64_t sectors = 0;
  std::string kind;
};

std::vector<LayoutLine> Layout() {
  std::ifstream in(LargeFixture("large.layout"));
  std::vector<LayoutLine> lines;
  for (LayoutLine line; in >> line.start >> line.sectors >> line.kind;) lines.push_back(line);
  return lines;
}

// "SHA256 SIZE PATH" lines as path -> sha256.
std::map<std::string, std::string> Manifest(const std::string& name) {
  std::ifstream in(LargeFixture(name));
  std::map<std::string, std::string> files;
  std::string sha, size, path;
  while (in >> sha >> size && std::getline(in >> std::ws, path)) files[path] = sha;
  return files;
}

// The live files fls lists below the volume's root, without the NTFS
// metadata files.
std::set<std::string> FlsFiles(std::uint64_t start) {
  const auto fls = RunShell("fls -r -p -o " + std::to_string(start) + " " + Quote(LargeFixture("large.raw")));
  EXPECT_EQ(fls.status, 0);
  std::set<std::string> files;
  std::istringstream lines(fls.out);
  for (std::string line; std::getline(lines, line);) {
    const auto tab = line.find('\t');
    if (line.rfind("r/r ", 0) != 0 || line.find(" * ") != std::string::npos || tab == std::string::npos) continue;
    const std::string path = line.substr(tab + 1);
    if (path[0] == '$' || path.find(':') != std::string::npos) continue;  // metadata, named streams
    if (path.find("(Volume Label Entry)") != std::string::npos) continue;
    files.insert(path);
  }
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
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, '\t');) fields.push_back(field);
    if (fields.size() != 5 || fields[0] != "file" || fields[1] != "live" || fields[4][0] == '$') continue;
    files.insert(fields[4]);
  }
  return files;
}

TEST(LargeDiskTest, TheGptPartitionsPastTwoTebibytesAreListedAsMmlsShowsThem) {
  const auto layout = Layout();
  ASSERT_EQ(layout.size(), 2u);
  const auto mmls = RunShell("mmls " + Quote(LargeFixture("large.raw")));
  for (const LayoutLine& line : layout) {
    char row[64];
    std::snprintf(row, sizeof row, "%010llu   %010llu", static_cast<unsigned long long>(line.start),
                  static_cast<unsigned long long>(line.start + line.sectors - 1));
    EXPECT_NE(mmls.out.find(row), std::string::npos) << "mmls does not show " << row;
  }

  VirtualDisk disk;
  ASSERT_TRUE(OpenImage(disk, LargeFixture("large.vhdx"), true).Usable());
  const SectorReader reader(disk);
  PartitionTable table;
  ReadDrivePartitions(reader, table);
  const std::vector<PartitionEntry> want{{layout[0].start, layout[0].sectors, kNtfs},
                                         {layout[1].start, layout[1].sectors, kFat32}};
  EXPECT_EQ(table.Entries(), want);

  // The texts print the numbers in full.
  const auto text = RunShell(Dravik("partitions --quiet " + Quote(LargeFixture("large.vhdx"))));
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("Partition 0: NTFS, start 5000001536, 131072 sectors, end 5000132607, 64 MB (Approx)"),
            std::string::npos)
      << text.out;
  EXPECT_NE(text.out.find("Partition 1: FAT32, start 6000001024, 131072 sectors, end 6000132095"), std::string::npos)
      << text.out;
}

TEST(LargeDiskTest, BothVolumesListAsFlsAndSaveAsTheirManifests) {
  const auto layout = Layout();
  ASSERT_EQ(layout.size(), 2u);
  const fs::path image = LargeFixture("large.vhdx");
  for (std::size_t i = 0; i < layout.size(); ++i) {
    SCOPED_TRACE(layout[i].kind);
    const auto theirs = FlsFiles(layout[i].start);
    ASSERT_FALSE(theirs.empty());
    EXPECT_EQ(ListedFiles(image, i), theirs);

    test::TempDir out;
    const auto saved = RunShell(Dravik("scan quick --quiet --partition " + std::to_string(i) + " " + Quote(image) +
                                       " --recover " + Quote(out.Path())) +
                                " 2>&1");
    EXPECT_EQ(saved.status, 0) << saved.out;
    std::map<std::string, std::string> got;
    for (const auto& [path, sha] : test::Sha256Tree(out.Path()))
      if (path[0] != '$') got[path] = sha;
    EXPECT_EQ(got, Manifest(layout[i].kind + ".manifest"));
  }
}

TEST(LargeDiskTest, WithoutItsTableTheSearchFindsBothVolumes) {
  const auto layout = Layout();
  ASSERT_EQ(layout.size(), 2u);
  const auto text = RunShell(Dravik("partitions --quiet --json " + Quote(LargeFixture("lost.vhdx"))));
  ASSERT_EQ(text.status, 0) << text.out;
  for (const LayoutLine& line : layout)
    EXPECT_NE(text.out.find("\"start\":" + std::to_string(line.start) + ","), std::string::npos) << text.out;
  // The volumes read the same through the found entries.
  EXPECT_EQ(ListedFiles(LargeFixture("lost.vhdx"), 1), FlsFiles(layout[1].start));
}

}  // namespace
}  // namespace dravik
