// NTFS volumes as Windows and Linux leave them, found by the Extensive
// Scan; each damage a named case on a copy of a disk that mkntfs and ntfs-3g
// made: a young volume (only its root has an index allocation) without its
// first boot sector, without both, and without one of its MFT's first
// records besides; older copies of folders' first index records lying
// before the real ones; two adjacent volumes without their first boot
// sectors. The oracles: mmls and fsstat on the intact disk, ifind, istat and
// icat for where the index records lie, and the files the fixture wrote.

#include <gtest/gtest.h>

#include <sstream>

#include "ExtensiveFixtures.h"
#include "FatFixtures.h"
#include "PartitionFixtures.h"
#include "TestFiles.h"
#include "disk/SectorReader.h"
#include "fs/extensive/ExtensiveScan.h"
#include "fs/ntfs/NtfsExtract.h"
#include "util/ScanControl.h"
#include "util/Utf.h"
#include "vdisk/ImageFile.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::RunShell;

// A copy of a fixture disk to damage: a raw disk copied as it is, a VHD
// converted to raw by qemu-img. The copy is searched raw, and saved from
// through the command line wrapped in a VHD.
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
    const std::string dd = "dd if=" + Quote(raw_) + " of=" + Quote(raw_) + " bs=512 conv=notrunc status=none skip=" +
                           std::to_string(from) + " seek=" + std::to_string(to) + " count=" + std::to_string(count);
    EXPECT_EQ(RunShell(dd).status, 0) << dd;
  }

  ExtensiveFindings Search() const {
    const auto file = ImageFile::Open(raw_);
    EXPECT_TRUE(file) << raw_;
    ExtensiveFindings findings;
    if (!file) return findings;
    const SectorReader reader(*file);
    ScanControl control;
    RunExtensiveScan(reader, kNtfs, 0, reader.SectorCount(), 100, findings, control);
    return findings;
  }

  // The files below these items of found volume `pick`, saved by the
  // command line: sha256 by path.
  std::map<std::string, std::string> Saved(int pick, const std::vector<std::string>& items) const {
    const fs::path image = test::WrapRawDisk(raw_, dir_.Path(), "damaged", "vhd");
    const fs::path out = dir_ / ("saved" + std::to_string(pick) + "-" + std::to_string(++saves_));
    std::string args = "scan extensive --fs ntfs --quiet --pick " + std::to_string(pick) + " --recover " + Quote(out);
    for (const std::string& item : items) args += " --select " + Quote(item);
    const auto run = RunShell(test::Dravik(args + " " + Quote(image)));
    EXPECT_EQ(run.status, 0) << args;
    return test::HashTree(out);
  }

 private:
  test::TempDir dir_;
  fs::path raw_;
  mutable int saves_ = 0;
};

// The user files (paths below the root) of found volume `index`.
std::set<std::string> ListedFiles(const ExtensiveFindings& findings, std::uint16_t index) {
  RecoveryStore store;
  ScanControl control;
  ExtractNtfsFileSystem(findings, ParamsOfFound(findings, index, FsParams{}), store, control);
  return test::NtfsUserFilePaths(store);
}

// What the intact disk's tools say of one volume.
struct VolumeOracle {
  std::uint64_t start = 0;
  std::uint64_t sectors = 0;  // of its partition, the backup boot sector being the last
  std::uint32_t sectorsPerCluster = 0;
  std::uint64_t lastClusterEnd = 0;  // the last sector of its last cluster
  std::uint64_t mftStart = 0;
  std::uint64_t mirrorStart = 0;
  std::uint64_t Last() const { return start + sectors - 1; }
};

std::vector<VolumeOracle> Oracles(const fs::path& raw) {
  std::vector<VolumeOracle> volumes;
  for (const test::MmlsRow& row : test::Mmls(raw)) {
    const test::FsstatReport report = test::Fsstat(raw, row.start);
    VolumeOracle v{row.start, row.length, report.clusterBytes / 512};
    EXPECT_TRUE(report.clusterEnd && report.mftCluster && report.mftMirrorCluster) << "fsstat at " << row.start;
    if (v.sectorsPerCluster == 0 || !report.clusterEnd || !report.mftCluster || !report.mftMirrorCluster) continue;
    v.lastClusterEnd = v.start + (std::uint64_t{*report.clusterEnd} + 1) * v.sectorsPerCluster - 1;
    v.mftStart = v.start + std::uint64_t{*report.mftCluster} * v.sectorsPerCluster;
    v.mirrorStart = v.start + std::uint64_t{*report.mftMirrorCluster} * v.sectorsPerCluster;
    volumes.push_back(v);
  }
  return volumes;
}

void ExpectPlacedAt(const FoundFileSystem& found, const VolumeOracle& volume) {
  EXPECT_EQ(found.Label(), "NTFS @ " + std::to_string(volume.start));
  EXPECT_EQ(found.clusterBase, volume.start);
  EXPECT_EQ(found.sectorsPerCluster, volume.sectorsPerCluster);
}

