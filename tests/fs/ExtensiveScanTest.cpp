// The FAT Extensive Scan on volumes damaged after real tools made them: the
// range checks, the tests of single sectors, the search and identification
// of volumes with and without boot sectors, and their extraction.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "ExtensiveFixtures.h"
#include "FatFixtures.h"
#include "TestFiles.h"
#include "disk/BootSector.h"
#include "disk/SectorReader.h"
#include "fs/extensive/ExtensiveScan.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "fs/extensive/ScanRange.h"
#include "fs/fat/FatExtract.h"
#include "fs/fat/FatIdentify.h"
#include "fs/fat/FatStructureSearch.h"
#include "util/ScanControl.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> ReadSector(const SectorReader& reader, std::uint64_t sector) {
  std::vector<std::uint8_t> bytes(kSectorSize);
  EXPECT_TRUE(reader.Read(sector, 1, bytes));
  return bytes;
}

ExtensiveFindings SearchWhole(const SectorReader& reader, std::uint16_t fsType, ScanControl& control) {
  ExtensiveFindings findings;
  RunExtensiveScan(reader, fsType, 0, reader.SectorCount(), 100, findings, control);
  return findings;
}

// The paths of the files the extraction listed.
std::set<std::string> FilePaths(const RecoveryStore& store) {
  std::set<std::string> paths;
  for (const test::ListedItem& item : test::ScanItems(store))
    if (!item.folder) paths.insert(item.path);
  return paths;
}

std::set<std::string> Keys(const std::map<std::string, std::string>& files) {
  std::set<std::string> keys;
  for (const auto& [path, sum] : files) keys.insert(path);
  return keys;
}

TEST(ScanRangeTest, TakesWholeNumbersAndNamesWhatIsWrong) {
  const ScanRange whole = CheckScanRange("0", std::nullopt, 1000);
  EXPECT_TRUE(whole.Usable());
  EXPECT_EQ(whole.start, 0u);
  EXPECT_EQ(whole.sectors, 999u);
  const ScanRange part = CheckScanRange("2048", std::string("4095"), 1000);
  EXPECT_TRUE(part.Usable());
  EXPECT_EQ(part.start, 2048u);
  EXPECT_EQ(part.sectors, 2047u);
  for (const char* start : {"", "-1", "12a", "0x10", " 5"})
    EXPECT_EQ(CheckScanRange(start, std::nullopt, 1000).message, ExtensiveTexts::kStartNotValid) << start;
  for (const char* end : {"", "-7", "1e3"})
    EXPECT_EQ(CheckScanRange("5", std::string(end), 1000).message, ExtensiveTexts::kEndNotValid) << end;
  EXPECT_EQ(CheckScanRange("10", std::string("10"), 1000).message, ExtensiveTexts::kEndNotBigger);
  EXPECT_EQ(CheckScanRange("10", std::string("3"), 1000).message, ExtensiveTexts::kEndNotBigger);
}

// The intact FAT16 boot sector of twin, as mkfs.fat wrote it, and with its
// cluster-size byte changed.
TEST(FatBootSectorTest, GivesTheVolumeOnlyForPowerOfTwoClusterSizes) {
  const auto truth = test::ReadTruth("twin");
  ASSERT_EQ(truth.size(), 2u);
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("twin.vhd"));
  std::vector<std::uint8_t> sector = ReadSector(*opened.reader, truth[0].start);
  ASSERT_TRUE(boot::IsFatBootSector(sector));
  const auto found = FatFromBootSector(sector, truth[0].start);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->fsType, kFat16);
  EXPECT_EQ(found->clusterBase, truth[0].clusterBase);
  EXPECT_EQ(found->sectorsPerCluster, truth[0].sectorsPerCluster);
  EXPECT_EQ(found->firstFatLba, truth[0].firstFat);
  EXPECT_EQ(found->secondFatLba, truth[0].firstFat + truth[0].fatSectors);
  for (const int bad : {0, 3, 6, 255}) {
    sector[13] = static_cast<std::uint8_t>(bad);
    EXPECT_FALSE(FatFromBootSector(sector, truth[0].start)) << bad;
  }
  sector[510] = 0;
  EXPECT_FALSE(boot::IsFatBootSector(sector));
}

