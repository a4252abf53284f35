// The Extensive Scan on volumes mkfs.fat, mkntfs and ntfs-3g made and the fixture script damaged: single sectors, the
// search with and without boot sectors, extraction, against the script's record of each volume and its files.

#include <gtest/gtest.h>

#include <set>

#include "Bytes.h"
#include "ExtensiveFixtures.h"
#include "FatFixtures.h"
#include "TestFiles.h"
#include "disk/BootSector.h"
#include "fs/extensive/ExtensiveScan.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "fs/extensive/ScanRange.h"
#include "fs/fat/FatExtract.h"
#include "fs/fat/FatIdentify.h"
#include "fs/fat/FatStructureSearch.h"
#include "fs/ntfs/NtfsAnalysis.h"
#include "fs/ntfs/NtfsExtract.h"
#include "fs/ntfs/NtfsStructureSearch.h"
#include "util/Utf.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> ReadSector(const SectorReader& reader, std::uint64_t sector) {
  std::vector<std::uint8_t> bytes(kSectorSize);
  EXPECT_TRUE(reader.Read(sector, 1, bytes));
  return bytes;
}

ExtensiveFindings SearchWhole(const SectorReader& reader, std::uint16_t fsType, ScanControl control = ScanControl()) {
  ExtensiveFindings findings;
  RunExtensiveScan(reader, fsType, 0, reader.SectorCount(), 100, findings, control);
  return findings;
}

const NtfsFoundFolder* FolderNamed(const ExtensiveFindings& findings, const std::u16string& name) {
  for (const NtfsFoundFolder& folder : findings.ntfsFolders)
    if (folder.name == name) return &folder;
  return nullptr;
}

TEST(ScanRangeTest, TakesWholeNumbersAndNamesWhatIsWrong) {
  const ScanRange whole = CheckScanRange("0", std::nullopt, 1000);
  const ScanRange part = CheckScanRange("2048", std::string("4095"), 1000);
  EXPECT_TRUE(whole.Usable() && whole.start == 0u && whole.sectors == 999u);
  EXPECT_TRUE(part.Usable() && part.start == 2048u && part.sectors == 2047u);
  for (const char* start : {"", "-1", "12a", "0x10", " 5"})
    EXPECT_EQ(CheckScanRange(start, std::nullopt, 1000).message, ExtensiveTexts::kStartNotValid) << start;
  for (const char* end : {"", "-7", "1e3"})
    EXPECT_EQ(CheckScanRange("5", std::string(end), 1000).message, ExtensiveTexts::kEndNotValid) << end;
  for (const char* end : {"10", "3"}) EXPECT_EQ(CheckScanRange("10", std::string(end), 1000).message, ExtensiveTexts::kEndNotBigger);
}

// An index record of a length or an owner no folder's has.
TEST(ExtensiveSectorTest, IndexRecordsOfNoFolderAreNotTaken) {
  std::vector<std::uint8_t> index(4096, 0);
  const auto put32 = [&](std::size_t offset, std::uint32_t v) { test::PutInt(index, offset, v, 4); };
  std::copy_n("INDX", 4, index.begin());
  put32(ntfs::kIndexAllocatedOffset, 4096 - 24);
  put32(ntfs::kIndexFirstEntryOffset, 40);
  put32(ntfs::kIndexVcnOffset, 3);
  put32(24 + 40 + ntfs::kEntryParentOffset, 64);
  EXPECT_EQ(IndexRecordBytes(index), std::optional<std::size_t>(4096));
  const auto entry = HarvestIndexRecord(index, 777);
  ASSERT_TRUE(entry);
  EXPECT_TRUE(entry->ownerMft == 64u && entry->vcn == 3u && entry->sectors == 8u && entry->sector == 777u);
  for (const std::uint32_t owner : {0u, 4u, 0xFFFFFFFFu}) {  // one of the first records: no folder's
    put32(24 + 40 + ntfs::kEntryParentOffset, owner);
    EXPECT_FALSE(HarvestIndexRecord(index, 777)) << owner;
  }
  put32(ntfs::kIndexAllocatedOffset, 65536);
  EXPECT_FALSE(IndexRecordBytes(index)) << "longer than 64 KiB";
}

