// Boot sectors damaged in a copy, a row each: whether the parameters are still read (from a backup) or calculated, as
// fsstat gives them of the intact volume, and what the readers say of the sectors they refused. (The parameters of
// intact volumes against fsstat: the container matrix.)

#include <gtest/gtest.h>

#include <functional>

#include "PartitionFixtures.h"
#include "disk/BootSector.h"
#include "disk/SectorReader.h"
#include "fs/FsParamsReader.h"
#include "fs/QuickScan.h"
#include "util/Diagnostics.h"
#include "util/ScanControl.h"

namespace dravik {
namespace {

using test::DiskCopy;
using test::ListedEntries;
using test::PartitionFixture;
using test::ReadLayout;

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

// Whether a reader said of the sector something holding what, with a likely cause.
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
  const std::vector<BootDamage> rows = {
      {"FAT32 boot sector zeroed: the backup six sectors in", {"mbr", "classic"}, kFat32,
       [](DiskCopy& c, const PartitionEntry& e, const auto&) { c.ZeroSector(e.start); }, true, -1},
      {"FAT32 both copies zeroed: calculated", {"mbr", "classic"}, kFat32,
       [](DiskCopy& c, const PartitionEntry& e, const auto&) { c.ZeroSector(e.start), c.ZeroSector(e.start + 6); },
       false, 1,
       [](const PartitionEntry& e, const auto&) {
         return std::vector<Said>{{e.start, "not 55 AA"}, {e.start + 6, "not 55 AA"}};
       },
       true},
      {"NTFS boot sector zeroed: the copy in the last sector", {"mbr", "classic"}, kNtfs,
       [](DiskCopy& c, const PartitionEntry& e, const auto&) { c.ZeroSector(e.start); }, true, -1},
      {"NTFS both copies zeroed", {"mbr", "classic"}, kNtfs,
       [](DiskCopy& c, const PartitionEntry& e, const auto&) { c.ZeroSector(e.start), c.ZeroSector(Last(e)); },
       false, -1},
      // The first FAT gives the reserved sectors; two folders' "." and ".." the cluster size, base and FAT size.
      {"FAT16 boot sector zeroed: calculated", {"mbr", "extended", "gpt", "classic"}, kFat16,
       [](DiskCopy& c, const PartitionEntry& e, const auto&) { c.ZeroSector(e.start); }, false, 1},
      {"FAT16 boot sector zeroed, the volume one sector long: no folder", {"mbr"}, kFat16,
       [](DiskCopy& c, const PartitionEntry& e, const auto&) { c.ZeroSector(e.start); }, false, 0,
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
