// The NTFS Extensive Scan on a volume that mkntfs and ntfs-3g made: found
// through its boot sector, and, with its MBR and both boot sectors zeroed,
// from its folders' records and index records alone; the numbering of the
// found folders, and the extraction of the files the fixture wrote. Two
// volumes in one disk, one without its first MFT record and with a deleted
// folder, the other without boot sectors. (Stops and pauses:
// tests/util/LongJobStopTest.cpp.)

#include <gtest/gtest.h>

#include <set>

#include "ExtensiveFixtures.h"
#include "TestFiles.h"
#include "disk/SectorReader.h"
#include "fs/extensive/ExtensiveScan.h"
#include "fs/ntfs/NtfsAnalysis.h"
#include "fs/ntfs/NtfsExtract.h"
#include "fs/ntfs/NtfsStructureSearch.h"
#include "util/ScanControl.h"
#include "util/Utf.h"
#include "vdisk/ByteSource.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;

ExtensiveFindings SearchWhole(const SectorReader& reader) {
  ScanControl control;
  ExtensiveFindings findings;
  RunExtensiveScan(reader, kNtfs, 0, reader.SectorCount(), 100, findings, control);
  return findings;
}

const NtfsFoundFolder* FolderNamed(const ExtensiveFindings& findings, const std::u16string& name) {
  for (const NtfsFoundFolder& folder : findings.ntfsFolders)
    if (folder.name == name) return &folder;
  return nullptr;
}

TEST(NtfsExtensiveSearchTest, FindsAnIntactVolumeThroughItsBootSectorAndNumbersItsFolders) {
  const auto truth = test::ReadTruth("ntfsok");
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("ntfsok.vhd"));
  const ExtensiveFindings findings = SearchWhole(*opened.reader);
  // The boot sector and its copy in the volume's last sector.
  ASSERT_EQ(findings.bootSectors.size(), 2u);
  EXPECT_EQ(findings.bootSectors[0], truth[0].start);
  ASSERT_EQ(findings.fileSystems.size(), 1u);
  const FoundFileSystem& found = findings.fileSystems[0];
  EXPECT_EQ(found.Label(), "NTFS @ " + std::to_string(truth[0].start));
  EXPECT_EQ(found.bootSector, truth[0].start);
  EXPECT_EQ(found.sectorsPerCluster, truth[0].sectorsPerCluster);
  EXPECT_EQ(found.fsEnd, findings.bootSectors[1]);
  EXPECT_EQ(found.indexRecordSectors, 8u);
  // The root is record 5 of the MFT the boot sector names.
  const NtfsFoundFolder* root = FolderNamed(findings, u".");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->recordLba, found.mftStart + 2 * 5);
  // Every folder has the number its place in the MFT (one run here) gives,
  // whether an index entry, its index root or its neighbour told it.
  for (const NtfsFoundFolder& folder : findings.ntfsFolders) {
    ASSERT_GE(folder.recordLba, found.mftStart) << ToUtf8(folder.name);
    EXPECT_EQ(folder.mftNumber, (folder.recordLba - found.mftStart) / 2) << ToUtf8(folder.name);
    EXPECT_EQ(folder.fsNumber, 1) << ToUtf8(folder.name);
  }
  for (const char16_t* name : {u"Alpha", u"Beta", u"Inner", u"Void", u"$Extend"})
    EXPECT_TRUE(FolderNamed(findings, name)) << ToUtf8(name);
  EXPECT_NE(FolderNamed(findings, u"Alpha")->indexStartCluster, 0u) << "30 files need an index record";
  EXPECT_EQ(FolderNamed(findings, u"Inner")->indexStartCluster, 0u) << "2 files fit in the index root";
}

TEST(NtfsExtensiveSearchTest, FindsAVolumeWithoutBootSectorsAtItsTrueStartAndClusterSize) {
  const auto truth = test::ReadTruth("ntfslost");
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("ntfslost.vhd"));
  const ExtensiveFindings findings = SearchWhole(*opened.reader);
  EXPECT_TRUE(findings.bootSectors.empty());
  ASSERT_EQ(findings.fileSystems.size(), 1u);
  const FoundFileSystem& found = findings.fileSystems[0];
  EXPECT_EQ(found.clusterBase, truth[0].start);
  EXPECT_EQ(found.sectorsPerCluster, truth[0].sectorsPerCluster);
  EXPECT_EQ(found.bootSector, 0u);
  // The end comes from the volume, not from the search: no further than
  // the intact volume's boot sector puts its backup, and within its last
  // cluster or two.
  const test::OpenedImage intact = test::OpenForSearch(test::ExtensiveFixture("ntfsok.vhd"));
  const std::uint64_t backup = SearchWhole(*intact.reader).bootSectors.back();
  EXPECT_LE(found.fsEnd, backup);
  EXPECT_GT(found.fsEnd + 2 * found.sectorsPerCluster, backup);
  for (const NtfsFoundFolder& folder : findings.ntfsFolders) EXPECT_EQ(folder.fsNumber, 1) << ToUtf8(folder.name);
}