// twin: an intact FAT16 volume and a FAT32 one without boot sectors (their bases and cluster sizes: ExtensiveCliTest);
// every folder given to its own volume; the lost FATs found and every file listed. Single sectors: twin's FAT16 boot
// sector with its cluster-size byte changed, the first sector of noroot's folder Docs with its "." entry edited.
TEST(FatExtensiveTest, FindsAndExtractsAnIntactAndABootlessVolume) {
  const auto truth = test::ReadTruth("twin");
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("twin.vhd"));
  std::vector<std::uint8_t> boot = ReadSector(*opened.reader, truth[0].start);
  ASSERT_TRUE(FatFromBootSector(boot, truth[0].start));
  EXPECT_EQ(FatFromBootSector(boot, truth[0].start)->secondFatLba, truth[0].firstFat + truth[0].fatSectors);
  for (const int bad : {0, 3, 6, 255}) {
    boot[13] = static_cast<std::uint8_t>(bad);
    EXPECT_FALSE(FatFromBootSector(boot, truth[0].start)) << bad;
  }
  boot[510] = 0;
  EXPECT_FALSE(boot::IsFatBootSector(boot));
  ScanControl control;
  const ExtensiveFindings findings = SearchWhole(*opened.reader, kFat32);
  ASSERT_EQ(findings.fileSystems.size(), 2u);
  EXPECT_EQ(findings.bootSectors, std::vector<std::uint64_t>{truth[0].start});
  ASSERT_EQ(findings.dirClusters.size(), 8u);
  for (const DirClusterRecord& record : findings.dirClusters)
    EXPECT_EQ(record.fsNumber, record.sector < truth[1].start ? 1 : 2) << record.sector;
  for (std::uint16_t index = 1; index <= 2; ++index) {
    SCOPED_TRACE(index);
    const FoundFileSystem& found = findings.fileSystems[index - 1];
    const test::VolumeTruth& t = truth[index - 1];
    EXPECT_EQ(found.bootSector, index == 1 ? t.start : 0u);
    EXPECT_TRUE(index == 1 || found.firstFatLba == 0u) << "no boot sector tells where the FAT is";
    FsParams params = test::FoundOnDisk(findings, index, *opened.reader);
    RecoveryStore store;
    const ResultTree tree = ExtractFatFileSystem(*opened.reader, findings, params, store, control);
    std::set<std::string> paths;
    for (const test::ListedItem& item : test::ScanItems(store))
      if (!item.folder) paths.insert(item.path);
    EXPECT_EQ(paths, test::Keys(test::VolumeFiles("twin", index)));
    EXPECT_TRUE(params.firstFatLba == t.firstFat && params.fatSize == t.fatSectors);
    EXPECT_TRUE(tree.FindFolder(u"Docs/Sub Folder") && tree.FindFolder(u"Lost Dir"));
  }
  // noroot lost its root folder: its FAT is still found, each lost root's folder back as "Dir" + cluster, with files.
  const auto lostTruth = test::ReadTruth("noroot");
  const test::OpenedImage noroot = test::OpenForSearch(test::ExtensiveFixture("noroot.vhd"));
  const ExtensiveFindings lost = SearchWhole(*noroot.reader, kFat16);
  ASSERT_EQ(lost.fileSystems.size(), 1u);
  EXPECT_TRUE(lost.fileSystems[0].clusterBase == lostTruth[0].clusterBase &&
              lost.fileSystems[0].sectorsPerCluster == lostTruth[0].sectorsPerCluster);
  FsParams params = test::FoundOnDisk(lost, 1, *noroot.reader);
  RecoveryStore store;
  ExtractFatFileSystem(*noroot.reader, lost, params, store, control);
  EXPECT_EQ(params.firstFatLba, lostTruth[0].firstFat);
  const auto folders = test::LostRootFolders();
  const std::uint32_t docs = folders.at("Docs");
  const std::uint64_t at = lostTruth[0].clusterBase + std::uint64_t{docs} * lostTruth[0].sectorsPerCluster;
  const std::vector<std::uint8_t> dir = ReadSector(*noroot.reader, at);
  const auto record = ParseDirStart(dir, at);
  ASSERT_TRUE(record);
  EXPECT_TRUE(record->cluster == docs && record->parentCluster == 0u && record->sector == at);
  EXPECT_FALSE(ParseDirStart(dir, docs)) << "a cluster not below its sector";
  for (const auto& [offset, value] :
       std::vector<std::pair<std::size_t, std::uint8_t>>{{26, 0}, {26, 1}, {26, 2}, {33, 'X'}}) {
    std::vector<std::uint8_t> edited = dir;
    edited[offset] = value;
    if (offset == 26) edited[27] = 0;
    EXPECT_FALSE(ParseDirStart(edited, at)) << offset << " = " << int{value};
  }
  std::set<std::string> expected, got;
  for (const auto& [path, sum] : test::VolumeFiles("noroot", 1))
    if (const auto slash = path.find('/'); slash != std::string::npos)  // files in the root are lost with it
      expected.insert("Dir" + std::to_string(folders.at(path.substr(0, slash))) + path.substr(slash));
  for (const test::ListedItem& item : test::ScanItems(store))
    if (!item.folder) got.insert(item.path);
  EXPECT_EQ(got, expected);
}

