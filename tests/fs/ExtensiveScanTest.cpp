// The Extensive Scan on FAT, NTFS and ext volumes made by their tools and damaged by the fixture scripts or here,
// against the scripts' records of each volume and its files, and Sleuth Kit, debugfs and dumpe2fs on the intact disks.

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "Bytes.h"
#include "ExtFixtures.h"
#include "ExtensiveFixtures.h"
#include "FatFixtures.h"
#include "Oracles.h"
#include "TestFiles.h"
#include "disk/BootSector.h"
#include "disk/ExtSignature.h"
#include "fs/FamilyRegistry.h"
#include "fs/FileSystemFamily.h"
#include "fs/ResultTree.h"
#include "fs/ext/Superblock.h"
#include "fs/extensive/ExtensiveScan.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "fs/extensive/ScanRange.h"
#include "fs/fat/FatExtract.h"
#include "fs/fat/FatIdentify.h"
#include "fs/fat/FatStructureSearch.h"
#include "fs/ntfs/NtfsAnalysis.h"
#include "fs/ntfs/NtfsExtract.h"
#include "fs/ntfs/NtfsStructureSearch.h"
#include "session/ScanResult.h"
#include "snapshot/Snapshot.h"
#include "util/ScanControl.h"
#include "util/Utf.h"
#include "vdisk/ImageFile.h"
#include "vdisk/PatchedSource.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::ExtFixture;
using test::Quote;
using test::RunShell;

// The paths of an NTFS extraction's files, without system files ("$...") and those under "Lost Dir".
std::set<std::string> NtfsUserFilePaths(const RecoveryStore& store) {
  const std::string lost = ToUtf8(kLostDirName) + "/";
  std::set<std::string> paths;
  for (const test::ListedItem& item : test::ScanItems(store, kNtfsRootId))
    if (!item.folder && item.path[0] != '$' && item.path[0] != '?' && !item.path.starts_with(lost))
      paths.insert(item.path);
  return paths;
}

