// Finding partitions by their boot sectors when the table is lost: at 1 MiB
// boundaries, at cylinder boundaries of a 255 x 63 geometry, and far into
// sparse disks of 64 GiB and 2 TiB. The expected starts are the fixture
// script's or the test's own; the expected lengths are what fsstat reads from
// each volume's boot sector.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "PartitionFixtures.h"
#include "TestFiles.h"
#include "disk/DriveTable.h"
#include "disk/PartitionSearch.h"
#include "disk/SectorReader.h"
#include "util/ScanControl.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

using test::DiskCopy;
using test::ListedEntries;
using test::PartitionFixture;
using test::Quote;
using test::ReadLayout;
using test::RunShell;

// The geometry the search walks for an opened image: the VHD footer's, or for
// a VHDX none, so one derived from the disk's size.
DiskGeometry GeometryFor(const VirtualDisk& disk) {
  DriveTable drives;
  RegisterImage(drives, disk);
  const DriveSlot& slot = drives.slots[0];
  return SearchGeometry({slot.cylinders, slot.heads, slot.sectorsPerTrack}, SectorReader(disk).SectorCount());
}

// An answer to "Partition Type" for a table that is empty must never be needed.
PartitionChoice NeverAsked() {
  ADD_FAILURE() << "asked whether to search although the table is empty";
  return PartitionChoice::kCancel;
}

std::vector<PartitionEntry> SortedByStart(std::vector<PartitionEntry> entries) {
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
  return entries;
}

void ExpectUniqueStarts(const PartitionTable& table) {
  std::set<std::uint64_t> starts;
  for (const PartitionEntry& e : table.Entries())
    EXPECT_TRUE(starts.insert(e.start).second) << "start " << e.start << " listed twice";
}

// The layout's listed partitions with the lengths their boot sectors give,
// read by fsstat from the intact raw disk.
std::vector<PartitionEntry> FoundByBootSector(const std::string& diskName) {
  std::vector<PartitionEntry> want;
  const auto raw = PartitionFixture(diskName + ".raw");
  for (PartitionEntry entry : ListedEntries(ReadLayout(diskName))) {
    const auto report = test::Fsstat(raw, entry.start);
    EXPECT_TRUE(report.totalEnd) << "fsstat gave no size at " << entry.start;
    entry.sectors = report.totalEnd.value_or(0) + 1;
    want.push_back(entry);
  }
  return SortedByStart(want);
}

struct LostTableCase {
  const char* disk;
  const char* container;
};

std::ostream& operator<<(std::ostream& os, const LostTableCase& c) { return os << c.disk << "." << c.container; }

class LostTableTest : public ::testing::TestWithParam<LostTableCase> {};

// The MBR is zeroed, so the table is empty and the search runs on its own.
TEST_P(LostTableTest, SearchFindsEveryVolume) {
  const LostTableCase c = GetParam();
  DiskCopy copy(c.disk);
  copy.ZeroSector(0);
  VirtualDisk disk;
  ASSERT_TRUE(OpenImage(disk, copy.Wrapped(c.container), false).Usable());
  const SectorReader reader(disk);
  PartitionTable table;
  ReadDrivePartitions(reader, table);
  ASSERT_TRUE(table.Empty());

  ScanControl control;
  EXPECT_TRUE(SearchPartitions(reader, GeometryFor(disk), table, NeverAsked, control));
  EXPECT_EQ(SortedByStart(table.Entries()), FoundByBootSector(c.disk));
  ExpectUniqueStarts(table);
}

// mbr: volumes at 1 MiB starts. classic: the first on the second track, the
// others on cylinder starts that are not 1 MiB multiples; as a VHD the footer's
// geometry (12 heads, 17 sectors) has to be translated to 255 x 63 first.
INSTANTIATE_TEST_SUITE_P(Disks, LostTableTest,
                         ::testing::Values(LostTableCase{"mbr", "vhdx"}, LostTableCase{"classic", "vhdx"},
                                           LostTableCase{"classic", "vhd"}),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.disk) + "_" + caseInfo.param.container; });