// The boot sector's cluster size doubled: the folders' index records are not
// where it says, so the volume is found only as one without a boot sector.
TEST(NtfsExtensiveSearchTest, BootSectorWhoseClustersMissTheIndexRecordsIsPassedOver) {
  const auto truth = test::ReadTruth("ntfsok");
  test::TempDir dir;
  const fs::path raw = dir / "ntfs.raw";
  ASSERT_EQ(test::RunShell("qemu-img convert -f vpc -O raw " + test::Quote(test::ExtensiveFixture("ntfsok.vhd")) +
                           " " + test::Quote(raw)).status, 0);
  test::PatchFile(raw, truth[0].start * kSectorSize + 13, {static_cast<std::uint8_t>(2 * truth[0].sectorsPerCluster)});
  const test::OpenedImage opened = test::OpenForSearch(test::WrapRawDisk(raw, dir.Path(), "doubled", "vhd"));
  const ExtensiveFindings findings = SearchWhole(*opened.reader);
  ASSERT_EQ(findings.fileSystems.size(), 1u);
  EXPECT_EQ(findings.fileSystems[0].bootSector, 0u);
  EXPECT_EQ(findings.fileSystems[0].clusterBase, truth[0].start);
  EXPECT_EQ(findings.fileSystems[0].sectorsPerCluster, truth[0].sectorsPerCluster);
}

TEST(NtfsExtensiveSearchTest, NothingFoundWhereNoStructureLies) {
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("ntfsok.vhd"));
  ScanControl control;
  ExtensiveFindings findings;
  RunExtensiveScan(*opened.reader, kNtfs, 0, 2000, 100, findings, control);
  EXPECT_TRUE(findings.fileSystems.empty());
  EXPECT_TRUE(findings.ntfsFolders.empty());
  EXPECT_TRUE(findings.ntfsFiles.empty());
}

// Index records longer than 64 KiB are not read; those whose first entry
// names one of the first records are not a folder's.
TEST(NtfsIndexRecordTest, TakesOnlyRecordsOfPlausibleLengthAndOwner) {
  std::vector<std::uint8_t> record(4096, 0);
  const auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) record[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  std::copy_n("INDX", 4, record.begin());
  put32(ntfs::kIndexAllocatedOffset, 4096 - 24);
  put32(ntfs::kIndexFirstEntryOffset, 40);
  put32(ntfs::kIndexVcnOffset, 3);
  put32(24 + 40 + ntfs::kEntryParentOffset, 64);
  EXPECT_EQ(IndexRecordBytes(record), std::optional<std::size_t>(4096));
  const auto entry = HarvestIndexRecord(record, 777);
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->ownerMft, 64u);
  EXPECT_EQ(entry->vcn, 3u);
  EXPECT_EQ(entry->sectors, 8u);
  EXPECT_EQ(entry->sector, 777u);
  for (const std::uint32_t owner : {0u, 4u, 0xFFFFFFFFu}) {
    put32(24 + 40 + ntfs::kEntryParentOffset, owner);
    EXPECT_FALSE(HarvestIndexRecord(record, 777)) << owner;
  }
  put32(ntfs::kIndexAllocatedOffset, 65536);
  EXPECT_FALSE(IndexRecordBytes(record));
}

TEST(NtfsExtractTest, ListsTheFilesOfAVolumeWithoutBootSectors) {
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("ntfslost.vhd"));
  const ExtensiveFindings findings = SearchWhole(*opened.reader);
  ASSERT_EQ(findings.fileSystems.size(), 1u);
  const FsParams params = test::FoundOnDisk(findings, 1, *opened.reader);
  RecoveryStore store;
  ScanControl control;
  const ResultTree tree = ExtractNtfsFileSystem(findings, params, store, control);
  EXPECT_EQ(test::NtfsUserFilePaths(store), test::Keys(test::VolumeFiles("ntfslost", 1)));
  EXPECT_TRUE(tree.FindFolder(u"Beta/Inner/Void"));
  EXPECT_TRUE(tree.FindFolder(u"Lost Dir"));
  // One folder per number, though the search may meet a record twice.
  std::set<std::uint32_t> ids;
  for (const FolderRecord& folder : store.Folders()) EXPECT_TRUE(ids.insert(folder.id).second) << folder.id;
  // Files beyond the volume are not its own.
  FsParams narrow = params;
  narrow.fsEnd = FolderNamed(findings, u".")->recordLba;
  RecoveryStore few;
  ExtractNtfsFileSystem(findings, narrow, few, control);
  EXPECT_LT(few.Files().size(), store.Files().size());
  for (const FileRecord& file : few.Files()) EXPECT_LE(file.locator, narrow.fsEnd);
}