ExtensiveFindings SearchWhole(const SectorReader& reader, std::uint16_t fsType, unsigned threads = 0,
                              ScanControl control = ScanControl()) {
  ExtensiveFindings findings;
  RunExtensiveScan(reader, fsType, 0, reader.SectorCount(), 100, findings, control, threads);
  return findings;
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

// twin (bases and cluster sizes: ExtensiveCliTest): every folder given to its own volume, the lost FATs found and
// every file listed; single sectors: its boot sector's cluster-size byte changed, noroot's Docs with "." edited.
TEST(FatExtensiveTest, FindsAndExtractsAnIntactAndABootlessVolume) {
  const auto truth = test::ReadTruth("twin");
  const test::OpenedImage opened = test::OpenForSearch(test::ExtensiveFixture("twin.vhd"));
  std::vector<std::uint8_t> boot = opened.reader->ReadSector(truth[0].start);
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
  // The folders that stood in noroot's root: name -> first cluster.
  const auto folders = test::ReadNamedNumbers(test::ExtensiveFixture("noroot.dirs"));
  const std::uint32_t docs = folders.at("Docs");
  const std::uint64_t at = lostTruth[0].clusterBase + std::uint64_t{docs} * lostTruth[0].sectorsPerCluster;
  const std::vector<std::uint8_t> dir = noroot.reader->ReadSector(at);
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

// A raw copy of a fixture disk (qemu-img converts a VHD), damaged, searched raw, saved from by the command (as VHD).
class DamagedDisk {
 public:
  explicit DamagedDisk(const std::string& fixture) : raw_(dir_ / "disk.raw") {
    const fs::path source = test::ExtensiveFixture(fixture);
    const std::string copy = source.extension() == ".vhd"
                                 ? "qemu-img convert -f vpc -O raw " + Quote(source) + " " + Quote(raw_)
                                 : "cp --sparse=always " + Quote(source) + " " + Quote(raw_);
    EXPECT_EQ(RunShell(copy).status, 0) << copy;
  }
  const fs::path& Raw() const { return raw_; }
  void Zero(std::uint64_t sector, std::uint64_t count = 1) {
    test::PatchFile(raw_, sector * kSectorSize, std::vector<std::uint8_t>(count * kSectorSize, 0));
  }
  void Copy(std::uint64_t from, std::uint64_t to, std::uint64_t count) {
    test::PatchFile(raw_, to * kSectorSize, test::BytesAt(raw_, from * kSectorSize, count * kSectorSize));
  }
  ExtensiveFindings Search(std::uint16_t fsType = kNtfs) const {
    return SearchWhole(*test::OpenForSearch(raw_).reader, fsType);
  }
  // The files below these items of found volume `pick`, saved by the command: sha256 by path.
  std::map<std::string, std::string> Saved(int pick, const std::vector<std::string>& items) const {
    const fs::path image = test::WrapRawDisk(raw_, dir_.Path(), "damaged", "vhd");
    const fs::path out = dir_ / ("saved" + std::to_string(++saves_));
    std::string args = "scan extensive --fs ntfs --quiet --pick " + std::to_string(pick) + " --recover " + Quote(out);
    for (const std::string& item : items) args += " --select " + Quote(item);
    EXPECT_EQ(RunShell(test::Dravik(args + " " + Quote(image))).status, 0) << args;
    return test::Sha256Tree(out);
  }

 private:
  test::TempDir dir_;
  fs::path raw_;
  mutable int saves_ = 0;
};

// A boot sector the identification must set aside: the volume is found from its folders, at its true base and size.
TEST(ExtensiveSearchTest, BootSectorsThatMissTheFoldersArePassedOver) {
  // clusterSizeTimes 0: the cluster size byte made 3
  const struct { const char* image; std::uint16_t fsType; std::uint32_t clusterSizeTimes; } cases[] = {
      {"twin.vhd", kFat16, 0}, {"ntfsok.vhd", kNtfs, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image);
    const auto truth = test::ReadTruth(fs::path(c.image).stem().string());
    const DamagedDisk disk(c.image);
    test::PatchFile(disk.Raw(), truth[0].start * kSectorSize + 13,
                    {static_cast<std::uint8_t>(c.clusterSizeTimes ? c.clusterSizeTimes * truth[0].sectorsPerCluster : 3)});
    const ExtensiveFindings findings = disk.Search(c.fsType);
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
  const std::vector<std::uint8_t> boot = twin.reader->ReadSector(truth[0].start);
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < kMaxBootSectors + 10; ++i) bytes.insert(bytes.end(), boot.begin(), boot.end());
  const MemorySource disk(std::move(bytes));
  std::vector<std::string> texts;
  const ExtensiveFindings findings = SearchWhole(
      SectorReader(disk), kFat16, 0, ScanControl([&](const ProgressUpdate& update) { texts.push_back(update.text); }));
  EXPECT_TRUE(findings.tooManyStructures && findings.bootSectors.size() == kMaxBootSectors + 1);
  EXPECT_NE(std::find(texts.begin(), texts.end(), ExtensiveTexts::kTooMany), texts.end());
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
  std::map<std::u16string, bool> deletedFolders;  // by name
  for (const NtfsFoundFolder& folder : findings.ntfsFolders) {
    EXPECT_EQ(folder.fsNumber, folder.recordLba < truth[1].start ? 1 : 2) << ToUtf8(folder.name);
    EXPECT_TRUE(folder.recordLba >= truth[1].start || folder.mftNumber == (folder.recordLba - first.mftStart) / 2);
    deletedFolders[folder.name] = folder.deleted;
  }
  EXPECT_TRUE(deletedFolders.at(u"Gone") && !deletedFolders.at(u"Kept"));
  RecoveryStore store;
  ScanControl control;
  ExtractNtfsFileSystem(findings, test::FoundOnDisk(findings, 1, *opened.reader), store, control);
  const auto gone = std::ranges::find(store.Folders(), u"Gone", &FolderRecord::name);
  ASSERT_NE(gone, store.Folders().end());
  EXPECT_TRUE(gone->deleted && gone->parentId == kNtfsRootId);
  std::size_t inGone = 0, deleted = 0;
  for (const FileRecord& file : store.Files())
    if (file.parentId == gone->id) ++inGone, deleted += file.deleted;
  EXPECT_TRUE(inGone == 24u && deleted == 24u) << inGone << " files in Gone, " << deleted << " of them deleted";
  for (const auto& path : NtfsUserFilePaths(store))
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

std::set<std::string> ListedFiles(const ExtensiveFindings& findings, std::uint16_t index) {
  RecoveryStore store;
  ScanControl control;
  ExtractNtfsFileSystem(findings, ParamsOfFound(findings, index, FsParams{}), store, control);
  return NtfsUserFilePaths(store);
}

// What the intact disk's tools say of one volume.
struct Volume {
  std::uint64_t start = 0, sectors = 0;  // of its partition, the backup boot sector last
  std::uint32_t sectorsPerCluster = 0;
  std::uint64_t lastClusterEnd = 0;  // the last sector of its last cluster
  std::uint64_t mftStart = 0, mirrorStart = 0;
  std::uint64_t Last() const { return start + sectors - 1; }
};

std::vector<Volume> Volumes(const fs::path& raw) {
  std::vector<Volume> volumes;
  for (const test::MmlsRow& row : test::Mmls(raw)) {
    const test::FsstatReport r = test::Fsstat(raw, row.start);
    const std::uint32_t k = r.clusterBytes / 512;
    EXPECT_TRUE(k && r.clusterEnd && r.mftCluster && r.mftMirrorCluster) << "fsstat at " << row.start;
    if (k && r.clusterEnd && r.mftCluster && r.mftMirrorCluster)
      volumes.push_back({row.start, row.length, k, row.start + (std::uint64_t{*r.clusterEnd} + 1) * k - 1,
                         row.start + std::uint64_t{*r.mftCluster} * k,
                         row.start + std::uint64_t{*r.mftMirrorCluster} * k});
  }
  return volumes;
}

// At its true start and cluster size, ending at its backup boot sector or, that lost, no nearer than `least` (its
// last cluster) and no further than the backup.
void ExpectFound(const FoundFileSystem& found, const Volume& volume, bool backupLeft, std::uint64_t least = 0) {
  EXPECT_TRUE(found.clusterBase == volume.start && found.sectorsPerCluster == volume.sectorsPerCluster);
  EXPECT_GE(found.fsEnd, backupLeft ? volume.Last() : least ? least : volume.lastClusterEnd);
  EXPECT_LE(found.fsEnd, volume.Last());
}

// ntfssmall: only the root has an index allocation, so no two folders' index records tell the cluster size. What
// each damage leaves finds it: the backup boot sector; the MFT's records with $MFT's run list and the mirror; the
// mirror's copy of $MFT's run list with the other records' numbers; $MFT's record with the root's index record.
TEST(NtfsVolumeDamageTest, AYoungVolumeIsFoundAtItsTrueStartAndSizeWhateverOfItsFirstSectorsIsLeft) {
  const auto files = test::VolumeFiles("ntfssmall", 1);
  const std::vector<Volume> volumes = Volumes(test::ExtensiveFixture("ntfssmall.raw"));
  ASSERT_EQ(volumes.size(), 1u);
  const Volume& v = volumes[0];
  const struct { const char* name; bool backupLeft; std::uint64_t alsoZeroed, count; } damages[] = {
                 {"first boot sector zeroed", true, 0, 0},
                 {"both boot sectors zeroed", false, 0, 0},
                 {"both boot sectors and $MFT's own record zeroed", false, v.mftStart, 2},
                 {"both boot sectors and the mirror zeroed", false, v.mirrorStart, 8}};
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.name);
    DamagedDisk disk("ntfssmall.raw");
    disk.Zero(v.start);
    if (!damage.backupLeft) disk.Zero(v.Last());
    if (damage.count) disk.Zero(damage.alsoZeroed, damage.count);
    const ExtensiveFindings findings = disk.Search();
    for (const NtfsFoundFolder& folder : findings.ntfsFolders)
      EXPECT_EQ(folder.indexStartCluster != 0, folder.name == u".") << ToUtf8(folder.name);
    ASSERT_EQ(findings.fileSystems.size(), 1u);
    ExpectFound(findings.fileSystems[0], v, damage.backupLeft);
    EXPECT_TRUE(findings.fileSystems[0].bootSector == 0u && findings.fileSystems[0].mftStart == v.mftStart);
    EXPECT_EQ(ListedFiles(findings, 1), test::Keys(files));
    EXPECT_EQ(disk.Saved(1, {"Letters", "Photos", "note.txt"}), files);
  }
}

// The first cluster of a record's "$I30" index allocation, as istat shows it.
std::uint64_t IndexAllocationCluster(const fs::path& raw, std::uint64_t start, std::uint32_t record) {
  const auto istat = RunShell("istat -o " + std::to_string(start) + " " + Quote(raw) + " " + std::to_string(record));
  std::istringstream lines(istat.out);
  for (std::string line; std::getline(lines, line);)
    if (line.find("$INDEX_ALLOCATION") != std::string::npos && std::getline(lines, line)) return std::stoull(line);
  ADD_FAILURE() << "no index allocation in istat of record " << record << ":\n" << istat.out;
  return 0;
}

// The clusters that the volume's $Bitmap (record 6, as icat gives it) marks free.
std::vector<bool> FreeClusters(const fs::path& raw, std::uint64_t start) {
  std::vector<bool> free;
  for (const std::uint8_t byte : test::Icat(raw, start, 6))
    for (int bit = 0; bit < 8; ++bit) free.push_back(((byte >> bit) & 1) == 0);
  return free;
}

// ntfsok without its boot sectors, with an older copy of the first index record of the root and of "Alpha" in free
// clusters before the real ones, at different distances. Found through the MFT's records and the index records, or,
// with $MFT's and $MFTMirr's records and their copies zeroed too, through the index records alone, where the stale
// copies are as many as the real ones but agree with nothing else; either way extracted with all its files.
TEST(NtfsVolumeDamageTest, OlderCopiesOfIndexRecordsBeforeTheRealOnesDoNotMisplaceTheVolume) {
  const auto files = test::VolumeFiles("ntfsok", 1);
  for (const bool mftLeft : {true, false}) {
    SCOPED_TRACE(mftLeft ? "MFT records left" : "first MFT records and their copies zeroed");
    DamagedDisk disk("ntfsok.vhd");
    const std::vector<Volume> volumes = Volumes(disk.Raw());
    ASSERT_EQ(volumes.size(), 1u);
    const Volume& v = volumes[0];
    const std::vector<bool> free = FreeClusters(disk.Raw(), v.start);
    const std::uint64_t indexClusters = 4096 / (v.sectorsPerCluster * kSectorSize);
    std::vector<std::uint64_t> slots;  // free stretches of an index record's clusters, from the low end
    for (std::uint64_t c = 1; c + indexClusters <= free.size() && slots.size() < 8; c += indexClusters)
      if (std::all_of(free.begin() + static_cast<std::ptrdiff_t>(c),
                      free.begin() + static_cast<std::ptrdiff_t>(c + indexClusters), [](bool f) { return f; }))
        slots.push_back(c);
    ASSERT_GE(slots.size(), 8u);
    const auto alpha = RunShell("ifind -o " + std::to_string(v.start) + " -n Alpha " + Quote(disk.Raw()));
    const std::uint32_t records[] = {5, static_cast<std::uint32_t>(std::stoul(alpha.out))};
    std::set<std::int64_t> shifts;
    for (std::size_t i = 0; i < 2; ++i) {
      const std::uint64_t real = IndexAllocationCluster(disk.Raw(), v.start, records[i]);
      const std::uint64_t stale = slots[2 + 5 * i];
      ASSERT_LT(stale, real) << "record " << records[i];
      shifts.insert(static_cast<std::int64_t>(real - stale));
      disk.Copy(v.start + real * v.sectorsPerCluster, v.start + stale * v.sectorsPerCluster, 4096 / kSectorSize);
    }
    ASSERT_EQ(shifts.size(), 2u);
    disk.Zero(v.start);
    disk.Zero(v.Last());
    if (!mftLeft) disk.Zero(v.mftStart, 4), disk.Zero(v.mirrorStart, 4);
    const ExtensiveFindings findings = disk.Search();
    ASSERT_EQ(findings.fileSystems.size(), 1u);
    ExpectFound(findings.fileSystems[0], v, false);
    for (const NtfsFoundFolder& folder : findings.ntfsFolders) EXPECT_EQ(folder.fsNumber, 1) << ToUtf8(folder.name);
    EXPECT_EQ(ListedFiles(findings, 1), test::Keys(files));
  }
}

// Each of ntfsadjacent's volumes is found where it lies and ends where it does: the first never takes in the second's.
TEST(NtfsVolumeDamageTest, AdjacentVolumesWithoutTheirFirstBootSectorsEachEndWhereTheyDo) {
  const fs::path intact = test::ExtensiveFixture("ntfsadjacent.raw");
  const std::vector<Volume> volumes = Volumes(intact);
  ASSERT_TRUE(volumes.size() == 2u && volumes[0].Last() + 1 == volumes[1].start);
  // The first volume's last used cluster by its $Bitmap (mkntfs sets bits past the end): its size when nothing else.
  std::vector<bool> free = FreeClusters(intact, volumes[0].start);
  free.resize((volumes[0].lastClusterEnd + 1 - volumes[0].start) / volumes[0].sectorsPerCluster);
  const auto used = std::find(free.rbegin(), free.rend(), false);
  ASSERT_NE(used, free.rend());
  const std::uint64_t usedEnd =
      volumes[0].start + static_cast<std::uint64_t>(free.rend() - used) * volumes[0].sectorsPerCluster - 1;
  const std::map<std::string, std::string> files[] = {test::VolumeFiles("ntfsadjacent", 1),
                                                      test::VolumeFiles("ntfsadjacent", 2)};
  const std::vector<std::string> items[] = {{"First"}, {"Second"}};
  const struct { const char* name; bool backupLost[2]; std::vector<std::uint32_t> lostRecords; } damages[] = {
      {"first boot sectors zeroed", {false, false}, {}}, {"and the first volume's backup", {true, false}, {}},
      {"every boot sector zeroed", {true, true}, {}}, {"and the first volume's $BadClus", {true, true}, {8}},
      {"and its $Bitmap", {true, true}, {6, 8}}};
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.name);
    DamagedDisk disk("ntfsadjacent.raw");
    for (std::size_t v = 0; v < 2; ++v) {
      disk.Zero(volumes[v].start);
      if (damage.backupLost[v]) disk.Zero(volumes[v].Last());
    }
    for (const std::uint32_t record : damage.lostRecords) disk.Zero(volumes[0].mftStart + 2 * record, 2);
    const ExtensiveFindings findings = disk.Search();
    ASSERT_EQ(findings.fileSystems.size(), 2u);
    for (std::size_t v = 0; v < 2; ++v) {
      SCOPED_TRACE("volume " + std::to_string(v + 1));
      const auto& all = findings.fileSystems;  // in the order found: through a boot sector first
      const auto it = std::find_if(all.begin(), all.end(),
                                   [&](const FoundFileSystem& f) { return f.clusterBase == volumes[v].start; });
      ASSERT_NE(it, all.end());
      ExpectFound(*it, volumes[v], !damage.backupLost[v], v == 0 && damage.lostRecords.size() == 2 ? usedEnd : 0);
      const auto number = static_cast<std::uint16_t>(it - all.begin() + 1);
      EXPECT_EQ(ListedFiles(findings, number), test::Keys(files[v]));
      if (damage.backupLost[0] && !damage.backupLost[1]) {
        EXPECT_EQ(disk.Saved(number, items[v]), files[v]);
      }
    }
  }
}