// A boot sector the identification must set aside: the volume is found from its folders, at its true base and size.
TEST(ExtensiveSearchTest, BootSectorsThatMissTheFoldersArePassedOver) {
  // clusterSizeTimes 0: the cluster size byte made 3
  const struct { const char* image; std::uint16_t fsType; std::uint32_t clusterSizeTimes; } cases[] = {
      {"twin.vhd", kFat16, 0}, {"ntfsok.vhd", kNtfs, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image);
    const auto truth = test::ReadTruth(fs::path(c.image).stem().string());
    test::TempDir dir;
    const fs::path raw = dir / "disk.raw";
    ASSERT_EQ(test::RunShell("qemu-img convert -f vpc -O raw " + test::Quote(test::ExtensiveFixture(c.image)) + " " +
                             test::Quote(raw)).status, 0);
    test::PatchFile(raw, truth[0].start * kSectorSize + 13,
                    {static_cast<std::uint8_t>(c.clusterSizeTimes ? c.clusterSizeTimes * truth[0].sectorsPerCluster : 3)});
    const test::OpenedImage opened = test::OpenForSearch(test::WrapRawDisk(raw, dir.Path(), "damaged", "vhd"));
    const ExtensiveFindings findings = SearchWhole(*opened.reader, c.fsType);
    ASSERT_GE(findings.fileSystems.size(), 1u);
    EXPECT_TRUE(findings.fileSystems[0].bootSector == 0u && findings.fileSystems[0].fsType == c.fsType);
    EXPECT_EQ(findings.fileSystems[0].clusterBase, c.fsType == kNtfs ? truth[0].start : truth[0].clusterBase);
    EXPECT_EQ(findings.fileSystems[0].sectorsPerCluster, truth[0].sectorsPerCluster);
  }
}

// A disk of nothing but copies of twin's FAT16 boot sector.
TEST(ExtensiveSearchTest, StopsAtTheBootSectorLimitSayingSo) {
  const auto truth = test::ReadTruth("twin");
  const test::OpenedImage twin = test::OpenForSearch(test::ExtensiveFixture("twin.vhd"));
  const std::vector<std::uint8_t> boot = ReadSector(*twin.reader, truth[0].start);
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < kMaxBootSectors + 10; ++i) bytes.insert(bytes.end(), boot.begin(), boot.end());
  const MemorySource disk(std::move(bytes));
  std::vector<std::string> texts;
  const ExtensiveFindings findings =
      SearchWhole(SectorReader(disk), kFat16, ScanControl([&](const ProgressUpdate& update) { texts.push_back(update.text); }));
  EXPECT_TRUE(findings.tooManyStructures && findings.bootSectors.size() == kMaxBootSectors + 1);
  EXPECT_NE(std::find(texts.begin(), texts.end(), ExtensiveTexts::kTooMany), texts.end());
}

