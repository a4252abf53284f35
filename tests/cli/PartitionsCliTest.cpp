// dravik partitions and dravik params as a user runs them, against the
// fixture script's layouts and fsstat.

#include <gtest/gtest.h>

#include <regex>

#include "PartitionFixtures.h"
#include "TestFiles.h"

namespace dravik {
namespace {

using test::PartitionFixture;
using test::Quote;
using test::RunShell;

using test::Dravik;

// The "partitions" array of `dravik partitions --json`, with each index
// checked against its position.
std::vector<PartitionEntry> ParsePartitionsJson(const std::string& json) {
  static const std::regex item(
      R"re(\{"index":(\d+),"start":(\d+),"sectors":(\d+),"code":(\d+),"type":"([A-Z0-9]+)"\})re");
  std::vector<PartitionEntry> entries;
  for (auto it = std::sregex_iterator(json.begin(), json.end(), item); it != std::sregex_iterator(); ++it) {
    const std::smatch& m = *it;
    EXPECT_EQ(std::stoul(m[1]), entries.size());
    PartitionEntry entry{static_cast<std::uint32_t>(std::stoul(m[2])), static_cast<std::uint32_t>(std::stoul(m[3])),
                         static_cast<std::uint16_t>(std::stoul(m[4]))};
    EXPECT_EQ(m[5].str(), FsName(entry.code));
    entries.push_back(entry);
  }
  return entries;
}

// A number member of a flat JSON object; 0xFFFFFFFF when it is missing.
std::uint32_t Number(const std::string& json, const std::string& key) {
  const std::regex member("\"" + key + "\":(\\d+)");
  std::smatch m;
  if (!std::regex_search(json, m, member)) {
    ADD_FAILURE() << "no " << key << " in " << json;
    return 0xFFFFFFFF;
  }
  return static_cast<std::uint32_t>(std::stoul(m[1]));
}

FsParams ParseParamsJson(const std::string& json) {
  FsParams p;
  p.fsType = static_cast<std::uint16_t>(Number(json, "fsType"));
  p.partitionStart = Number(json, "partitionStart");
  p.partitionSectors = Number(json, "partitionSectors");
  p.sectorsPerCluster = Number(json, "sectorsPerCluster");
  p.reservedSectors = Number(json, "reservedSectors");
  p.fatSize = Number(json, "fatSize");
  p.firstFatLba = Number(json, "firstFatLba");
  p.secondFatLba = Number(json, "secondFatLba");
  p.rootDirSectors = Number(json, "rootDirSectors");
  p.rootStart = Number(json, "rootStart");
  p.clusterBase = Number(json, "clusterBase");
  p.mftStart = Number(json, "mftStart");
  p.mftMirrorStart = Number(json, "mftMirrorStart");
  p.mftRecordSectors = Number(json, "mftRecordSectors");
  p.indexRecordSectors = Number(json, "indexRecordSectors");
  p.lastSector = Number(json, "lastSector");
  return p;
}

TEST(CliPartitionsTest, JsonListsTheExtendedDisksLayout) {
  for (const char* image : {"extended.vhdx", "extended.vhd"}) {
    const auto result = RunShell(Dravik("partitions --quiet --json " + Quote(PartitionFixture(image))));
    ASSERT_EQ(result.status, 0) << image;
    EXPECT_EQ(ParsePartitionsJson(result.out), test::ListedEntries(test::ReadLayout("extended"))) << result.out;
  }
}

// With the table gone, the default is to search.
TEST(CliPartitionsTest, SearchesADiskWithoutATable) {
  const auto result = RunShell(Dravik("partitions --quiet --json " + Quote(PartitionFixture("sparse-64g.vhdx"))));
  ASSERT_EQ(result.status, 0);
  EXPECT_EQ(ParsePartitionsJson(result.out), test::ReadLayout("sparse-64g")) << result.out;
  const auto never =
      RunShell(Dravik("partitions --quiet --no-search " + Quote(PartitionFixture("sparse-64g.vhdx"))));
  EXPECT_EQ(never.status, 0);
  EXPECT_EQ(never.out, "No FAT16, FAT32 or NTFS partition was found.\n");
}

TEST(CliParamsTest, JsonAgreesWithFsstat) {
  const auto layout = test::ListedEntries(test::ReadLayout("mbr"));
  for (std::size_t i = 0; i < layout.size(); ++i) {
    SCOPED_TRACE(std::string(FsName(layout[i].code)) + " partition " + std::to_string(i));
    const auto result = RunShell(Dravik("params --quiet --json --partition " + std::to_string(i) + " " +
                                        Quote(PartitionFixture("mbr.vhdx"))));
    ASSERT_EQ(result.status, 0);
    const FsParams params = ParseParamsJson(result.out);
    EXPECT_EQ(params.fsType, layout[i].code);
    EXPECT_EQ(params.partitionStart, layout[i].start);
    EXPECT_EQ(params.partitionSectors, layout[i].sectors);
    test::ExpectParamsMatchFsstat(params, test::Fsstat(PartitionFixture("mbr.raw"), layout[i].start),
                                  layout[i].start);
  }
}

TEST(CliParamsTest, LostFat16BootSectorIsCalculated) {
  const auto layout = test::ListedEntries(test::ReadLayout("mbr"));
  ASSERT_EQ(layout.size(), 3u);
  ASSERT_EQ(layout[0].code, kFat16);
  test::DiskCopy copy("mbr");
  copy.ZeroSector(layout[0].start);
  const auto image = copy.Wrapped("vhdx");
  const auto report = test::Fsstat(PartitionFixture("mbr.raw"), layout[0].start);

  const auto text = RunShell(Dravik("params --quiet --partition 0 " + Quote(image)));
  ASSERT_EQ(text.status, 0) << text.out;
  EXPECT_NE(text.out.find("File System          : FAT16\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("SPC                       : " + std::to_string(report.clusterBytes / 512) + "\n"),
            std::string::npos)
      << text.out;

  const auto json = RunShell(Dravik("params --quiet --json --partition 0 " + Quote(image)));
  ASSERT_EQ(json.status, 0);
  test::ExpectParamsMatchFsstat(ParseParamsJson(json.out), report, layout[0].start);

  // --verbose says why the boot sector was not used; without it nothing is said.
  const std::string why = "dravik: sector " + std::to_string(layout[0].start) + ": no boot sector";
  const auto verbose = RunShell(Dravik("params --quiet --verbose --partition 0 " + Quote(image) + " 2>&1 >/dev/null"));
  EXPECT_NE(verbose.out.find(why), std::string::npos) << verbose.out;
  const auto plain = RunShell(Dravik("params --quiet --partition 0 " + Quote(image) + " 2>&1 >/dev/null"));
  EXPECT_EQ(plain.out.find(why), std::string::npos) << plain.out;
}

TEST(CliParamsTest, NoSuchPartition) {
  ASSERT_EQ(test::ListedEntries(test::ReadLayout("mbr")).size(), 3u);
  const auto result =
      RunShell(Dravik("params --quiet --partition 9 " + Quote(PartitionFixture("mbr.vhdx")) + " 2>&1"));
  EXPECT_EQ(result.status, 1);
  EXPECT_NE(result.out.find("there is no partition 9; the disk has 3"), std::string::npos) << result.out;
  EXPECT_EQ(RunShell(Dravik("params " + Quote(PartitionFixture("mbr.vhdx")) + " 2>/dev/null")).status, 2)
      << "--partition is required";
}

}  // namespace
}  // namespace dravik