// Without its backup boot sector a volume ends no nearer than its last
// cluster and no further than the backup's place.
void ExpectEndWithin(const FoundFileSystem& found, const VolumeOracle& volume) {
  EXPECT_GE(found.fsEnd, volume.lastClusterEnd);
  EXPECT_LE(found.fsEnd, volume.Last());
}

// ntfssmall: the root is the only folder with an index allocation, so no
// two folders' index records can tell the cluster size. Each damage keeps
// the volume findable from what is left: the backup boot sector; the
// records of the MFT with $MFT's run list and the mirror; the mirror's copy
// of $MFT's run list with the numbers of the other records; $MFT's record
// with the root's index record.
TEST(NtfsVolumeDamageTest, AYoungVolumeIsFoundAtItsTrueStartAndSizeWhateverOfItsFirstSectorsIsLeft) {
  const std::map<std::string, std::string> files = test::VolumeFiles("ntfssmall", 1);
  const std::vector<VolumeOracle> oracles = Oracles(test::ExtensiveFixture("ntfssmall.raw"));
  ASSERT_EQ(oracles.size(), 1u);
  const VolumeOracle& volume = oracles[0];
  const auto mirrorOfFirstRecords = [&](DamagedDisk& disk) { disk.Zero(volume.mirrorStart, 8); };
  const auto mftRecordOfMft = [&](DamagedDisk& disk) { disk.Zero(volume.mftStart, 2); };
  struct Damage {
    const char* name;
    bool backupLeft;
    std::function<void(DamagedDisk&)> more;
  };
  const Damage damages[] = {
      {"first boot sector zeroed", true, nullptr},
      {"both boot sectors zeroed", false, nullptr},
      {"both boot sectors and $MFT's own record zeroed", false, mftRecordOfMft},
      {"both boot sectors and the mirror zeroed", false, mirrorOfFirstRecords},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    DamagedDisk disk("ntfssmall.raw");
    disk.Zero(volume.start);
    if (!damage.backupLeft) disk.Zero(volume.Last());
    if (damage.more) damage.more(disk);
    const ExtensiveFindings findings = disk.Search();
    for (const NtfsFoundFolder& folder : findings.ntfsFolders)
      EXPECT_EQ(folder.indexStartCluster != 0, folder.name == u".") << ToUtf8(folder.name);
    ASSERT_EQ(findings.fileSystems.size(), 1u);
    const FoundFileSystem& found = findings.fileSystems[0];
    ExpectPlacedAt(found, volume);
    EXPECT_EQ(found.bootSector, 0u);
    EXPECT_EQ(found.mftStart, volume.mftStart);
    if (damage.backupLeft) {
      EXPECT_EQ(found.fsEnd, volume.Last());
    } else {
      ExpectEndWithin(found, volume);
    }
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

std::uint32_t RecordNamed(const fs::path& raw, std::uint64_t start, const std::string& path) {
  const auto ifind = RunShell("ifind -o " + std::to_string(start) + " -n " + Quote(path) + " " + Quote(raw));
  EXPECT_EQ(ifind.status, 0) << path;
  return static_cast<std::uint32_t>(std::stoul(ifind.out));
}

// The clusters that the volume's $Bitmap (record 6, as icat gives it) marks
// free.
std::vector<bool> FreeClusters(const fs::path& raw, std::uint64_t start) {
  const auto bitmap = RunShell("icat -o " + std::to_string(start) + " " + Quote(raw) + " 6");
  std::vector<bool> free;
  for (const char byte : bitmap.out)
    for (int bit = 0; bit < 8; ++bit) free.push_back(((static_cast<unsigned char>(byte) >> bit) & 1) == 0);
  return free;
}

// ntfsok without its boot sectors, and with an older copy of the first
// index record of the root and of "Alpha" in free clusters before the real
// ones, at different distances from them. Found through the MFT's records
// and the folders' index records, or, with $MFT's and $MFTMirr's records and
// their mirror copies zeroed as well, through the folders' index records
// alone, where the stale copies are as many as the real ones but agree with
// nothing else.
TEST(NtfsVolumeDamageTest, OlderCopiesOfIndexRecordsBeforeTheRealOnesDoNotMisplaceTheVolume) {
  const auto files = test::VolumeFiles("ntfsok", 1);
  for (const bool mftLeft : {true, false}) {
    SCOPED_TRACE(mftLeft ? "MFT records left" : "first MFT records and their copies zeroed");
    DamagedDisk disk("ntfsok.vhd");
    const std::vector<VolumeOracle> oracles = Oracles(disk.Raw());
    ASSERT_EQ(oracles.size(), 1u);
    const VolumeOracle& volume = oracles[0];
    const std::uint32_t k = volume.sectorsPerCluster;
    const std::vector<bool> free = FreeClusters(disk.Raw(), volume.start);
    const std::uint64_t indexClusters = 4096 / (k * kSectorSize);
    // Free stretches of an index record's clusters, from the low end.
    std::vector<std::uint64_t> slots;
    for (std::uint64_t c = 1; c + indexClusters <= free.size() && slots.size() < 8; c += indexClusters)
      if (std::all_of(free.begin() + static_cast<std::ptrdiff_t>(c),
                      free.begin() + static_cast<std::ptrdiff_t>(c + indexClusters), [](bool f) { return f; }))
        slots.push_back(c);
    ASSERT_GE(slots.size(), 8u);
    std::set<std::int64_t> shifts;
    const std::uint32_t records[] = {5, RecordNamed(disk.Raw(), volume.start, "Alpha")};
    for (std::size_t i = 0; i < 2; ++i) {
      const std::uint64_t real = IndexAllocationCluster(disk.Raw(), volume.start, records[i]);
      const std::uint64_t stale = slots[2 + 5 * i];
      ASSERT_LT(stale, real) << "record " << records[i];
      shifts.insert(static_cast<std::int64_t>(real - stale));
      disk.Copy(volume.start + real * k, volume.start + stale * k, 4096 / kSectorSize);
    }
    ASSERT_EQ(shifts.size(), 2u);
    disk.Zero(volume.start);
    disk.Zero(volume.Last());
    if (!mftLeft) {
      disk.Zero(volume.mftStart, 4);
      disk.Zero(volume.mirrorStart, 4);
    }
    const ExtensiveFindings findings = disk.Search();
    ASSERT_EQ(findings.fileSystems.size(), 1u);
    const FoundFileSystem& found = findings.fileSystems[0];
    ExpectPlacedAt(found, volume);
    ExpectEndWithin(found, volume);
    for (const NtfsFoundFolder& folder : findings.ntfsFolders) EXPECT_EQ(folder.fsNumber, 1) << ToUtf8(folder.name);
    EXPECT_EQ(ListedFiles(findings, 1), test::Keys(files));
  }
}

// ntfsadjacent: the second volume begins in the sector after the first
// one's backup boot sector. Without their first boot sectors, then without
// the first one's backup too, then without any boot sector, then without the
// first one's $BadClus and $Bitmap records as well, each volume is found
// where it lies and ends where it does: the first never takes in the
// second's files.
TEST(NtfsVolumeDamageTest, AdjacentVolumesWithoutTheirFirstBootSectorsEachEndWhereTheyDo) {
  const fs::path intact = test::ExtensiveFixture("ntfsadjacent.raw");
  const std::vector<VolumeOracle> oracles = Oracles(intact);
  ASSERT_EQ(oracles.size(), 2u);
  ASSERT_EQ(oracles[0].Last() + 1, oracles[1].start);
  // The last cluster the first volume uses, by its $Bitmap (whose bits past
  // the last cluster mkntfs sets).
  std::vector<bool> free = FreeClusters(intact, oracles[0].start);
  free.resize((oracles[0].lastClusterEnd + 1 - oracles[0].start) / oracles[0].sectorsPerCluster);
  const auto used = std::find(free.rbegin(), free.rend(), false);
  ASSERT_NE(used, free.rend());
  const std::uint64_t usedEnd =
      oracles[0].start + static_cast<std::uint64_t>(free.rend() - used) * oracles[0].sectorsPerCluster - 1;
  const std::map<std::string, std::string> files[] = {test::VolumeFiles("ntfsadjacent", 1),
                                                      test::VolumeFiles("ntfsadjacent", 2)};
  const std::vector<std::string> items[] = {{"First"}, {"Second"}};
  struct Damage {
    const char* name;
    bool backupLost[2];
    std::vector<std::uint32_t> firstVolumeRecordsLost;
  };
  const Damage damages[] = {
      {"first boot sectors zeroed", {false, false}, {}},
      {"and the first volume's backup", {true, false}, {}},
      {"every boot sector zeroed", {true, true}, {}},
      {"and the first volume's $BadClus", {true, true}, {8}},
      {"and its $Bitmap", {true, true}, {6, 8}},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    DamagedDisk disk("ntfsadjacent.raw");
    for (std::size_t v = 0; v < 2; ++v) {
      disk.Zero(oracles[v].start);
      if (damage.backupLost[v]) disk.Zero(oracles[v].Last());
    }
    for (const std::uint32_t record : damage.firstVolumeRecordsLost) disk.Zero(oracles[0].mftStart + 2 * record, 2);
    const ExtensiveFindings findings = disk.Search();
    ASSERT_EQ(findings.fileSystems.size(), 2u);
    for (std::size_t v = 0; v < 2; ++v) {
      SCOPED_TRACE("volume " + std::to_string(v + 1));
      // Listed in the order found: through a boot sector first.
      const auto& all = findings.fileSystems;
      const auto it = std::find_if(all.begin(), all.end(),
                                   [&](const FoundFileSystem& f) { return f.clusterBase == oracles[v].start; });
      ASSERT_NE(it, all.end());
      const FoundFileSystem& found = *it;
      ExpectPlacedAt(found, oracles[v]);
      if (!damage.backupLost[v]) {
        EXPECT_EQ(found.fsEnd, oracles[v].Last());
      } else if (v == 0 && damage.firstVolumeRecordsLost.size() == 2) {
        // Nothing left tells the size: the clusters its records use.
        EXPECT_GE(found.fsEnd, usedEnd);
        EXPECT_LE(found.fsEnd, oracles[v].Last());
      } else {
        ExpectEndWithin(found, oracles[v]);
      }
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
