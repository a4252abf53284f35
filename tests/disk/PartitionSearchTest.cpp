// Finding partitions by their boot sectors when the table is lost or misses
// some: at 1 MiB boundaries, at cylinder boundaries of a 255 x 63 geometry,
// and far into sparse disks of 64 GiB to 2 TiB. The expected starts are the
// fixture script's or the test's own; the lengths are what fsstat reads from
// each volume's boot sector.

#include <gtest/gtest.h>

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
using Entries = std::vector<PartitionEntry>;

// The geometry the search walks for an opened image: the VHD footer's, or
// for a VHDX one derived from the disk's size.
DiskGeometry GeometryFor(const VirtualDisk& disk) {
  DriveTable drives;
  RegisterImage(drives, disk);
  const DriveSlot& slot = drives.slots[0];
  return SearchGeometry({slot.cylinders, slot.heads, slot.sectorsPerTrack}, SectorReader(disk).SectorCount());
}

// A table that is empty must never make the search ask.
PartitionChoice NeverAsked() {
  ADD_FAILURE() << "asked whether to search although the table is empty";
  return PartitionChoice::kCancel;
}

Entries SortedByStart(Entries entries) {
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.start < b.start; });
  return entries;
}

// The disk with its absent blocks hidden: every byte counts as held, so a
// search over it reads every candidate. Passing over what the image does not
// hold must leave the table exactly as that walk finds it, order included.
class EveryByteHeld final : public ByteSource {
 public:
  explicit EveryByteHeld(const ByteSource& disk) : disk_(disk) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const override { return disk_.ReadAt(offset, out); }
  std::uint64_t Size() const override { return disk_.Size(); }

 private:
  const ByteSource& disk_;
};

// Searches a disk whose table lists nothing, checking that no start is found twice.
Entries Search(const ByteSource& disk, const DiskGeometry& geometry) {
  PartitionTable table;
  ReadDrivePartitions(SectorReader(disk), table);
  EXPECT_TRUE(table.Empty());
  ScanControl control;
  EXPECT_TRUE(SearchPartitions(SectorReader(disk), geometry, table, NeverAsked, control));
  std::set<std::uint64_t> starts;
  for (const PartitionEntry& e : table.Entries()) EXPECT_TRUE(starts.insert(e.start).second) << e.start << " twice";
  return table.Entries();
}

// The MBR zeroed. mbr: volumes at 1 MiB starts. classic: the first on the
// second track, the others on cylinder starts that are no 1 MiB multiples; as
// a VHD the footer's geometry (12 heads, 17 sectors) has to be translated to
// 255 x 63 first. sparse-64g has no table at all.
TEST(PartitionSearchTest, LostTablesFindEveryVolume) {
  for (const auto& [name, container] : std::vector<std::pair<std::string, std::string>>{
           {"mbr", "vhdx"}, {"classic", "vhdx"}, {"classic", "vhd"}, {"sparse-64g", ""}}) {
    SCOPED_TRACE(name + "." + container);
    VirtualDisk disk;
    Entries want;
    if (container.empty()) {
      ASSERT_TRUE(OpenImage(disk, PartitionFixture(name + ".vhdx"), false).Usable());
      want = ReadLayout(name);
      const DiskGeometry geometry = GeometryFor(disk);
      EXPECT_EQ(SectorReader(disk).SectorCount(), 64ULL << 21);
      EXPECT_EQ(geometry.heads, 255u);
      EXPECT_EQ(geometry.sectorsPerTrack, 63u);
      EXPECT_EQ(std::uint64_t{geometry.cylinders}, (64ULL << 21) / (255 * 63));
    } else {
      DiskCopy copy(name);
      copy.ZeroSector(0);
      ASSERT_TRUE(OpenImage(disk, copy.Wrapped(container), false).Usable());
      for (PartitionEntry entry : ListedEntries(ReadLayout(name))) {
        entry.sectors = test::Fsstat(PartitionFixture(name + ".raw"), entry.start).totalEnd.value_or(0) + 1;
        want.push_back(entry);
      }
    }
    const Entries found = Search(disk, GeometryFor(disk));
    EXPECT_EQ(SortedByStart(found), SortedByStart(want));
    if (container.empty()) {
      EXPECT_EQ(found, Search(EveryByteHeld(disk), GeometryFor(disk)));
    }
  }
}