// The disk with its absent blocks hidden: every byte counts as held, so a
// search over it reads every candidate, as a walk that knows nothing of
// absent blocks does. Passing over what the image does not hold must leave
// the table exactly as that walk finds it, order included.
class EveryByteHeld final : public ByteSource {
 public:
  explicit EveryByteHeld(const ByteSource& disk) : disk_(disk) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override { return disk_.ReadAt(offset, out); }
  std::uint64_t Size() const override { return disk_.Size(); }

 private:
  const ByteSource& disk_;
};

std::vector<PartitionEntry> Search(const ByteSource& disk, const DiskGeometry& geometry) {
  PartitionTable table;
  ScanControl control;
  EXPECT_TRUE(SearchPartitions(SectorReader(disk), geometry, table, NeverAsked, control));
  return table.Entries();
}

TEST(PartitionSearchTest, SparseDiskWithoutATable) {
  VirtualDisk disk;
  ASSERT_TRUE(OpenImage(disk, PartitionFixture("sparse-64g.vhdx"), false).Usable());
  const SectorReader reader(disk);
  ASSERT_EQ(reader.SectorCount(), 64ULL << 21);
  PartitionTable table;
  ReadDrivePartitions(reader, table);
  EXPECT_TRUE(table.Empty());

  const DiskGeometry geometry = GeometryFor(disk);
  EXPECT_EQ(geometry.heads, 255u);
  EXPECT_EQ(geometry.sectorsPerTrack, 63u);
  EXPECT_EQ(std::uint64_t{geometry.cylinders}, reader.SectorCount() / (255 * 63));

  ScanControl control;
  EXPECT_TRUE(SearchPartitions(reader, geometry, table, NeverAsked, control));
  EXPECT_EQ(SortedByStart(table.Entries()), SortedByStart(ReadLayout("sparse-64g")));
  ExpectUniqueStarts(table);
  EXPECT_EQ(table.Entries(), Search(EveryByteHeld(disk), geometry));
}

// Boot sectors written by qemu-io into an empty dynamic image, each the first
// sector of a volume that mkfs.fat or mkntfs made; what is expected of each
// is what fsstat reads from its volume.
class FarBootSectors {
 public:
  FarBootSectors() {
    MakeVolume("fat16", "mkfs.fat -F 16 -s 1", 16, kFat16);
    MakeVolume("fat32", "mkfs.fat -F 32 -s 1", 40, kFat32);
    MakeVolume("ntfs", "mkntfs -Q -F -q", 8, kNtfs);
  }

  // An image of the size with each volume's boot sector at the sector given.
  std::filesystem::path Image(const std::string& name, const std::string& format, const std::string& size,
                              const std::vector<std::pair<std::uint64_t, std::string>>& placed) const {
    const auto image = dir_ / name;
    EXPECT_EQ(RunShell("qemu-img create -q -f " + format + " " + Quote(image) + " " + size).status, 0);
    std::string writes;
    for (const auto& [lba, volume] : placed)
      writes += " -c " + Quote("write -q -s " + (dir_ / (volume + ".boot")).string() + " " + std::to_string(lba * 512) + " 512");
    const auto written = RunShell("qemu-io -f " + format.substr(0, format.find(' ')) + writes + " " + Quote(image) + " 2>&1");
    EXPECT_EQ(written.status, 0) << written.out;
    return image;
  }

  PartitionEntry Entry(std::uint64_t lba, const std::string& volume) const {
    const auto& [sectors, code] = volumes_.at(volume);
    return {static_cast<std::uint32_t>(lba), sectors, code};
  }

 private:
  void MakeVolume(const std::string& name, const std::string& make, int mebibytes, std::uint16_t code) {
    const auto volume = dir_ / (name + ".img");
    const auto made = RunShell("truncate -s " + std::to_string(mebibytes) + "M " + Quote(volume) + " && " + make + " " +
                               Quote(volume) + " >/dev/null 2>&1 && head -c 512 " + Quote(volume) + " > " +
                               Quote(dir_ / (name + ".boot")));
    ASSERT_EQ(made.status, 0) << make;
    volumes_[name] = {test::Fsstat(volume, 0).totalEnd.value_or(0) + 1, code};
  }

