// dravik scan quick on the NTFS fixture disk as a user runs it: the listing
// and the recovered files against the fixture's manifests.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "NtfsFixtures.h"

namespace dravik {
namespace {

using test::NtfsFixture;
using test::Quote;
using test::RunShell;

using test::Dravik;

// Every manifest record is recovered under one of its names with its checksum.
void ExpectRecovered(const std::vector<test::NtfsManifestEntry>& manifest, const std::map<std::string, std::string>& sums) {
  std::map<std::uint32_t, bool> found;
  for (const auto& entry : manifest) {
    const auto it = sums.find(entry.path);
    found[entry.record] |= it != sums.end();
    if (it != sums.end()) {
      EXPECT_EQ(it->second, entry.sha256) << entry.path;
    }
  }
  for (const auto& [record, ok] : found) EXPECT_TRUE(ok) << "record " << record << " was not recovered";
}

TEST(NtfsCliTest, RecoverEverythingFromTheVhd) {
  test::TempDir out;
  const auto result = RunShell(Dravik("scan quick " + Quote(NtfsFixture("ntfs.vhd")) + " --partition 0 --recover " +
                                      Quote(out.Path()) + " --quiet 2>/dev/null"));
  ASSERT_EQ(result.status, 0);
  const auto sums = test::Sha256Tree(out.Path());
  EXPECT_NE(result.out.find(" files saved into "), std::string::npos) << result.out;
  ExpectRecovered(test::ReadNtfsManifest("live.manifest"), sums);
  ExpectRecovered(test::ReadNtfsManifest("deleted.manifest"), sums);
}

TEST(NtfsCliTest, RecoverASelectedFolder) {
  test::TempDir out;
  const auto result = RunShell(Dravik("scan quick " + Quote(NtfsFixture("ntfs.vhdx")) + " --recover " +
                                      Quote(out.Path()) + " --select compressed --select big/frag-c.bin --quiet 2>/dev/null"));
  ASSERT_EQ(result.status, 0);
  std::map<std::string, std::string> want;
  for (const auto& entry : test::ReadNtfsManifest("live.manifest")) {
    if (entry.path.rfind("compressed/", 0) == 0) want[entry.path] = entry.sha256;
    if (entry.path == "big/frag-c.bin") want["frag-c.bin"] = entry.sha256;  // a file goes into DIR itself
  }
  ASSERT_EQ(want.size(), 4u);
  EXPECT_TRUE(test::Sha256Tree(out.Path()) == want);
}

TEST(NtfsCliTest, ListingShowsTheManifestsAndIsTheSameForVhdAndVhdx) {
  const auto vhd = RunShell(Dravik("scan quick " + Quote(NtfsFixture("ntfs.vhd")) + " --list --quiet 2>/dev/null"));
  const auto vhdx = RunShell(Dravik("scan quick " + Quote(NtfsFixture("ntfs.vhdx")) + " --list --quiet 2>/dev/null"));
  ASSERT_EQ(vhd.status, 0);
  ASSERT_EQ(vhdx.status, 0);
  EXPECT_EQ(vhd.out, vhdx.out);

  // Each line is kind, state, size, modification time, path; the times are
  // checked against the disk's own elsewhere, here only their form.
  std::set<std::string> lines;
  std::istringstream in(vhdx.out);
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::istringstream parts(line);
    for (std::string field; std::getline(parts, field, '\t');) fields.push_back(field);
    ASSERT_EQ(fields.size(), 5u) << line;
    EXPECT_TRUE(fields[3] == "-" || (fields[3].size() == 20 && fields[3][10] == 'T' && fields[3].back() == 'Z'))
        << line;
    lines.insert(fields[0] + "\t" + fields[1] + "\t" + fields[2] + "\t" + fields[4]);
  }
  std::map<std::uint32_t, bool> listed;
  for (const auto& entry : test::ReadNtfsManifest("live.manifest"))
    listed[entry.record] |= lines.count("file\tlive\t" + std::to_string(entry.size) + "\t" + entry.path) != 0;
  for (const auto& [record, ok] : listed) EXPECT_TRUE(ok) << "record " << record << " is not listed as in the manifest";
  for (const auto& entry : test::ReadNtfsManifest("deleted.manifest")) {
    EXPECT_TRUE(lines.count("file\tdeleted\t" + std::to_string(entry.size) + "\t" + entry.path)) << entry.path;
  }
  EXPECT_TRUE(lines.count("folder\tdeleted\t-\toldtree/sub/deeper"));
  EXPECT_TRUE(lines.count("folder\tlive\t-\tLost Dir"));
}

}  // namespace
}  // namespace dravik