// Boot sectors that mkfs.fat and mkntfs wrote, each put by qemu-io into an
// empty dynamic image at the sector given; expected of each is what fsstat
// reads from its volume.
class FarBootSectors {
 public:
  FarBootSectors() {
    MakeVolume("fat16", "mkfs.fat -F 16 -s 1", 16, kFat16);
    MakeVolume("fat32", "mkfs.fat -F 32 -s 1", 40, kFat32);
    MakeVolume("ntfs", "mkntfs -Q -F -q", 8, kNtfs);
  }

  std::filesystem::path Image(const std::string& format, const std::string& size,
                              const std::vector<std::pair<std::uint64_t, std::string>>& placed) const {
    const auto image = dir_ / (format.rfind("vhdx", 0) == 0 ? "far.vhdx" : "far.vhd");
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
    ASSERT_EQ(RunShell("truncate -s " + std::to_string(mebibytes) + "M " + Quote(volume) + " && " + make + " " + Quote(volume) +
                       " >/dev/null 2>&1 && head -c 512 " + Quote(volume) + " > " + Quote(dir_ / (name + ".boot"))).status,
              0)
        << make;
    volumes_[name] = {test::Fsstat(volume, 0).totalEnd.value_or(0) + 1, code};
  }

  test::TempDir dir_;
  std::map<std::string, std::pair<std::uint32_t, std::uint16_t>> volumes_;
};

TEST(PartitionSearchTest, BootSectorsFarIntoSparseDisks) {
  constexpr std::uint64_t kCylinder = 255 * 63;
  constexpr std::uint64_t kBlockSectors = (32 << 20) / 512;
  std::uint64_t straddling = 200000;
  while ((straddling * kCylinder) % kBlockSectors < kBlockSectors - 63) ++straddling;
  const struct {
    const char* name;
    const char* format;
    const char* size;
    std::vector<std::pair<std::uint64_t, std::string>> placed;
  } disks[] = {
      // 32 MiB blocks, 267349 cylinders of 255 x 63: FAT32 at 1 TiB (a 1 MiB
      // start inside a cylinder), FAT16 on a cylinder start that is no 1 MiB
      // multiple, FAT32 on the second track of a cylinder whose first sector
      // lies in the absent block before, NTFS at the last 1 MiB start, past
      // the last whole cylinder.
      {"2 TiB VHDX", "vhdx", "2T",
       {{1ULL << 31, "fat32"}, {150001 * kCylinder, "fat16"}, {straddling * kCylinder + 63, "fat32"}, {(1ULL << 32) - 2048, "ntfs"}}},
      // The footer's geometry covers only the first 127 GiB in cylinders:
      // past them only the 1 MiB starts are searched.
      {"2040 GiB VHD", "vpc -o subformat=dynamic,force_size=on", "2040G",
       {{5000 * kCylinder, "fat16"}, {1ULL << 31, "ntfs"}, {2040ULL * 2048 * 1024 - 2048, "fat32"}}},
  };
  const FarBootSectors volumes;
  for (const auto& d : disks) {
    SCOPED_TRACE(d.name);
    VirtualDisk disk;
    ASSERT_TRUE(OpenImage(disk, volumes.Image(d.format, d.size, d.placed), false).Usable());
    const DiskGeometry geometry = GeometryFor(disk);
    if (std::string(d.format) == "vhdx") {
      ASSERT_EQ(SectorReader(disk).SectorCount(), 1ULL << 32);
      ASSERT_EQ(std::uint64_t{geometry.cylinders} * kCylinder, (1ULL << 32) / kCylinder * kCylinder);
      ASSERT_LT(std::uint64_t{geometry.cylinders} * kCylinder, d.placed.back().first);
    } else {
      ASSERT_LT(std::uint64_t{geometry.cylinders} * kCylinder, 1ULL << 31);
    }
    Entries want;
    for (const auto& [lba, volume] : d.placed) want.push_back(volumes.Entry(lba, volume));
    const Entries found = Search(disk, geometry);
    EXPECT_EQ(found, want);
    EXPECT_EQ(found, Search(EveryByteHeld(disk), geometry));
  }
}