constexpr std::uint64_t kOverwrittenBytes = 16 * 1024 * 1024;

// What dumpe2fs says of a bare volume: its block size and count and the blocks of its superblock copies.
struct Dumpe2fsReport {
  std::uint32_t blockSize = 0;
  std::uint64_t blockCount = 0;
  std::uint32_t inodeCount = 0;
  std::vector<std::uint64_t> backups;
};

Dumpe2fsReport Dumpe2fs(const fs::path& raw) {
  const test::CommandResult run = test::RunShell("dumpe2fs " + test::Quote(raw) + " 2>/dev/null");
  EXPECT_EQ(run.status, 0) << raw;
  Dumpe2fsReport report;
  std::smatch m;
  static const std::regex blockSize(R"(Block size:\s+(\d+))"), blockCount(R"(Block count:\s+(\d+))"),
      backup(R"(Backup superblock at (\d+))"), inodeCount(R"(Inode count:\s+(\d+))");
  if (std::regex_search(run.out, m, blockSize)) report.blockSize = static_cast<std::uint32_t>(std::stoul(m[1]));
  if (std::regex_search(run.out, m, blockCount)) report.blockCount = std::stoull(m[1]);
  if (std::regex_search(run.out, m, inodeCount)) report.inodeCount = static_cast<std::uint32_t>(std::stoul(m[1]));
  for (auto it = std::sregex_iterator(run.out.begin(), run.out.end(), backup); it != std::sregex_iterator(); ++it)
    report.backups.push_back(std::stoull((*it)[1]));
  return report;
}