// ntfspair: the same record numbers in both volumes, since mkntfs made both
// alike; each folder must be given to the volume it lies in.
TEST(NtfsExtensiveSearchTest, FindsTwoVolumesOfOneDiskEachWithItsOwnFolders) {
  const auto truth = test::ReadTruth("ntfspair");
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("ntfspair.vhd"));
  const ExtensiveFindings findings = SearchWhole(*opened.reader);
  ASSERT_EQ(findings.fileSystems.size(), 2u);
  const FoundFileSystem& first = findings.fileSystems[0];
  const FoundFileSystem& second = findings.fileSystems[1];
  // The first through its boot sector, though its MFT record 0 and the copy
  // in $MFTMirr are gone; the second from its folders alone.
  EXPECT_EQ(first.bootSector, truth[0].start);
  EXPECT_EQ(first.sectorsPerCluster, truth[0].sectorsPerCluster);
  EXPECT_EQ(second.bootSector, 0u);
  EXPECT_EQ(second.clusterBase, truth[1].start);
  EXPECT_EQ(second.sectorsPerCluster, truth[1].sectorsPerCluster);
  for (const NtfsFoundFolder& folder : findings.ntfsFolders) {
    EXPECT_EQ(folder.fsNumber, folder.recordLba < truth[1].start ? 1 : 2) << ToUtf8(folder.name);
    if (folder.recordLba < truth[1].start) {
      EXPECT_EQ(folder.mftNumber, (folder.recordLba - first.mftStart) / 2) << ToUtf8(folder.name);
    }
  }
  // The deleted folder, with no index entry left to name it, is numbered by
  // its place in the MFT.
  const NtfsFoundFolder* gone = FolderNamed(findings, u"Gone");
  ASSERT_TRUE(gone);
  EXPECT_TRUE(gone->deleted);
  EXPECT_FALSE(FolderNamed(findings, u"Kept")->deleted);
}

TEST(NtfsExtractTest, ADeletedFolderComesBackWithItsDeletedFiles) {
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("ntfspair.vhd"));
  const ExtensiveFindings findings = SearchWhole(*opened.reader);
  ASSERT_EQ(findings.fileSystems.size(), 2u);
  RecoveryStore store;
  ScanControl control;
  ExtractNtfsFileSystem(findings, test::FoundOnDisk(findings, 1, *opened.reader), store, control);
  const FolderRecord* gone = nullptr;
  for (const FolderRecord& folder : store.Folders())
    if (folder.name == u"Gone") gone = &folder;
  ASSERT_TRUE(gone);
  EXPECT_TRUE(gone->deleted);
  EXPECT_EQ(gone->parentId, kNtfsRootId);
  std::size_t inGone = 0;
  for (const FileRecord& file : store.Files())
    if (file.parentId == gone->id) {
      ++inGone;
      EXPECT_TRUE(file.deleted) << ToUtf8(file.name);
    }
  EXPECT_EQ(inGone, 24u);
  // The second volume's files are its own, not the first's.
  std::set<std::string> paths = test::NtfsUserFilePaths(store);
  for (const auto& path : paths) EXPECT_TRUE(path.rfind("Kept/", 0) == 0 || path.rfind("Gone/", 0) == 0) << path;
}

// Folders with no index entry to name them take their number from the
// folder before them: half the sector distance on, or the next number when
// the distance is odd or there is no folder before.
TEST(NtfsNumberingTest, FoldersWithoutIndexEntriesAreNumberedByTheirPlace) {
  const MemorySource disk(std::vector<std::uint8_t>(64 * kSectorSize, 0));
  const SectorReader reader(disk);
  ExtensiveFindings findings;
  for (const std::uint64_t lba : {900u, 1000u, 1002u, 1007u, 1011u}) {
    NtfsFoundFolder folder;
    folder.recordLba = lba;
    findings.ntfsFolders.push_back(folder);
  }
  findings.ntfsFolders[1].mftNumber = 40;  // as an index entry would have told
  ScanControl control;
  AssignMftNumbers(reader, findings, control);
  std::vector<std::uint32_t> numbers;
  for (const NtfsFoundFolder& folder : findings.ntfsFolders) numbers.push_back(folder.mftNumber);
  EXPECT_EQ(numbers, (std::vector<std::uint32_t>{2, 40, 41, 42, 44}));
}

}  // namespace
}  // namespace dravik