// With a table, the search runs only when the user asks for it, and adds
// only starts the table does not hold yet: classic with its FAT32 entry
// dropped gets it back.
TEST(PartitionSearchTest, WithATableOnlyWhenAskedAndOnlyWhatItMisses) {
  const auto layout = ReadLayout("classic");
  ASSERT_EQ(layout.size(), 3u);
  DiskCopy copy("classic");
  copy.Patch(test::RecordEntryOffset(2), std::vector<std::uint8_t>(16, 0));
  VirtualDisk disk;
  ASSERT_TRUE(OpenImage(disk, copy.Wrapped("vhdx"), false).Usable());
  const SectorReader reader(disk);
  PartitionTable table;
  ReadDrivePartitions(reader, table);
  const Entries fromTable(layout.begin(), layout.begin() + 2);
  ASSERT_EQ(table.Entries(), fromTable);

  int asked = 0;
  ScanControl control;
  const auto answer = [&](PartitionChoice choice) {
    return [&asked, choice] { return ++asked, choice; };
  };
  EXPECT_FALSE(SearchPartitions(reader, GeometryFor(disk), table, answer(PartitionChoice::kUseExisting), control));
  EXPECT_FALSE(SearchPartitions(reader, GeometryFor(disk), table, answer(PartitionChoice::kCancel), control));
  EXPECT_EQ(table.Entries(), fromTable);
  EXPECT_TRUE(SearchPartitions(reader, GeometryFor(disk), table, answer(PartitionChoice::kSearch), control));
  EXPECT_EQ(asked, 3);
  ASSERT_EQ(table.Count(), 3u);
  EXPECT_EQ(table.Entries()[0], layout[0]);
  EXPECT_EQ(table.Entries()[1], layout[1]);
  EXPECT_EQ(table.Entries()[2].start, layout[2].start);
  EXPECT_EQ(table.Entries()[2].code, kFat32);
  EXPECT_EQ(table.Entries()[2].sectors, test::Fsstat(PartitionFixture("classic.raw"), layout[2].start).totalEnd.value_or(0) + 1);
  EXPECT_TRUE(SearchPartitions(reader, GeometryFor(disk), table, answer(PartitionChoice::kSearch), control));
  EXPECT_EQ(table.Count(), 3u) << "every volume found is already listed";
}

// 30 FAT16 boot sectors in memory, one at every 1 MiB from 1 MiB on: the
// search keeps the first 25 it meets.
TEST(PartitionSearchTest, KeepsTheFirst25Found) {
  constexpr std::uint32_t kVolumes = 30;
  std::vector<std::uint8_t> bytes((kVolumes + 1) * 2048 * 512ULL, 0);
  for (std::uint32_t i = 1; i <= kVolumes; ++i) {
    std::uint8_t* boot = bytes.data() + i * 2048 * 512ULL;
    std::copy_n("FAT16", 5, boot + 54);
    boot[20] = 0x08;  // 2048 sectors in the 16-bit count
    boot[510] = 0x55;
    boot[511] = 0xAA;
  }
  const MemorySource source(std::move(bytes));
  const Entries found = Search(source, SearchGeometry({}, source.Size() / 512));
  ASSERT_EQ(found.size(), PartitionTable::kCapacity);
  for (std::uint32_t i = 0; i < PartitionTable::kCapacity; ++i) EXPECT_EQ(found[i], (PartitionEntry{(i + 1) * 2048, 2048, kFat16}));
}

}  // namespace
}  // namespace dravik