// The first sector of noroot's folder Docs, and edits of its "." entry.
TEST(FatDirStartTest, TakesFolderStartsWhoseClustersCanBeAFolders) {
  const auto truth = test::ReadTruth("noroot");
  const std::uint32_t docs = test::LostRootFolders().at("Docs");
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("noroot.vhd"));
  const std::uint64_t at = truth[0].clusterBase + std::uint64_t{docs} * truth[0].sectorsPerCluster;
  std::vector<std::uint8_t> sector = ReadSector(*opened.reader, at);
  const auto record = ParseDirStart(sector, at);
  ASSERT_TRUE(record);
  EXPECT_EQ(record->cluster, docs);
  EXPECT_EQ(record->parentCluster, 0u);
  EXPECT_EQ(record->sector, at);
  EXPECT_FALSE(ParseDirStart(sector, docs)) << "a cluster not below its sector";
  for (const int low : {0, 1, 2}) {
    std::vector<std::uint8_t> edited = sector;
    edited[26] = static_cast<std::uint8_t>(low);
    edited[27] = 0;
    EXPECT_FALSE(ParseDirStart(edited, at)) << "cluster " << low;
  }
  std::vector<std::uint8_t> noParent = sector;
  noParent[33] = 'X';
  EXPECT_FALSE(ParseDirStart(noParent, at));
}

TEST(ExtensiveSearchTest, FindsAnIntactAndABootlessVolumeAtTheirTrueBasesAndClusterSizes) {
  const auto truth = test::ReadTruth("twin");
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("twin.vhd"));
  ScanControl control;
  const ExtensiveFindings findings = SearchWhole(*opened.reader, kFat32, control);
  ASSERT_EQ(findings.fileSystems.size(), 2u);
  EXPECT_EQ(findings.bootSectors, std::vector<std::uint64_t>{truth[0].start});
  for (std::size_t i = 0; i < 2; ++i) {
    const FoundFileSystem& found = findings.fileSystems[i];
    EXPECT_EQ(found.fsType, truth[i].type == "FAT32" ? kFat32 : kFat16) << i;
    EXPECT_EQ(found.clusterBase, truth[i].clusterBase) << i;
    EXPECT_EQ(found.sectorsPerCluster, truth[i].sectorsPerCluster) << i;
    EXPECT_EQ(found.Label(), truth[i].type + " @ " + std::to_string(truth[i].clusterBase));
  }
  EXPECT_EQ(findings.fileSystems[0].bootSector, truth[0].start);
  EXPECT_EQ(findings.fileSystems[1].bootSector, 0u);
  EXPECT_EQ(findings.fileSystems[1].firstFatLba, 0u) << "no boot sector tells where the FAT is";
  // Every folder of both volumes was found and given to its own volume.
  ASSERT_EQ(findings.dirClusters.size(), 8u);
  for (const DirClusterRecord& record : findings.dirClusters)
    EXPECT_EQ(record.fsNumber, record.sector < truth[1].start ? 1 : 2) << record.sector;
}

TEST(ExtensiveSearchTest, BootSectorWithABadClusterSizeIsPassedOver) {
  const auto truth = test::ReadTruth("twin");
  test::TempDir dir;
  const fs::path raw = dir / "twin.raw";
  ASSERT_EQ(test::RunShell("qemu-img convert -f vpc -O raw " + test::Quote(test::ExtensiveFixture("twin.vhd")) + " " +
                           test::Quote(raw)).status, 0);
  test::PatchFile(raw, truth[0].start * kSectorSize + 13, {3});
  const test::OpenedImage opened = test::OpenForSearch(test::WrapRawDisk(raw, dir.Path(), "bad-cluster", "vhd"));
  ScanControl control;
  const ExtensiveFindings findings = SearchWhole(*opened.reader, kFat16, control);
  // Still found from its folders, but not through the boot sector.
  ASSERT_EQ(findings.fileSystems.size(), 2u);
  EXPECT_EQ(findings.fileSystems[0].bootSector, 0u);
  EXPECT_EQ(findings.fileSystems[0].clusterBase, truth[0].clusterBase);
  EXPECT_EQ(findings.fileSystems[0].fsType, kFat16);
}

