// Partition tables of sfdisk's disks against mmls, intact and damaged; the search by boot sectors; damaged boot sectors
// against fsstat of the intact volume (intact ones: the container matrix).

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

#include "PartitionFixtures.h"
#include "TestFiles.h"
#include "disk/BootSector.h"
#include "disk/DriveTable.h"
#include "disk/PartitionSearch.h"
#include "disk/SectorReader.h"
#include "fs/FsParamsReader.h"
#include "fs/QuickScan.h"
#include "util/Diagnostics.h"
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
using test::RecordEntry;
using test::RecordEntryOffset;
using Entries = std::vector<PartitionEntry>;

void ExpectUniqueStarts(const Entries& entries) {
  std::set<std::uint64_t> starts;
  for (const PartitionEntry& e : entries) EXPECT_TRUE(starts.insert(e.start).second) << e.start << " listed twice";
}

PartitionTable DrivePartitions(const ByteSource& source) {
  PartitionTable table;
  ReadDrivePartitions(SectorReader(source), table);
  return table;
}

// Every partition made, so every entry listed, is one mmls finds with the same start and length. many-logical holds
// more than a full table: the first 25 usable entries are kept, the Linux primary skipped.
TEST(PartitionTableTest, ListsTheLayoutAndMmlsAgrees) {
  for (const std::string disk : {"mbr", "extended", "gpt", "classic", "many-logical"}) {
    SCOPED_TRACE(disk);
    const auto layout = ReadLayout(disk);
    const PartitionTable table = DrivePartitions(*test::OpenTestImage(PartitionFixture(disk + ".raw")));
    EXPECT_EQ(table.Entries(), ListedEntries(layout));
    const auto mmls = test::Mmls(PartitionFixture(disk + ".raw"));
    for (const PartitionEntry& entry : layout)
      EXPECT_NE(std::find(mmls.begin(), mmls.end(), test::MmlsRow{entry.start, entry.sectors}), mmls.end())
          << "mmls shows no partition at " << entry.start << " of " << entry.sectors << " sectors";
    if (disk != "many-logical") continue;
    EXPECT_GT(layout.size(), PartitionTable::kCapacity + 1) << "the table's capacity is not reached";
    EXPECT_EQ(layout.front().code, 0);
  }
}

// The extended partition of a copy and its records (the first at its start).
struct Chain {
  std::uint32_t extendedStart = 0;
  std::vector<std::uint32_t> records;
};

Chain ReadChain(const DiskCopy& copy) {
  Chain chain;
  const auto mbr = copy.Sector(0);
  for (int i = 0; i < 4; ++i)
    if (mbr[RecordEntryOffset(i) + 4] == 0x05 || mbr[RecordEntryOffset(i) + 4] == 0x0F)
      chain.extendedStart = le32(mbr, RecordEntryOffset(i) + 8);
  for (std::uint32_t record = chain.extendedStart; record && chain.records.size() < 64;) {
    chain.records.push_back(record);
    const auto ebr = copy.Sector(record);
    record = ebr[RecordEntryOffset(1) + 4] == 0x05 ? chain.extendedStart + le32(ebr, RecordEntryOffset(1) + 8) : 0;
  }
  return chain;
}

std::vector<std::uint8_t> GptHeaderStart() {
  std::vector<std::uint8_t> sector(512, 0);
  std::copy_n("EFI PART", 8, sector.begin());
  return sector;
}

struct TableDamage {
  std::string name;
  const char* disk;
  std::function<void(DiskCopy&, const Entries& layout)> edit;
  std::function<Entries(Entries layout)> want;  // from the layout the script made
};

Entries Layout(Entries layout) { return layout; }
Entries Nothing(Entries) { return {}; }

