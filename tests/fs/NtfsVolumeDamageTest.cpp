// NTFS volumes that mkntfs and ntfs-3g made, found by the Extensive Scan after damage, one row per damage. Oracles:
// mmls, fsstat, ifind, istat and icat on the intact disk, and the files the fixture wrote.

#include <gtest/gtest.h>

#include <functional>
#include <sstream>

#include "ExtensiveFixtures.h"
#include "FatFixtures.h"
#include "PartitionFixtures.h"
#include "TestFiles.h"
#include "fs/extensive/ExtensiveScan.h"
#include "fs/ntfs/NtfsExtract.h"
#include "util/Utf.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::RunShell;

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
    EXPECT_EQ(RunShell("dd if=" + Quote(raw_) + " of=" + Quote(raw_) + " bs=512 conv=notrunc status=none skip=" +
                       std::to_string(from) + " seek=" + std::to_string(to) + " count=" + std::to_string(count)).status, 0);
  }
  ExtensiveFindings Search() const {
    const test::OpenedImage opened = test::OpenForSearch(raw_);
    ExtensiveFindings findings;
    ScanControl control;
    RunExtensiveScan(*opened.reader, kNtfs, 0, opened.reader->SectorCount(), 100, findings, control);
    return findings;
  }
  // The files below these items of found volume `pick`, saved by the command: sha256 by path.
  std::map<std::string, std::string> Saved(int pick, const std::vector<std::string>& items) const {
    const fs::path image = test::WrapRawDisk(raw_, dir_.Path(), "damaged", "vhd");
    const fs::path out = dir_ / ("saved" + std::to_string(++saves_));
    std::string args = "scan extensive --fs ntfs --quiet --pick " + std::to_string(pick) + " --recover " + Quote(out);
    for (const std::string& item : items) args += " --select " + Quote(item);
    EXPECT_EQ(RunShell(test::Dravik(args + " " + Quote(image))).status, 0) << args;
    return test::HashTree(out);
  }

 private:
  test::TempDir dir_;
  fs::path raw_;
  mutable int saves_ = 0;
};

std::set<std::string> ListedFiles(const ExtensiveFindings& findings, std::uint16_t index) {
  RecoveryStore store;
  ScanControl control;
  ExtractNtfsFileSystem(findings, ParamsOfFound(findings, index, FsParams{}), store, control);
  return test::NtfsUserFilePaths(store);
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
                         row.start + std::uint64_t{*r.mftCluster} * k, row.start + std::uint64_t{*r.mftMirrorCluster} * k});
  }
  return volumes;
}

// At its true start and cluster size, ending at its backup boot sector or, that lost, no nearer than `least` (its
// last cluster) and no further than the backup.
void ExpectFound(const FoundFileSystem& found, const Volume& volume, bool backupLeft, std::uint64_t least = 0) {
  EXPECT_EQ(found.Label(), "NTFS @ " + std::to_string(volume.start));
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
// copies are as many as the real ones but agree with nothing else.
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
      if (std::all_of(free.begin() + static_cast<std::ptrdiff_t>(c), free.begin() + static_cast<std::ptrdiff_t>(c + indexClusters),
                      [](bool f) { return f; }))
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

// ntfsadjacent: the second volume begins in the sector after the first one's backup boot sector. Each volume is found
// where it lies and ends where it does: the first never takes in the second's files.
TEST(NtfsVolumeDamageTest, AdjacentVolumesWithoutTheirFirstBootSectorsEachEndWhereTheyDo) {
  const fs::path intact = test::ExtensiveFixture("ntfsadjacent.raw");
  const std::vector<Volume> volumes = Volumes(intact);
  ASSERT_TRUE(volumes.size() == 2u && volumes[0].Last() + 1 == volumes[1].start);
  // The first volume's last used cluster by its $Bitmap (mkntfs sets bits past the end): its size when nothing else.
  std::vector<bool> free = FreeClusters(intact, volumes[0].start);
  free.resize((volumes[0].lastClusterEnd + 1 - volumes[0].start) / volumes[0].sectorsPerCluster);
  const auto used = std::find(free.rbegin(), free.rend(), false);
  ASSERT_NE(used, free.rend());
  const std::uint64_t usedEnd = volumes[0].start + static_cast<std::uint64_t>(free.rend() - used) * volumes[0].sectorsPerCluster - 1;
  const std::map<std::string, std::string> files[] = {test::VolumeFiles("ntfsadjacent", 1), test::VolumeFiles("ntfsadjacent", 2)};
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
      const auto it = std::find_if(all.begin(), all.end(), [&](const FoundFileSystem& f) { return f.clusterBase == volumes[v].start; });
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

}  // namespace
}  // namespace dravik