  test::TempDir dir_;
  std::map<std::string, std::pair<std::uint32_t, std::uint16_t>> volumes_;
};

// A 2 TiB VHDX without a table (32 MiB blocks, 267349 cylinders of 255 x 63):
// a FAT32 volume at 1 TiB (a 1 MiB start inside a cylinder), a FAT16 volume
// on a cylinder start that is no 1 MiB multiple, a FAT32 volume on the second
// track of a cylinder whose first sector lies in the absent block before, and
// an NTFS volume at the last 1 MiB start, past the last whole cylinder.
TEST(PartitionSearchTest, BootSectorsFarIntoASparseTwoTebibyteDisk) {
  constexpr std::uint64_t kCylinder = 255 * 63;
  constexpr std::uint64_t kBlockSectors = (32 << 20) / 512;
  std::uint64_t straddling = 200000;
  while ((straddling * kCylinder) % kBlockSectors < kBlockSectors - 63) ++straddling;
  const std::vector<std::pair<std::uint64_t, std::string>> placed{{1ULL << 31, "fat32"},
                                                                  {150001 * kCylinder, "fat16"},
                                                                  {straddling * kCylinder + 63, "fat32"},
                                                                  {(1ULL << 32) - 2048, "ntfs"}};
  const FarBootSectors volumes;
  VirtualDisk disk;
  ASSERT_TRUE(OpenImage(disk, volumes.Image("far.vhdx", "vhdx", "2T", placed), false).Usable());
  const SectorReader reader(disk);
  ASSERT_EQ(reader.SectorCount(), 1ULL << 32);
  PartitionTable table;
  ReadDrivePartitions(reader, table);
  ASSERT_TRUE(table.Empty());
  const DiskGeometry geometry = GeometryFor(disk);
  ASSERT_EQ(std::uint64_t{geometry.cylinders} * kCylinder, (1ULL << 32) / kCylinder * kCylinder);
  ASSERT_LT(std::uint64_t{geometry.cylinders} * kCylinder, placed.back().first);

  std::vector<PartitionEntry> want;
  for (const auto& [lba, volume] : placed) want.push_back(volumes.Entry(lba, volume));
  const auto found = Search(disk, geometry);
  EXPECT_EQ(found, want);
  EXPECT_EQ(found, Search(EveryByteHeld(disk), geometry));
}

// A dynamic VHD of 2040 GiB, whose footer geometry covers only its first
// 127 GiB in cylinders: past them only the 1 MiB starts are searched.
TEST(PartitionSearchTest, BootSectorsFarIntoASparseVhd) {
  const FarBootSectors volumes;
  const std::vector<std::pair<std::uint64_t, std::string>> placed{{5000 * 16065, "fat16"},
                                                                  {1ULL << 31, "ntfs"},
                                                                  {2040ULL * 2048 * 1024 - 2048, "fat32"}};
  VirtualDisk disk;
  ASSERT_TRUE(OpenImage(disk, volumes.Image("far.vhd", "vpc -o subformat=dynamic,force_size=on", "2040G", placed),
                        false)
                  .Usable());
  const DiskGeometry geometry = GeometryFor(disk);
  ASSERT_LT(std::uint64_t{geometry.cylinders} * 16065, 1ULL << 31);
  std::vector<PartitionEntry> want;
  for (const auto& [lba, volume] : placed) want.push_back(volumes.Entry(lba, volume));
  const auto found = Search(disk, geometry);
  EXPECT_EQ(found, want);
  EXPECT_EQ(found, Search(EveryByteHeld(disk), geometry));
}