// The first logical partition's EBR entry given type, its boot sector replaced.
std::function<void(DiskCopy&, const Entries&)> Logical(std::uint8_t type, std::vector<std::uint8_t> boot) {
  return [type, boot](DiskCopy& c, const Entries&) {
    const std::uint32_t record = ReadChain(c).records.at(0);
    const auto ebr = c.Sector(record);
    const std::uint32_t relative = le32(ebr, RecordEntryOffset(0) + 8);
    c.Patch(record * 512ULL + RecordEntryOffset(0), RecordEntry(type, relative, le32(ebr, RecordEntryOffset(0) + 12)));
    c.WriteSector(record + relative, boot);
  };
}

// The last EBR linking back to record `to` of the chain.
std::function<void(DiskCopy&, const Entries&)> LoopTo(std::size_t to) {
  return [to](DiskCopy& c, const Entries&) {
    const Chain chain = ReadChain(c);
    ASSERT_EQ(chain.records.size(), 3u);
    const std::uint32_t target = chain.records[to];
    c.Patch(chain.records.back() * 512ULL + RecordEntryOffset(1),
        RecordEntry(0x05, target - chain.extendedStart, 2048));
  };
}

// Breaks the GPT header at sector (CRC or whole) and, for `both`, the backup too.
std::function<void(DiskCopy&, const Entries&)> GptHeaders(bool zero, bool both) {
  return [zero, both](DiskCopy& c, const Entries&) {
    std::vector<std::uint64_t> headers{1};
    if (both) headers.push_back(c.OpenRaw()->Size() / 512 - 1);
    for (const std::uint64_t at : headers) {
      auto header = c.Sector(at);
      ASSERT_TRUE(HasAscii(header, 0, "EFI PART"));
      header[16] ^= 0xFF;
      c.WriteSector(at, zero ? std::vector<std::uint8_t>(512, 0) : header);
    }
  };
}

Entries ProtectiveEntry(Entries) {
  const auto mbr = test::BytesAt(PartitionFixture("gpt.raw"), 0, 512);
  EXPECT_EQ(mbr[RecordEntryOffset(0) + 4], 0xEE);
  return {{le32(mbr, RecordEntryOffset(0) + 8), le32(mbr, RecordEntryOffset(0) + 12), kNtfs}};
}