// Every volume mke2fs made is found once, at its first sector, read by its primary superblock while it lives and by
// the first copy once the NTFS format took it; ext2 and ext3 are found by the search for ext4.
TEST(ExtExtensiveSearchTest, FindsEachVolumeAtItsStart) {
  struct Case {
    const char* image;
    const char* volume;  // the bare volume dumpe2fs reads
    std::uint64_t start;  // where the fixture script put it
    std::uint16_t code;
    bool primaryLost;
  };
  const Case cases[] = {
      {"ext4-gpt.vhdx", "ext4-4k.raw", 2048, kExt4, false}, {"ext4-1k.raw", "ext4-1k.raw", 0, kExt4, false},
      {"ext3-1k.vhd", "ext3-1k.raw", 0, kExt3, false},      {"ext2-4k.raw", "ext2-4k.raw", 0, kExt2, false},
      {"wsl-ext4.vhdx", "wsl-ext4.raw", 0, kExt4, false},   {"wsl-over.vhdx", "wsl-ext4.raw", 0, kExt4, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    const Dumpe2fsReport truth = Dumpe2fs(ExtFixture(c.volume));
    ASSERT_GT(truth.blockSize, 0u);
    const test::OpenedImage opened = test::OpenForSearch(ExtFixture(c.image));
    for (const unsigned threads : {1u, 0u}) {
      const ExtensiveFindings findings = SearchWhole(*opened.reader, kExt4, threads);
      ASSERT_EQ(findings.fileSystems.size(), 1u);
      const FoundFileSystem& found = findings.fileSystems[0];
      const std::uint32_t blockSectors = truth.blockSize / kSectorSize;
      EXPECT_EQ(found.fsType, c.code);
      EXPECT_EQ(found.Start(), c.start);
      EXPECT_EQ(found.clusterBase, c.start);
      EXPECT_EQ(found.sectorsPerCluster, blockSectors);
      EXPECT_EQ(found.fsEnd, c.start + truth.blockCount * blockSectors - 1);
      if (c.primaryLost) {
        ASSERT_FALSE(truth.backups.empty());
        ASSERT_GE(truth.backups[0] * truth.blockSize, kOverwrittenBytes);  // the copy the format left
        EXPECT_EQ(found.superblockSector, c.start + truth.backups[0] * blockSectors);
      } else {
        EXPECT_EQ(found.superblockSector, c.start + ext::kSuperblockSector);
      }
    }
  }
}

struct WslFile {
  std::string path;
  std::string sha256;
  std::uint32_t inode = 0;
};

// The files of the WSL volume whose inode and every block lie past the overwritten start, by debugfs on the intact
// volume.
std::vector<WslFile> FilesBeyondOverwrite() {
  const fs::path raw = ExtFixture("wsl-ext4.raw");
  const std::uint32_t blockSize = Dumpe2fs(raw).blockSize;
  std::vector<WslFile> files;
  for (const test::ExtManifestEntry& entry : test::ReadExtManifest("wsl-manifest")) {
    if (test::InodeOffset(raw, entry.path) < kOverwrittenBytes) continue;
    std::istringstream blocks(test::Debugfs(raw, "blocks /" + entry.path));
    bool beyond = true;
    for (std::uint64_t block = 0; blocks >> block;) beyond = beyond && block * blockSize >= kOverwrittenBytes;
    if (beyond) files.push_back({entry.path, entry.sha256, test::InodeNumber(raw, entry.path)});
  }
  return files;
}

// The files behind the NTFS come back byte for byte under the lost folder, named by inode (their folders' inodes
// were in group 0), from the extraction and again from a snapshot of it, which keeps the superblock copy. The copies
// of the group descriptors are as mke2fs left them (debugfs rewrites only the primary ones, as the kernel does): they
// call groups 1 to 3 never initialised, so reading them as current would lose the files there.
TEST(ExtExtensiveExtractTest, OverwrittenVolumeGivesBackWhatLiesBeyondTheFormat) {
  const std::vector<WslFile> expected = FilesBeyondOverwrite();
  ASSERT_GE(expected.size(), 40u);  // the fixture puts most files past group 0
  const test::OpenedImage opened = test::OpenForSearch(ExtFixture("wsl-over.vhdx"));
  const SectorReader& reader = *opened.reader;
  const ExtensiveFindings findings = SearchWhole(reader, kExt4);
  ASSERT_EQ(findings.fileSystems.size(), 1u);
  ScanControl control;
  ScanResult result = ExtractFoundFileSystem(reader, findings, 1, test::FoundOnDisk(findings, 1, reader), control);
  ASSERT_TRUE(result.tree);
  EXPECT_EQ(result.family, FsFamily::kExt);

  test::TempDir out;
  const SaveSummary summary = test::SaveEverything(reader, result.params, *result.store, *result.tree, out.Path());
  EXPECT_EQ(summary.failed, 0u);
  const auto saved = test::Sha256Tree(out.Path());
  for (const WslFile& file : expected) {
    SCOPED_TRACE(file.path);
    const auto it = saved.find(std::string(ToUtf8(kLostDirName)) + "/File" + std::to_string(file.inode));
    ASSERT_NE(it, saved.end());
    EXPECT_EQ(it->second, file.sha256);
  }

  SnapshotInfo info;
  info.mode = ScanMode::kExtensive;
  info.params = result.params;
  DecodedSnapshot decoded = DecodeSnapshot(EncodeFileSystemSnapshot(info, *result.store));
  ASSERT_TRUE(decoded.snapshot) << decoded.message;
  ScanResult kept = ResultOfSnapshot(*decoded.snapshot);
  const FileSystemFamily& family = FamilyOf(FsFamily::kExt);
  EXPECT_TRUE(family.ResultFitsDisk(kept.params, *kept.store, reader));
  FsParams withoutCopy = kept.params;
  withoutCopy.superblockSector = 0;  // the primary is gone: without the copy the volume does not open
  EXPECT_FALSE(family.ResultFitsDisk(withoutCopy, *kept.store, reader));
  test::TempDir again;
  EXPECT_EQ(test::SaveEverything(reader, kept.params, *kept.store, *kept.tree, again.Path()).failed, 0u);
  EXPECT_EQ(test::Sha256Tree(again.Path()), saved);
}

// Copies of the intact WSL volume's superblocks damaged in memory: a copy that names the wrong group or gives
// impossible geometry adds no volume and does not hide the one the other copies show; a copy left alone is taken
// only where the folders it leads to name themselves.
TEST(ExtExtensiveSearchTest, DamagedCopiesFindNothingFalse) {
  const fs::path raw = ExtFixture("wsl-ext4.raw");
  const Dumpe2fsReport truth = Dumpe2fs(raw);
  ASSERT_EQ(truth.backups.size(), 2u);
  const std::uint64_t primary = ext::kSuperblockOffset;
  const std::uint64_t group1 = truth.backups[0] * truth.blockSize, group3 = truth.backups[1] * truth.blockSize;
  const std::uint64_t sector1 = group1 / kSectorSize;
  constexpr std::size_t kGroupOfCopy = 0x5A, kBlocksPerGroup = 0x20, kInodesCount = 0x00, kLogBlockSize = 0x18,
                        kMagic = 0x38, kWriteTime = 0x30;
  struct Patch {
    std::uint64_t offset;
    std::uint32_t value;
    std::size_t bytes;
  };
  struct Case {
    const char* name;
    std::vector<Patch> patches;
    bool zeroStart;  // the first 16 MiB zeroed, as the NTFS format leaves no superblock there
    std::vector<std::pair<std::uint64_t, std::uint64_t>> expected;  // start, superblock sector
  };
  const std::uint32_t inodes = truth.inodeCount;
  ASSERT_GT(inodes, 0u);
  const Case cases[] = {
      {"group 3's copy names group 9 of 4", {{group3 + kGroupOfCopy, 9, 2}}, false, {{0, 2}}},
      {"group 3's copy names group 2, which keeps none", {{group3 + kGroupOfCopy, 2, 2}}, false, {{0, 2}}},
      {"group 3's copy names group 1", {{group3 + kGroupOfCopy, 1, 2}}, false, {{0, 2}}},
      {"group 1's copy names group 0", {{group1 + kGroupOfCopy, 0, 2}}, false, {{0, 2}}},
      {"group 1's copy has no blocks per group", {{group1 + kBlocksPerGroup, 0, 4}}, false, {{0, 2}}},
      {"the primary gives blocks of 128 KiB", {{primary + kLogBlockSize, 7, 4}}, false, {{0, sector1}}},
      {"start zeroed", {}, true, {{0, sector1}}},
      {"the primary and group 3's copy gone: group 1's alone, taken as its folders name themselves",
       {{primary + kMagic, 0, 2}, {group3 + kMagic, 0, 2}}, false, {{0, sector1}}},
      {"the primary and group 1's copy gone, group 3's names group 1: its folders would not name themselves",
       {{primary + kMagic, 0, 2}, {group1 + kMagic, 0, 2}, {group3 + kGroupOfCopy, 1, 2}}, false, {}},
      {"start zeroed, group 1's copy with blocks of 128 KiB: group 3's alone shows no folder",
       {{group1 + kLogBlockSize, 7, 4}},
       true,
       {}},
      // A write time changed leaves a copy sound but failing its checksum.
      {"the primary's checksum fails: group 1's copy, whose holds, read in its place",
       {{primary + kWriteTime, 0x7FFFFFFF, 4}}, false, {{0, sector1}}},
      {"every copy's checksum fails: the primary read all the same",
       {{primary + kWriteTime, 0x7FFFFFFF, 4}, {group1 + kWriteTime, 1, 4}, {group3 + kWriteTime, 1, 4}},
       false,
       {{0, 2}}},
      {"every copy one inode short",
       {{primary + kInodesCount, inodes - 1, 4}, {group1 + kInodesCount, inodes - 1, 4},
        {group3 + kInodesCount, inodes - 1, 4}},
       false,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto file = ImageFile::Open(raw);
    ASSERT_TRUE(file);
    PatchedSource disk(std::move(file));
    if (c.zeroStart) disk.Zero(0, kOverwrittenBytes);
    for (const Patch& p : c.patches) {
      std::vector<std::uint8_t> bytes;
      test::PutInt(bytes, 0, p.value, p.bytes);
      disk.Write(p.offset, bytes);
    }
    const SectorReader reader(disk);
    const ExtensiveFindings findings = SearchWhole(reader, kExt4);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> found;
    for (const FoundFileSystem& f : findings.fileSystems) found.emplace_back(f.Start(), f.superblockSector);
    EXPECT_EQ(found, c.expected);
  }
}

}  // namespace
}  // namespace dravik
