// Reading partition tables (MBR, extended boot records, GPT) from disks made
// by sfdisk, mkfs.fat and mkntfs; mmls on the raw disk is the oracle. The
// damaged cases edit bytes of a copy of a raw disk.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "PartitionFixtures.h"
#include "TestFiles.h"
#include "disk/SectorReader.h"
#include "vdisk/ImageFile.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

using test::DiskCopy;
using test::ListedEntries;
using test::PartitionFixture;
using test::ReadLayout;
using test::RecordEntry;
using test::RecordEntryOffset;

PartitionTable DrivePartitions(const ByteSource& source) {
  PartitionTable table;
  ReadDrivePartitions(SectorReader(source), table);
  return table;
}

PartitionTable TableAt(const ByteSource& source, std::uint32_t sector) {
  PartitionTable table;
  ReadPartitionTable(SectorReader(source), sector, table);
  return table;
}

void ExpectUniqueStarts(const PartitionTable& table) {
  std::set<std::uint64_t> starts;
  for (const PartitionEntry& e : table.Entries()) EXPECT_TRUE(starts.insert(e.start).second) << "start " << e.start << " listed twice";
}

// --- intact disks in every container -----------------------------------------

struct DiskCase {
  const char* disk;
  const char* container;  // "vhd", "vhdx" or "raw"
};

std::ostream& operator<<(std::ostream& os, const DiskCase& c) { return os << c.disk << "." << c.container; }

class IntactTableTest : public ::testing::TestWithParam<DiskCase> {};