// A disk of nothing but copies of twin's FAT16 boot sector.
TEST(ExtensiveSearchTest, StopsAtTheBootSectorLimitSayingSo) {
  const auto truth = test::ReadTruth("twin");
  const test::OpenedImage twin = test::OpenForSearch(test::ExtensiveFixture("twin.vhd"));
  const std::vector<std::uint8_t> boot = ReadSector(*twin.reader, truth[0].start);
  constexpr std::size_t kCopies = kMaxBootSectors + 10;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(kCopies * kSectorSize);
  for (std::size_t i = 0; i < kCopies; ++i) bytes.insert(bytes.end(), boot.begin(), boot.end());
  const MemorySource disk(std::move(bytes));
  const SectorReader reader(disk);
  std::vector<std::string> texts;
  ScanControl control([&](const ProgressUpdate& update) { texts.push_back(update.text); });
  const ExtensiveFindings findings = SearchWhole(reader, kFat16, control);
  EXPECT_TRUE(findings.tooManyStructures);
  EXPECT_EQ(findings.bootSectors.size(), kMaxBootSectors + 1);
  EXPECT_NE(std::find(texts.begin(), texts.end(), ExtensiveTexts::kTooMany), texts.end());
}

TEST(ExtensiveSearchTest, NothingFoundWhereNoStructureLies) {
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("twin.vhd"));
  ScanControl control;
  ExtensiveFindings findings;
  RunExtensiveScan(*opened.reader, kFat32, 0, 2000, 100, findings, control);
  EXPECT_TRUE(findings.fileSystems.empty());
  EXPECT_TRUE(findings.dirClusters.empty());
}

// Both volumes of twin, extracted one after the other from one search.
TEST(FatExtractTest, ListsEveryFileOfBothVolumesAndFindsTheLostFats) {
  const auto truth = test::ReadTruth("twin");
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("twin.vhd"));
  ScanControl control;
  const ExtensiveFindings findings = SearchWhole(*opened.reader, kFat32, control);
  ASSERT_EQ(findings.fileSystems.size(), 2u);
  for (std::uint16_t index = 1; index <= 2; ++index) {
    FsParams params = test::FoundOnDisk(findings, index, *opened.reader);
    RecoveryStore store;
    const ResultTree tree = ExtractFatFileSystem(*opened.reader, findings, params, store, control);
    EXPECT_EQ(FilePaths(store), Keys(test::VolumeFiles("twin", index))) << "volume " << index;
    EXPECT_EQ(params.firstFatLba, truth[index - 1].firstFat) << "volume " << index;
    EXPECT_EQ(params.fatSize, truth[index - 1].fatSectors) << "volume " << index;
    EXPECT_TRUE(tree.FindFolder(u"Docs/Sub Folder")) << "volume " << index;
    EXPECT_TRUE(tree.FindFolder(u"Lost Dir")) << "volume " << index;
  }
}

TEST(FatExtractTest, FoldersOfALostRootComeBackAsDirFoldersWithTheirContents) {
  const auto truth = test::ReadTruth("noroot");
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("noroot.vhd"));
  ScanControl control;
  const ExtensiveFindings findings = SearchWhole(*opened.reader, kFat16, control);
  ASSERT_EQ(findings.fileSystems.size(), 1u);
  EXPECT_EQ(findings.fileSystems[0].fsType, kFat16);
  EXPECT_EQ(findings.fileSystems[0].clusterBase, truth[0].clusterBase);
  EXPECT_EQ(findings.fileSystems[0].sectorsPerCluster, truth[0].sectorsPerCluster);

  FsParams params = test::FoundOnDisk(findings, 1, *opened.reader);
  RecoveryStore store;
  ExtractFatFileSystem(*opened.reader, findings, params, store, control);
  // Each file below a folder of the lost root, with "Dir" + cluster for the folder.
  const auto folders = test::LostRootFolders();
  std::set<std::string> expected;
  for (const auto& [path, sum] : test::VolumeFiles("noroot", 1)) {
    const auto slash = path.find('/');
    if (slash == std::string::npos) continue;  // lost with the root
    expected.insert("Dir" + std::to_string(folders.at(path.substr(0, slash))) + path.substr(slash));
  }
  EXPECT_EQ(FilePaths(store), expected);
  EXPECT_EQ(params.firstFatLba, truth[0].firstFat);
}

}  // namespace
}  // namespace dravik