TEST(PartitionTableDamageTest, WhatTheTableStillLists) {
  const std::vector<TableDamage> rows = {
      {"MBR signature 55 00: either byte is enough", "mbr",
          [](DiskCopy& c, const Entries&) { c.Patch(510, {0x55, 0}); },
       ListedEntries},
      {"MBR signature 00 AA", "mbr", [](DiskCopy& c, const Entries&) { c.Patch(510, {0, 0xAA}); }, ListedEntries},
      {"MBR without signature", "mbr", [](DiskCopy& c, const Entries&) { c.Patch(510, {0, 0}); }, Nothing},
      {"boot sectors zeroed: the types decide", "mbr",
       [](DiskCopy& c, const Entries& l) {
           std::for_each(l.begin(), l.end(), [&](const auto& e) { c.ZeroSector(e.start); }); },
       Layout},
      {"boot sectors zeroed, the first marked Linux: not listed", "mbr",
       [](DiskCopy& c, const Entries& l) {
         for (const PartitionEntry& e : l) c.ZeroSector(e.start);
         c.Patch(RecordEntryOffset(0), RecordEntry(0x83, l[0].start, l[0].sectors));
       },
       [](Entries l) { return l.erase(l.begin()), l; }},
      // A boot sector's label wins over a type that says otherwise or nothing.
      {"FAT16 marked Linux, FAT32 marked NTFS, NTFS marked FAT16", "mbr",
       [](DiskCopy& c, const Entries& l) {
         c.Patch(RecordEntryOffset(0), RecordEntry(0x83, l[0].start, l[0].sectors));
         c.Patch(RecordEntryOffset(2), RecordEntry(0x07, l[1].start, l[1].sectors));
         c.Patch(RecordEntryOffset(3), RecordEntry(0x06, l[2].start, l[2].sectors));
       },
       Layout},
      {"FAT16 marked Linux, starting like a GPT header: NTFS", "mbr",
       [](DiskCopy& c, const Entries& l) {
         c.Patch(RecordEntryOffset(0), RecordEntry(0x83, l[0].start, l[0].sectors));
         c.WriteSector(l[0].start, GptHeaderStart());
       },
       [](Entries l) { return l[0].code = kNtfs, l; }},
      // The drive's table is looked for at sectors 0, 61 and 62: the first that lists something is used.
      {"MBR zeroed, a copy at sector 61", "mbr",
          [](DiskCopy& c, const Entries&) { c.WriteSector(61, c.Sector(0)), c.ZeroSector(0); },
       ListedEntries},
      {"MBR zeroed, a copy at sector 62", "mbr",
          [](DiskCopy& c, const Entries&) { c.WriteSector(62, c.Sector(0)), c.ZeroSector(0); },
       ListedEntries},
      {"MBR lists only Linux over zeros: sector 62's used", "mbr",
       [](DiskCopy& c, const Entries&) {
         c.WriteSector(62, c.Sector(0));
         std::vector<std::uint8_t> linuxOnly(512, 0);
         linuxOnly[510] = 0x55, linuxOnly[511] = 0xAA;
         const auto entry = RecordEntry(0x83, 1000, 1000);
         std::copy(entry.begin(), entry.end(), linuxOnly.begin() + 446);
         c.WriteSector(0, linuxOnly);
       },
       ListedEntries},
      {"MBR lists one entry: used whatever 62 holds", "mbr",
       [](DiskCopy& c, const Entries&) {
         auto mbr = c.Sector(0);
         c.WriteSector(62, mbr);
         std::fill(mbr.begin() + 446 + 16, mbr.begin() + 510, std::uint8_t{0});
         c.WriteSector(0, mbr);
       },
       [](Entries l) { return Entries{ListedEntries(l).front()}; }},
      {"last EBR links back to the first", "extended", LoopTo(0), ListedEntries},
      // In an EBR, type 0xEE or a partition starting like a GPT header names FAT32 unless a label says otherwise.
      {"EBR type 0xEE over zeros: FAT32", "extended", Logical(0xEE, std::vector<std::uint8_t>(512, 0)),
       [](Entries l) { return l = ListedEntries(l), l[1].code = kFat32, l; }},
      {"EBR type 0x83 over zeros: not listed", "extended", Logical(0x83, std::vector<std::uint8_t>(512, 0)),
       [](Entries l) { return l = ListedEntries(l), l.erase(l.begin() + 1), l; }},
      {"EBR type 0x83 over a GPT header: FAT32", "extended", Logical(0x83, GptHeaderStart()),
       [](Entries l) { return l = ListedEntries(l), l[1].code = kFat32, l; }},
      {"primary GPT header zeroed", "gpt", GptHeaders(true, false), ListedEntries},
      {"primary GPT entry array damaged: a byte of the first name", "gpt",
       [](DiskCopy& c, const Entries&) { c.Patch(2 * 512 + 56, {static_cast<std::uint8_t>(c.Sector(2)[56] ^ 0x5A)}); },
       ListedEntries},
      {"both GPT header CRCs wrong: the protective entry alone", "gpt", GptHeaders(false, true), ProtectiveEntry},
  };
  for (const TableDamage& row : rows) {
    SCOPED_TRACE(row.name);
    const Entries layout = ReadLayout(row.disk);
    DiskCopy copy(row.disk);
    row.edit(copy, layout);
    const PartitionTable table = DrivePartitions(*copy.OpenRaw());
    EXPECT_EQ(table.Entries(), row.want(layout));
  }
}

// The geometry the search walks: the VHD footer's, or for a VHDX one derived from the disk's size.
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

// The disk with its absent blocks hidden: a search over it reads every candidate. Passing over what the image does not
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
  ExpectUniqueStarts(table.Entries());
  return table.Entries();
}