// ntfsok found through its boot sector: its end is the backup's sector, and every folder has the number its place in
// the MFT (one run here) gives, whether an index entry, its index root or its neighbour told it.
TEST(NtfsExtensiveTest, FindsAnIntactVolumeThroughItsBootSectorAndNumbersItsFolders) {
  const auto truth = test::ReadTruth("ntfsok");
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("ntfsok.vhd"));
  const ExtensiveFindings findings = SearchWhole(*opened.reader, kNtfs);
  ASSERT_TRUE(findings.bootSectors.size() == 2u && findings.fileSystems.size() == 1u);
  EXPECT_EQ(findings.bootSectors[0], truth[0].start);
  const FoundFileSystem& found = findings.fileSystems[0];
  EXPECT_EQ(found.Label(), "NTFS @ " + std::to_string(truth[0].start));
  EXPECT_TRUE(found.bootSector == truth[0].start && found.sectorsPerCluster == truth[0].sectorsPerCluster);
  EXPECT_TRUE(found.fsEnd == findings.bootSectors[1] && found.indexRecordSectors == 8u);
  ASSERT_TRUE(FolderNamed(findings, u"."));
  EXPECT_EQ(FolderNamed(findings, u".")->recordLba, found.mftStart + 2 * 5);
  for (const NtfsFoundFolder& folder : findings.ntfsFolders) {
    ASSERT_GE(folder.recordLba, found.mftStart) << ToUtf8(folder.name);
    const std::uint64_t number = (folder.recordLba - found.mftStart) / 2;
    EXPECT_TRUE(folder.mftNumber == number && folder.fsNumber == 1) << ToUtf8(folder.name);
  }
  for (const char16_t* name : {u"Alpha", u"Beta", u"Inner", u"Void", u"$Extend"}) EXPECT_TRUE(FolderNamed(findings, name));
  EXPECT_NE(FolderNamed(findings, u"Alpha")->indexStartCluster, 0u) << "30 files need an index record";
  EXPECT_EQ(FolderNamed(findings, u"Inner")->indexStartCluster, 0u) << "2 files fit in the index root";
}

// ntfslost (ntfsok without MBR and boot sectors; where such a volume is found and ends: NtfsVolumeDamageTest): its
// files list once per folder number, and a volume made to end early does not take the files beyond it.
TEST(NtfsExtensiveTest, ExtractsAVolumeWithoutBootSectors) {
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("ntfslost.vhd"));
  const ExtensiveFindings findings = SearchWhole(*opened.reader, kNtfs);
  ASSERT_TRUE(findings.bootSectors.empty() && findings.fileSystems.size() == 1u);
  const FsParams params = test::FoundOnDisk(findings, 1, *opened.reader);
  RecoveryStore store;
  ScanControl control;
  const ResultTree tree = ExtractNtfsFileSystem(findings, params, store, control);
  EXPECT_EQ(test::NtfsUserFilePaths(store), test::Keys(test::VolumeFiles("ntfslost", 1)));
  EXPECT_TRUE(tree.FindFolder(u"Beta/Inner/Void") && tree.FindFolder(u"Lost Dir"));
  std::set<std::uint32_t> ids;
  for (const FolderRecord& folder : store.Folders()) EXPECT_TRUE(ids.insert(folder.id).second) << folder.id;
  FsParams narrow = params;
  narrow.fsEnd = FolderNamed(findings, u".")->recordLba;
  RecoveryStore few;
  ExtractNtfsFileSystem(findings, narrow, few, control);
  EXPECT_LT(few.Files().size(), store.Files().size());
  for (const FileRecord& file : few.Files()) EXPECT_LE(file.locator, narrow.fsEnd);
}