TEST_P(IntactTableTest, ListsTheLayoutAndMmlsAgrees) {
  const DiskCase c = GetParam();
  const auto layout = ReadLayout(c.disk);
  PartitionTable table;
  if (std::string(c.container) == "raw") {
    const auto file = ImageFile::Open(PartitionFixture(std::string(c.disk) + ".raw"));
    ASSERT_TRUE(file);
    table = DrivePartitions(*file);
  } else {
    VirtualDisk disk;
    const auto image = PartitionFixture(std::string(c.disk) + "." + c.container);
    const OpenResult opened = OpenImage(disk, image, false);
    ASSERT_TRUE(opened.Usable()) << image << ": " << opened.message;
    table = DrivePartitions(disk);
  }
  EXPECT_EQ(table.Entries(), ListedEntries(layout));

  // Every partition the fixture script made, and so every entry listed, is
  // one mmls finds on the raw disk with the same start and length.
  const auto mmls = test::Mmls(PartitionFixture(std::string(c.disk) + ".raw"));
  for (const PartitionEntry& entry : layout) {
    const test::MmlsRow row{entry.start, entry.sectors};
    EXPECT_NE(std::find(mmls.begin(), mmls.end(), row), mmls.end())
        << "mmls does not show a partition at " << entry.start << " of " << entry.sectors << " sectors";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Disks, IntactTableTest,
    ::testing::Values(DiskCase{"mbr", "vhd"}, DiskCase{"mbr", "vhdx"}, DiskCase{"mbr", "raw"},
                      DiskCase{"extended", "vhd"}, DiskCase{"extended", "vhdx"}, DiskCase{"extended", "raw"},
                      DiskCase{"gpt", "vhd"}, DiskCase{"gpt", "vhdx"}, DiskCase{"gpt", "raw"},
                      DiskCase{"classic", "vhd"}, DiskCase{"classic", "vhdx"}, DiskCase{"classic", "raw"},
                      DiskCase{"many-logical", "vhd"}, DiskCase{"many-logical", "vhdx"}),
    [](const auto& caseInfo) {
      std::string name = std::string(caseInfo.param.disk) + "_" + caseInfo.param.container;
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

// The fixture itself must hold more than a full table, or the cap is not tried.
TEST(PartitionTableTest, KeepsTheFirst25Entries) {
  const auto layout = ReadLayout("many-logical");
  ASSERT_GT(layout.size(), PartitionTable::kCapacity + 1);
  VirtualDisk disk;
  ASSERT_TRUE(OpenImage(disk, PartitionFixture("many-logical.vhdx"), false).Usable());
  const PartitionTable table = DrivePartitions(disk);
  ASSERT_EQ(table.Count(), PartitionTable::kCapacity);
  EXPECT_TRUE(table.Full());
  // Skips the Linux primary (type 0x83, no file system) and then takes the
  // logical partitions in chain order.
  EXPECT_EQ(layout.front().code, 0);
  EXPECT_EQ(table.Entries().front(), layout[1]);
  EXPECT_EQ(table.Entries().back(), layout[PartitionTable::kCapacity]);
}

// --- the MBR's signature and entry types --------------------------------------

TEST(MbrTest, EitherSignatureByteIsEnough) {
  const auto listed = ListedEntries(ReadLayout("mbr"));
  DiskCopy copy("mbr");
  copy.Patch(510, {0x55, 0x00});
  EXPECT_EQ(TableAt(*copy.OpenRaw(), 0).Entries(), listed) << "0x55 0x00";
  copy.Patch(510, {0x00, 0xAA});
  EXPECT_EQ(TableAt(*copy.OpenRaw(), 0).Entries(), listed) << "0x00 0xAA";
  copy.Patch(510, {0x00, 0x00});
  EXPECT_TRUE(TableAt(*copy.OpenRaw(), 0).Empty()) << "no signature byte";
  EXPECT_TRUE(DrivePartitions(*copy.OpenRaw()).Empty());
}

// Without a boot sector label, the partition type names the file system.
TEST(MbrTest, TypeDecidesWhenTheBootSectorIsLost) {
  const auto layout = ReadLayout("mbr");
  ASSERT_EQ(layout.size(), 3u);
  DiskCopy copy("mbr");
  for (const PartitionEntry& entry : layout) copy.ZeroSector(entry.start);
  EXPECT_EQ(TableAt(*copy.OpenRaw(), 0).Entries(), layout) << "types 0x06, 0x0C and 0x07";

  const PartitionEntry first = layout.front();
  struct TypeCode {
    std::uint8_t type;
    std::uint16_t code;  // 0: not listed
  };
  for (const TypeCode tc : {TypeCode{0x01, kFat16}, TypeCode{0x04, kFat16}, TypeCode{0x06, kFat16},
                            TypeCode{0x0E, kFat16}, TypeCode{0x0B, kFat32}, TypeCode{0x0C, kFat32},
                            TypeCode{0x07, kNtfs}, TypeCode{0x83, 0}, TypeCode{0x82, 0}, TypeCode{0x8E, 0},
                            TypeCode{0xA5, 0}}) {
    copy.Patch(RecordEntryOffset(0), RecordEntry(tc.type, first.start, first.sectors));
    const PartitionTable table = TableAt(*copy.OpenRaw(), 0);
    std::vector<PartitionEntry> want(layout.begin() + 1, layout.end());
    if (tc.code) want.insert(want.begin(), {first.start, first.sectors, tc.code});
    EXPECT_EQ(table.Entries(), want) << "type 0x" << std::hex << int{tc.type};
  }
}

// A boot sector's label wins over a type that says otherwise, or says nothing.
TEST(MbrTest, LabelsDecideBeforeTheType) {
  const auto layout = ReadLayout("mbr");
  ASSERT_EQ(layout.size(), 3u);
  DiskCopy copy("mbr");
  // FAT16 volume marked Linux, FAT32 volume marked NTFS, NTFS volume marked FAT16.
  copy.Patch(RecordEntryOffset(0), RecordEntry(0x83, layout[0].start, layout[0].sectors));
  copy.Patch(RecordEntryOffset(2), RecordEntry(0x07, layout[1].start, layout[1].sectors));
  copy.Patch(RecordEntryOffset(3), RecordEntry(0x06, layout[2].start, layout[2].sectors));
  EXPECT_EQ(TableAt(*copy.OpenRaw(), 0).Entries(), layout);

  // A partition that starts like a GPT header counts as NTFS in the MBR.
  std::vector<std::uint8_t> gptLike(512, 0);
  std::copy_n("EFI PART", 8, gptLike.begin());
  copy.WriteSector(layout[0].start, gptLike);
  auto want = layout;
  want[0].code = kNtfs;
  EXPECT_EQ(TableAt(*copy.OpenRaw(), 0).Entries(), want);
}

// The drive's table is looked for at sectors 0, 61 and 62, and the first one
// that lists something is used.
TEST(MbrTest, DriveTableFallsBackToSectors61And62) {
  const auto listed = ListedEntries(ReadLayout("mbr"));
  ASSERT_EQ(listed.size(), 3u);
  DiskCopy copy("mbr");
  const auto mbr = copy.Sector(0);
  copy.ZeroSector(0);
  EXPECT_TRUE(DrivePartitions(*copy.OpenRaw()).Empty());
  for (const std::uint64_t at : {61u, 62u}) {
    copy.WriteSector(at, mbr);
    EXPECT_TRUE(TableAt(*copy.OpenRaw(), 0).Empty());
    EXPECT_EQ(DrivePartitions(*copy.OpenRaw()).Entries(), listed) << "table at sector " << at;
    copy.ZeroSector(at);
  }

  // Sector 0 signed but listing nothing usable (one Linux partition over
  // zeros): sector 62's table is used.
  std::vector<std::uint8_t> linuxOnly(512, 0);
  const auto linuxEntry = RecordEntry(0x83, 1000, 1000);
  std::copy(linuxEntry.begin(), linuxEntry.end(), linuxOnly.begin() + 446);
  linuxOnly[510] = 0x55;
  linuxOnly[511] = 0xAA;
  copy.WriteSector(0, linuxOnly);
  copy.WriteSector(62, mbr);
  EXPECT_EQ(DrivePartitions(*copy.OpenRaw()).Entries(), listed);

  // Sector 0's table is used when it lists something, whatever 62 holds.
  std::vector<std::uint8_t> firstOnly = mbr;
  std::fill(firstOnly.begin() + 446 + 16, firstOnly.begin() + 510, std::uint8_t{0});
  copy.WriteSector(0, firstOnly);
  EXPECT_EQ(DrivePartitions(*copy.OpenRaw()).Entries(), std::vector<PartitionEntry>{listed.front()});
}

// --- extended boot record chains -----------------------------------------------

// The extended partition of the fixture and its records: the first at its
// start, each further one 1 MiB before its logical partition.
struct Chain {
  std::uint32_t extendedStart = 0;
  std::vector<std::uint32_t> records;
};

Chain ReadChain(const DiskCopy& copy) {
  Chain chain;
  const auto mbr = copy.Sector(0);
  for (int i = 0; i < 4; ++i) {
    const std::size_t at = RecordEntryOffset(i);
    if (mbr[at + 4] == 0x05 || mbr[at + 4] == 0x0F) chain.extendedStart = le32(mbr, at + 8);
  }
  std::uint32_t record = chain.extendedStart;
  for (int guard = 0; record && guard < 64; ++guard) {
    chain.records.push_back(record);
    const auto ebr = copy.Sector(record);
    const std::uint32_t link = le32(ebr, RecordEntryOffset(1) + 8);
    record = ebr[RecordEntryOffset(1) + 4] == 0x05 ? chain.extendedStart + link : 0;
  }
  return chain;
}

TEST(ExtendedChainTest, LoopingChainsEndWithoutDuplicates) {
  const auto listed = ListedEntries(ReadLayout("extended"));
  DiskCopy copy("extended");
  const Chain chain = ReadChain(copy);
  ASSERT_EQ(chain.records.size(), 3u) << "the fixture has three logical partitions";
  const std::uint32_t last = chain.records.back();
  // The last record links back to the first, to itself, then to the middle one.
  for (const std::uint32_t target : {chain.records[0], last, chain.records[1]}) {
    copy.Patch(last * 512ULL + RecordEntryOffset(1), RecordEntry(0x05, target - chain.extendedStart, 2048));
    const PartitionTable table = DrivePartitions(*copy.OpenRaw());
    EXPECT_EQ(table.Entries(), listed) << "last record linking to sector " << target;
    ExpectUniqueStarts(table);
  }
}

// In an extended boot record, a type 0xEE entry or a partition that starts
// like a GPT header names FAT32 when no boot sector label says otherwise.
TEST(ExtendedChainTest, GptMarksInAnExtendedRecordMeanFat32) {
  auto want = ListedEntries(ReadLayout("extended"));
  ASSERT_EQ(want.size(), 4u);
  DiskCopy copy("extended");
  const Chain chain = ReadChain(copy);
  ASSERT_FALSE(chain.records.empty());
  const std::uint32_t record = chain.records[0];
  const auto ebr = copy.Sector(record);
  const std::uint32_t relative = le32(ebr, RecordEntryOffset(0) + 8);
  const std::uint32_t sectors = le32(ebr, RecordEntryOffset(0) + 12);
  ASSERT_EQ(want[1].start, record + relative);
  copy.Patch(record * 512ULL + RecordEntryOffset(0), RecordEntry(0xEE, relative, sectors));
  copy.ZeroSector(record + relative);
  want[1].code = kFat32;
  EXPECT_EQ(DrivePartitions(*copy.OpenRaw()).Entries(), want) << "type 0xEE";

  copy.Patch(record * 512ULL + RecordEntryOffset(0), RecordEntry(0x83, relative, sectors));
  EXPECT_EQ(DrivePartitions(*copy.OpenRaw()).Entries(), std::vector<PartitionEntry>({want[0], want[2], want[3]}))
      << "type 0x83 over zeros is not listed";
  std::vector<std::uint8_t> gptLike(512, 0);
  std::copy_n("EFI PART", 8, gptLike.begin());
  copy.WriteSector(record + relative, gptLike);
  EXPECT_EQ(DrivePartitions(*copy.OpenRaw()).Entries(), want) << "type 0x83 over a GPT header";
}

// --- GPT -------------------------------------------------------------------------

TEST(GptTest, BackupTableWhenThePrimaryIsDamaged) {
  const auto listed = ListedEntries(ReadLayout("gpt"));
  {
    DiskCopy copy("gpt");
    auto header = copy.Sector(1);
    header[16] ^= 0xFF;  // the header's CRC
    copy.WriteSector(1, header);
    EXPECT_EQ(DrivePartitions(*copy.OpenRaw()).Entries(), listed) << "primary header CRC wrong";
    // The same through a VHDX, whose last sector is the raw disk's.
    VirtualDisk disk;
    ASSERT_TRUE(OpenImage(disk, copy.Wrapped("vhdx"), false).Usable());
    EXPECT_EQ(DrivePartitions(disk).Entries(), listed) << "primary header CRC wrong, VHDX";
    copy.ZeroSector(1);
    EXPECT_EQ(DrivePartitions(*copy.OpenRaw()).Entries(), listed) << "primary header zeroed";
  }
  {
    DiskCopy copy("gpt");
    auto entries = copy.Sector(2);
    entries[56] ^= 0x5A;  // a byte of the first entry's name: the array's CRC no longer fits
    copy.WriteSector(2, entries);
    EXPECT_EQ(DrivePartitions(*copy.OpenRaw()).Entries(), listed) << "primary entry array damaged";
  }
}

TEST(GptTest, ProtectiveEntryStandsAloneWithoutAUsableHeader) {
  DiskCopy copy("gpt");
  const auto mbr = copy.Sector(0);
  ASSERT_EQ(mbr[RecordEntryOffset(0) + 4], 0xEE);
  const std::uint32_t start = le32(mbr, RecordEntryOffset(0) + 8);
  const std::uint32_t sectors = le32(mbr, RecordEntryOffset(0) + 12);
  const std::uint64_t last = copy.OpenRaw()->Size() / 512 - 1;
  auto primary = copy.Sector(1);
  primary[16] ^= 0xFF;
  copy.WriteSector(1, primary);
  auto backup = copy.Sector(last);
  ASSERT_TRUE(HasAscii(backup, 0, "EFI PART"));
  backup[16] ^= 0xFF;
  copy.WriteSector(last, backup);
  EXPECT_EQ(DrivePartitions(*copy.OpenRaw()).Entries(), (std::vector<PartitionEntry>{{start, sectors, kNtfs}}));
  copy.ZeroSector(1);
  copy.ZeroSector(last);
  EXPECT_EQ(DrivePartitions(*copy.OpenRaw()).Entries(), (std::vector<PartitionEntry>{{start, sectors, kNtfs}}));
}

}  // namespace
}  // namespace dravik