// The MBR zeroed. mbr: volumes at 1 MiB starts. classic: on the second track and cylinder starts that are no 1 MiB
// multiples; as a VHD the footer's 12 x 17 geometry becomes 255 x 63 first. sparse-64g has no table.
TEST(PartitionSearchTest, LostTablesFindEveryVolume) {
  for (const auto& [name, container] : std::vector<std::pair<std::string, std::string>>{
           {"mbr", "vhdx"}, {"classic", "vhdx"}, {"classic", "vhd"}, {"sparse-64g", ""}}) {
    SCOPED_TRACE(name + "." + container);
    VirtualDisk disk;
    Entries want;
    if (container.empty()) {
      ASSERT_TRUE(OpenImage(disk, PartitionFixture(name + ".vhdx"), false).Usable());
      want = ReadLayout(name);
    } else {
      DiskCopy copy(name);
      copy.ZeroSector(0);
      ASSERT_TRUE(OpenImage(disk, copy.Wrapped(container), false).Usable());
      for (PartitionEntry entry : ListedEntries(ReadLayout(name))) {
        entry.sectors = test::Fsstat(PartitionFixture(name + ".raw"), entry.start).totalEnd.value_or(0) + 1;
        want.push_back(entry);
      }
    }
    EXPECT_EQ(SortedByStart(Search(disk, GeometryFor(disk))), SortedByStart(want));
  }
}