// ntfspair: mkntfs made both volumes alike, so their record numbers repeat; each folder must be given to the volume
// it lies in. The first is found through its boot sector though its MFT record 0 and its copy are gone; the second
// from its folders alone. The first's deleted folder, with no index entry left to name it, is numbered by its place
// and comes back deleted with its 24 deleted files.
TEST(NtfsExtensiveTest, TwoVolumesOfOneDiskEachWithItsOwnFoldersDeletedOnesIncluded) {
  const auto truth = test::ReadTruth("ntfspair");
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("ntfspair.vhd"));
  const ExtensiveFindings findings = SearchWhole(*opened.reader, kNtfs);
  ASSERT_EQ(findings.fileSystems.size(), 2u);
  const FoundFileSystem& first = findings.fileSystems[0];
  const FoundFileSystem& second = findings.fileSystems[1];
  EXPECT_TRUE(first.bootSector == truth[0].start && first.sectorsPerCluster == truth[0].sectorsPerCluster);
  EXPECT_TRUE(second.bootSector == 0u && second.clusterBase == truth[1].start &&
              second.sectorsPerCluster == truth[1].sectorsPerCluster);
  for (const NtfsFoundFolder& folder : findings.ntfsFolders) {
    EXPECT_EQ(folder.fsNumber, folder.recordLba < truth[1].start ? 1 : 2) << ToUtf8(folder.name);
    EXPECT_TRUE(folder.recordLba >= truth[1].start || folder.mftNumber == (folder.recordLba - first.mftStart) / 2);
  }
  ASSERT_TRUE(FolderNamed(findings, u"Gone") && FolderNamed(findings, u"Kept"));
  EXPECT_TRUE(FolderNamed(findings, u"Gone")->deleted && !FolderNamed(findings, u"Kept")->deleted);
  RecoveryStore store;
  ScanControl control;
  ExtractNtfsFileSystem(findings, test::FoundOnDisk(findings, 1, *opened.reader), store, control);
  const FolderRecord* gone = nullptr;
  for (const FolderRecord& folder : store.Folders())
    if (folder.name == u"Gone") gone = &folder;
  ASSERT_TRUE(gone);
  EXPECT_TRUE(gone->deleted && gone->parentId == kNtfsRootId);
  std::size_t inGone = 0, deleted = 0;
  for (const FileRecord& file : store.Files())
    if (file.parentId == gone->id) ++inGone, deleted += file.deleted;
  EXPECT_TRUE(inGone == 24u && deleted == 24u) << inGone << " files in Gone, " << deleted << " of them deleted";
  for (const auto& path : test::NtfsUserFilePaths(store))
    EXPECT_TRUE(path.rfind("Kept/", 0) == 0 || path.rfind("Gone/", 0) == 0) << path;
}

// Folders with no index entry to name them take their number from the folder before them: half the sector distance
// on, or the next number when the distance is odd or there is no folder before.
TEST(NtfsExtensiveTest, FoldersWithoutIndexEntriesAreNumberedByTheirPlace) {
  const MemorySource disk(std::vector<std::uint8_t>(64 * kSectorSize, 0));
  ExtensiveFindings findings;
  for (const std::uint64_t lba : {900u, 1000u, 1002u, 1007u, 1011u}) {
    findings.ntfsFolders.emplace_back();
    findings.ntfsFolders.back().recordLba = lba;
  }
  findings.ntfsFolders[1].mftNumber = 40;  // as an index entry would have told
  ScanControl control;
  AssignMftNumbers(SectorReader(disk), findings, control);
  std::vector<std::uint32_t> numbers;
  for (const NtfsFoundFolder& folder : findings.ntfsFolders) numbers.push_back(folder.mftNumber);
  EXPECT_EQ(numbers, (std::vector<std::uint32_t>{2, 40, 41, 42, 44}));
}

}  // namespace
}  // namespace dravik