// With a table, the search runs only when the user asks for it, and adds only
// starts the table does not hold yet.
TEST(PartitionSearchTest, AskedOnlyWhenTheTableHasEntries) {
  VirtualDisk disk;
  ASSERT_TRUE(OpenImage(disk, PartitionFixture("mbr.vhdx"), false).Usable());
  const SectorReader reader(disk);
  PartitionTable table;
  ReadDrivePartitions(reader, table);
  const auto fromTable = table.Entries();
  ASSERT_EQ(fromTable, ListedEntries(ReadLayout("mbr")));

  int asked = 0;
  ScanControl control;
  const auto answer = [&](PartitionChoice choice) {
    return [&asked, choice] {
      ++asked;
      return choice;
    };
  };
  EXPECT_FALSE(SearchPartitions(reader, GeometryFor(disk), table, answer(PartitionChoice::kUseExisting), control));
  EXPECT_FALSE(SearchPartitions(reader, GeometryFor(disk), table, answer(PartitionChoice::kCancel), control));
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(table.Entries(), fromTable);

  EXPECT_TRUE(SearchPartitions(reader, GeometryFor(disk), table, answer(PartitionChoice::kSearch), control));
  EXPECT_EQ(asked, 3);
  EXPECT_EQ(table.Entries(), fromTable) << "every volume found is already listed";
}

TEST(PartitionSearchTest, AddsTheVolumesTheTableMissed) {
  const auto layout = ReadLayout("classic");
  ASSERT_EQ(layout.size(), 3u);
  DiskCopy copy("classic");
  copy.Patch(test::RecordEntryOffset(2), std::vector<std::uint8_t>(16, 0));  // drops the FAT32 entry
  VirtualDisk disk;
  ASSERT_TRUE(OpenImage(disk, copy.Wrapped("vhdx"), false).Usable());
  const SectorReader reader(disk);
  PartitionTable table;
  ReadDrivePartitions(reader, table);
  ASSERT_EQ(table.Entries(), std::vector<PartitionEntry>(layout.begin(), layout.begin() + 2));

  ScanControl control;
  EXPECT_TRUE(SearchPartitions(reader, GeometryFor(disk), table, [] { return PartitionChoice::kSearch; }, control));
  ASSERT_EQ(table.Count(), 3u);
  ExpectUniqueStarts(table);
  EXPECT_EQ(table.Entries()[0], layout[0]);
  EXPECT_EQ(table.Entries()[1], layout[1]);
  const PartitionEntry found = table.Entries()[2];
  EXPECT_EQ(found.start, layout[2].start);
  EXPECT_EQ(found.code, kFat32);
  EXPECT_EQ(found.sectors, test::Fsstat(PartitionFixture("classic.raw"), found.start).totalEnd.value_or(0) + 1);
}

// An in-memory disk with 30 FAT16 boot sectors, one at every 1 MiB from 1 MiB
// on: the search keeps the first 25 it meets.
TEST(PartitionSearchTest, KeepsTheFirst25Found) {
  constexpr std::uint32_t kVolumes = 30;
  std::vector<std::uint8_t> bytes((kVolumes + 1) * 2048 * 512ULL, 0);
  for (std::uint32_t i = 1; i <= kVolumes; ++i) {
    std::uint8_t* boot = bytes.data() + i * 2048 * 512ULL;
    std::copy_n("FAT16", 5, boot + 54);
    boot[19] = 0x00;  // 2048 sectors in the 16-bit count
    boot[20] = 0x08;
    boot[510] = 0x55;
    boot[511] = 0xAA;
  }
  const MemorySource source(std::move(bytes));
  const SectorReader reader(source);
  PartitionTable table;
  ScanControl control;
  EXPECT_TRUE(SearchPartitions(reader, SearchGeometry({}, reader.SectorCount()), table, NeverAsked, control));
  ASSERT_EQ(table.Count(), PartitionTable::kCapacity);
  for (std::uint32_t i = 0; i < PartitionTable::kCapacity; ++i)
    EXPECT_EQ(table.Entries()[i], (PartitionEntry{(i + 1) * 2048, 2048, kFat16}));
}

}  // namespace
}  // namespace dravik