// Boot sectors mkfs.fat and mkntfs wrote, put by qemu-io into an empty image at the sector given; expected of each is
// what fsstat reads from its volume.
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
      writes += " -c "
          + Quote("write -q -s " + (dir_ / (volume + ".boot")).string() + " " + std::to_string(lba * 512) + " 512");
    const auto written = RunShell("qemu-io -f " + format.substr(0, format.find(' ')) + writes + " " + Quote(image)
        + " 2>&1");
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
    ASSERT_EQ(RunShell("truncate -s " + std::to_string(mebibytes) + "M " + Quote(volume) + " && " + make + " "
        + Quote(volume) +
                       " >/dev/null 2>&1 && head -c 512 " + Quote(volume) + " > "
                           + Quote(dir_ / (name + ".boot"))).status,
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
      // 32 MiB blocks, 267349 cylinders: FAT32 at 1 TiB (inside a cylinder), FAT16 on a cylinder start that is no 1 MiB
      // multiple, FAT32 on the second track of a cylinder that starts in the absent block before, NTFS at the last 1
      // MiB start, past the last whole cylinder.
      {"2 TiB VHDX", "vhdx", "2T",
       {{1ULL << 31, "fat32"}, {150001 * kCylinder, "fat16"}, {straddling * kCylinder + 63, "fat32"},
           {(1ULL << 32) - 2048, "ntfs"}}},
      // The footer's geometry covers only 127 GiB: past that only the 1 MiB starts are searched.
      {"2040 GiB VHD", "vpc -o subformat=dynamic,force_size=on", "2040G",
       {{5000 * kCylinder, "fat16"}, {1ULL << 31, "ntfs"}, {2040ULL * 2048 * 1024 - 2048, "fat32"}}},
  };
  const FarBootSectors volumes;
  for (const auto& d : disks) {
    SCOPED_TRACE(d.name);
    const VirtualDisk disk = test::OpenOrFail(volumes.Image(d.format, d.size, d.placed));
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

// With a table, the search runs only when asked and adds only starts the table lacks: classic gets its FAT32 back.
TEST(PartitionSearchTest, WithATableOnlyWhenAskedAndOnlyWhatItMisses) {
  const auto layout = ReadLayout("classic");
  ASSERT_EQ(layout.size(), 3u);
  DiskCopy copy("classic");
  copy.Patch(test::RecordEntryOffset(2), std::vector<std::uint8_t>(16, 0));
  const VirtualDisk disk = test::OpenOrFail(copy.Wrapped("vhdx"));
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
  const auto fat32 = test::Fsstat(PartitionFixture("classic.raw"), layout[2].start).totalEnd.value_or(0) + 1;
  EXPECT_EQ(table.Entries(),
      (Entries{layout[0], layout[1], {layout[2].start, static_cast<std::uint32_t>(fat32), kFat32}}));
  EXPECT_TRUE(SearchPartitions(reader, GeometryFor(disk), table, answer(PartitionChoice::kSearch), control));
  EXPECT_EQ(table.Count(), 3u) << "every volume found is already listed";
}

// 30 FAT16 boot sectors in memory, one at every 1 MiB from 1 MiB on: the search keeps the first 25 it meets.
TEST(PartitionSearchTest, KeepsTheFirst25Found) {
  constexpr std::uint32_t kVolumes = 30;
  std::vector<std::uint8_t> bytes((kVolumes + 1) * 2048 * 512ULL, 0);
  for (std::uint32_t i = 1; i <= kVolumes; ++i) {
    std::uint8_t* boot = bytes.data() + i * 2048 * 512ULL;
    std::copy_n("FAT16", 5, boot + 54);
    boot[20] = 0x08;  // 2048 sectors in the 16-bit count
    boot[510] = 0x55, boot[511] = 0xAA;
  }
  const MemorySource source(std::move(bytes));
  Entries want;
  for (std::uint32_t i = 1; i <= PartitionTable::kCapacity; ++i) want.push_back({i * 2048, 2048, kFat16});
  EXPECT_EQ(Search(source, SearchGeometry({}, source.Size() / 512)), want);
}

// 0 would divide by zero; the others are no size a FAT or NTFS volume is made with.
TEST(BootSectorTest, ClusterSizesOtherThanPowersOfTwoUpTo128AreRefused) {
  for (std::uint64_t s = 1; s <= 128; s *= 2) EXPECT_EQ(boot::ClusterSizeProblem(s), "") << s;
  for (const std::uint64_t s : {0u, 96u, 256u}) EXPECT_NE(boot::ClusterSizeProblem(s), "") << s;
}

// What a reader said of a sector: a part of the text, with a likely cause.
struct Said {
  std::uint64_t sector;
  std::string what;
};

struct BootDamage {
  const char* name;
  std::vector<const char*> disks;  // every volume of the kind on each is damaged in turn
  std::uint16_t code;
  // The damage, given the volume's entry and its intact boot sector.
  std::function<void(DiskCopy&, const PartitionEntry&, const boot::BootSector&)> edit;
  bool read;       // the parameters are read (and agree with fsstat)
  int calculated;  // -1: not tried; 0: the calculation fails; 1: it agrees with fsstat
  std::function<std::vector<Said>(const PartitionEntry&, const boot::BootSector&)> said = nullptr;
  bool onlyThese = false;  // nothing else is said
  std::uint32_t sectors = 0;  // the volume's length when not its entry's
  bool quickScan = false;  // the Quick Scan fails, passing on what was said and that FAT alone is calculated
};

bool Says(const Diagnostics& said, std::uint64_t sector, const std::string& what) {
  const auto entries = said.Entries();
  return std::any_of(entries.begin(), entries.end(), [&](const DiagnosticEntry& e) {
    return e.sector == sector && e.what.find(what) != std::string::npos && !e.cause.empty();
  });
}

constexpr std::uint64_t Last(const PartitionEntry& e) { return e.start + e.sectors - 1; }
void Patch(DiskCopy& copy, std::uint64_t sector, std::size_t offset, std::vector<std::uint8_t> bytes) {
  copy.Patch(sector * 512 + offset, bytes);
}

TEST(BootSectorDamageTest, BackupsCalculationsAndWhatIsSaid) {
  const std::vector<std::uint8_t> far = {0, 0, 0, 1, 0, 0, 0, 0};  // cluster 2^24
  const auto zeroBoot = [](DiskCopy& c, const PartitionEntry& e, const boot::BootSector&) { c.ZeroSector(e.start); };
  const std::vector<BootDamage> rows = {
      {"FAT32 boot sector zeroed: the backup six sectors in", {"mbr", "classic"}, kFat32, zeroBoot, true, -1},
      {"FAT32 both copies zeroed: calculated", {"mbr", "classic"}, kFat32,
       [](DiskCopy& c, const PartitionEntry& e, const auto&) { c.ZeroSector(e.start), c.ZeroSector(e.start + 6); },
       false, 1,
       [](const PartitionEntry& e, const auto&) {
         return std::vector<Said>{{e.start, "not 55 AA"}, {e.start + 6, "not 55 AA"}};
       },
       true},
      {"NTFS boot sector zeroed: the copy in the last sector", {"mbr", "classic"}, kNtfs, zeroBoot, true, -1},
      {"NTFS both copies zeroed", {"mbr", "classic"}, kNtfs,
       [](DiskCopy& c, const PartitionEntry& e, const auto&) { c.ZeroSector(e.start), c.ZeroSector(Last(e)); },
       false, -1},
      // The first FAT gives the reserved sectors; two folders' "." and ".." the cluster size, base and FAT size.
      {"FAT16 boot sector zeroed: calculated", {"mbr", "extended", "gpt", "classic"}, kFat16, zeroBoot, false, 1},
      {"FAT16 boot sector zeroed, the volume one sector long: no folder", {"mbr"}, kFat16, zeroBoot, false, 0,
       [](const PartitionEntry& e, const auto&) {
         return std::vector<Said>{{e.start,
             "fewer than two folder starts (\".\" and \"..\") in the data area: 0 found"}};
       },
       false, 1},
      {"NTFS cluster size 3 in the first copy", {"mbr"}, kNtfs,
       [](DiskCopy& c, const PartitionEntry& e, const auto&) {
         Patch(c, e.start, boot::kSectorsPerClusterOffset, {3});
       },
       true, -1,
       [](const PartitionEntry& e, const auto&) {
         return std::vector<Said>{{e.start, "sectors per cluster 3 is not a power of two"}};
       }},
      {"NTFS cluster sizes 3 and 96 in the two copies", {"mbr"}, kNtfs,
       [](DiskCopy& c, const PartitionEntry& e, const auto&) {
         Patch(c, e.start, boot::kSectorsPerClusterOffset, {3}),
             Patch(c, Last(e), boot::kSectorsPerClusterOffset, {96});
       },
       false, -1,
       [](const PartitionEntry& e, const auto&) {
         return std::vector<Said>{{e.start, "sectors per cluster 3 is not a power of two"},
                                  {Last(e), "sectors per cluster 96 is not a power of two"}};
       },
       false, 0, true},
      {"NTFS MFT and mirror at cluster 2^24 in both copies", {"mbr"}, kNtfs,
       [&](DiskCopy& c, const PartitionEntry& e, const auto&) {
         for (const std::uint64_t at : {e.start, Last(e)})
           Patch(c, at, boot::kMftClusterOffset, far), Patch(c, at, boot::kMirrorClusterOffset, far);
       },
       false, -1,
       [](const PartitionEntry& e, const boot::BootSector& b) {
         const std::uint64_t named = e.start + (std::uint64_t{1} << 24) * b.sectorsPerCluster;
         return std::vector<Said>{{named, "no \"FILE\" record where the boot sector at " + std::to_string(e.start)
             + " puts the MFT"},
                                  {named, "puts the MFT mirror"}};
       }},
      {"FAT16 reserved sectors 17: no second FAT there", {"mbr"}, kFat16,
       [](DiskCopy& c, const PartitionEntry& e, const auto&) {
           Patch(c, e.start, boot::kReservedSectorsOffset, {0x11, 0}); },
       false, -1,
       [](const PartitionEntry& e, const boot::BootSector& b) {
         return std::vector<Said>{{e.start + 17 + b.fatSize16,
             "the second FAT does not begin with the media byte F8 here (reserved sectors 17, FAT size " +
                                                                   std::to_string(b.fatSize16) + ")"}};
       }},
  };
  for (const BootDamage& row : rows) {
    for (const std::string disk : row.disks) {
      for (PartitionEntry entry : ListedEntries(ReadLayout(disk))) {
        if (entry.code != row.code) continue;
        SCOPED_TRACE(std::string(row.name) + ", " + disk + " at " + std::to_string(entry.start));
        DiskCopy copy(disk);
        const boot::BootSector intact = boot::Decode(copy.Sector(entry.start));
        row.edit(copy, entry, intact);
        const auto source = copy.OpenRaw();
        const SectorReader reader(*source);
        const test::FsstatReport oracle = test::Fsstat(PartitionFixture(disk + ".raw"), entry.start);
        if (row.sectors) entry.sectors = row.sectors;
        FsParams params = FsParams::ForPartition(entry);
        Diagnostics said;
        EXPECT_EQ(ReadFsParams(reader, params, ScanControl(), said), row.read);
        if (row.read) test::ExpectParamsMatchFsstat(params, oracle, entry.start);
        if (row.calculated >= 0) {
          params = FsParams::ForPartition(entry);
          ScanControl control;
          EXPECT_EQ(CalculateFsParams(reader, params, control, said), row.calculated == 1);
          EXPECT_EQ(control.StopRequested(), row.calculated == 0);
          if (row.calculated == 1) test::ExpectParamsMatchFsstat(params, oracle, entry.start);
        }
        std::string listing;
        for (const DiagnosticEntry& e : said.Entries()) listing += Diagnostics::Describe(e) + "\n";
        const auto wanted = row.said ? row.said(entry, intact) : std::vector<Said>{};
        for (const Said& s : wanted)
          EXPECT_TRUE(Says(said, s.sector, s.what)) << s.sector << ": " << s.what << "\nsaid:\n" << listing;
        if (row.onlyThese) { EXPECT_EQ(said.Entries().size(), wanted.size()) << listing; }
        if (!row.quickScan) continue;
        RecoveryStore store;
        ScanControl control;
        Diagnostics quick;
        EXPECT_EQ(RunQuickScan(reader, entry, store, control, quick).verdict, Verdict::kFailed);
        for (const Said& s : wanted) EXPECT_TRUE(Says(quick, s.sector, s.what)) << s.sector << ": " << s.what;
        EXPECT_TRUE(Says(quick, entry.start, "calculated only for FAT"));
      }
    }
  }
}

// Two folders of a FAT16 volume in memory, cluster 10 at sector 1000 and 12 at 1016, and no FAT to give the reserved
// sectors (the volumes of BootSectorDamageTest keep theirs): 8 sectors per cluster, cluster 0 at 920 all the same.
TEST(FsParamsTest, CalculatedFromTwoFoldersWithoutAFat) {
  std::vector<std::uint8_t> bytes(2048 * 512, 0);
  for (const auto& [sector, cluster, parent] : {std::tuple{1000, 10, 0}, {1016, 12, 10}}) {
    std::uint8_t* at = bytes.data() + sector * 512;
    std::copy_n(".          ", 11, at);
    std::copy_n("..         ", 11, at + 32);
    at[11] = at[32 + 11] = 0x10;
    at[26] = static_cast<std::uint8_t>(cluster);
    at[32 + 26] = static_cast<std::uint8_t>(parent);
  }
  const MemorySource source(std::move(bytes));
  FsParams params = FsParams::ForPartition({0, 2048, kFat16});
  ScanControl control;
  ASSERT_TRUE(CalculateFsParams(SectorReader(source), params, control));
  EXPECT_TRUE(params.sectorsPerCluster == 8 && params.clusterBase == 920);
}

}  // namespace
}  // namespace dravik
