// The FAT Quick Scan beyond the matrix (matrix/ContainerMatrixTest, where
// mtools's long names run across sectors and clusters): a FAT12 disk made by
// mkfs.fat and mtools, and hand-made directory sectors for what real tools
// never write.

#include <gtest/gtest.h>

#include <map>
#include <unordered_map>

#include "FatFixtures.h"
#include "MemoryFatVolume.h"
#include "TestFiles.h"
#include "disk/SectorReader.h"
#include "fs/fat/FatTable.h"
#include "util/Utf.h"

namespace dravik {
namespace {

using test::DirSlot;
using test::LongNameSlots;
using test::MemoryFatVolume;
using test::ShortSlot;

// mkfs.fat -F 12 behind a partition of type 0x01; a file written after two
// others were deleted is spread over their clusters.
TEST(FatScanOracleTest, AFat12VolumeIsReadWithTwelveBitEntries) {
  test::TempDir dir;
  const auto made = test::RunShell(
      "export MTOOLS_SKIP_CHECK=1 && cd " + test::Quote(dir.Path()) +
      " && truncate -s 8M v.raw && echo 'start=2048, type=1' | sfdisk -q v.raw"
      " && mkfs.fat -F 12 -s 4 --offset 2048 v.raw 7168 >/dev/null && i=v.raw@@1048576"
      " && for n in 1 2 3 4 5 6; do head -c 3000 /dev/urandom > a$n && mcopy -i $i a$n ::/a$n.bin; done"
      " && mdel -i $i ::/a2.bin ::/a4.bin && head -c 20000 /dev/urandom > big && mcopy -i $i big ::/big.bin"
      " && qemu-img convert -f raw -O vpc v.raw v.vhd 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  const auto volume = test::ScanImage(dir / "v.vhd");
  ASSERT_TRUE(volume);
  test::TempDir out;
  EXPECT_EQ(volume->SaveAll(out.Path()).failed, 0u);
  for (const char* name : {"big", "a1", "a3", "a5", "a6"})
    EXPECT_EQ(test::ReadFileBytes(out / (std::string(name) + ".bin")), test::ReadFileBytes(dir / name)) << name;
}

// The names a scan lists, files then folders after "/", each deleted one
// marked "~".
std::u16string Listing(const RecoveryStore& store) {
  std::u16string text;
  for (const auto& f : store.Files()) text += (f.deleted ? u"~" : u"") + f.name + u" ";
  text += u"/";
  for (const auto& f : store.Folders()) text += (f.deleted ? u" ~" : u" ") + f.name;
  return text;
}

// Hand-made directory sectors, one rule of the listing per row: what is
// listed, deleted or not, in which order.
struct DirectoryCase {
  const char* name;
  int fats;  // 16, 32, or 0 for both
  std::function<void(MemoryFatVolume&)> make;
  std::u16string listing;
  std::function<void(const RecoveryStore&)> more = nullptr;
};

void LongNamed(std::vector<DirSlot>& slots, std::u16string name, const char* name11, std::uint32_t cluster, bool deleted = false) {
  for (const auto& slot : LongNameSlots(name, name11)) slots.push_back(deleted ? test::Deleted(slot) : slot);
  const DirSlot entry = ShortSlot(name11, 0x20, cluster, 1);
  slots.push_back(deleted ? test::Deleted(entry) : entry);
}

TEST(FatDirectoryRulesTest, HandMadeDirectories) {
  const DirectoryCase cases[] = {
      // A free entry ends the directory: what follows it is never read.
      {"deleted and live entries in one sector", 0,
       [](MemoryFatVolume& v) {
         std::vector<DirSlot> slots{test::Deleted(ShortSlot("GONE    TXT", 0x20, 5, 10)), ShortSlot("KEPT    TXT", 0x20, 6, 20)};
         LongNamed(slots, u"deleted long name.txt", "DELETE~1TXT", 7, true);
         slots.back() = test::Deleted(ShortSlot("DELETE~1TXT", 0x20, 7, 30));
         slots.push_back(ShortSlot("LAST    TXT", 0x20, 8, 40));
         v.PutSlot(v.RootSector(0), v.PutSlots(v.RootSector(0), 0, slots) + 1, ShortSlot("AFTER   TXT", 0x20, 9, 50));
       },
       u"~xONE.TXT KEPT.TXT ~deleted long name.txt LAST.TXT /"},
      {"long-name runs failing their checksum or ordinals", 16,
       [](MemoryFatVolume& v) {
         std::vector<DirSlot> slots;
         // Stale pieces of a deleted file before a live short entry.
         for (const auto& slot : LongNameSlots(u"an old deleted long name.txt", "ANOLDD~1TXT")) slots.push_back(test::Deleted(slot));
         slots.push_back(ShortSlot("NEW     TXT", 0x20, 10, 1));
         auto gap = LongNameSlots(u"three entries of name here.txt", "THREEE~1TXT");  // the middle entry lost
         gap.erase(gap.begin() + 1);
         slots.insert(slots.end(), gap.begin(), gap.end());
         slots.push_back(ShortSlot("THREEE~1TXT", 0x20, 11, 1));
         auto headless = LongNameSlots(u"headless name of two.txt", "HEADLE~1TXT");  // the 0x40 entry lost
         headless.erase(headless.begin());
         slots.insert(slots.end(), headless.begin(), headless.end());
         slots.push_back(ShortSlot("HEADLE~1TXT", 0x20, 12, 1));
         // A deleted run's piece right before a live entry's own whole run.
         slots.push_back(test::Deleted(LongNameSlots(u"stale.txt", "STALE   TXT")[0]));
         LongNamed(slots, u"own long name.txt", "OWNLON~1TXT", 13);
         // A deleted entry keeps the surviving pieces carrying its checksum,
         // not those of another file in front of them.
         slots.push_back(test::Deleted(LongNameSlots(u"someone else.txt", "SOMEON~1TXT")[0]));
         auto lost = LongNameSlots(u"a deleted name that lost its head.txt", "ADELET~1TXT");
         for (std::size_t i = 1; i < lost.size(); ++i) slots.push_back(test::Deleted(lost[i]));
         slots.push_back(test::Deleted(ShortSlot("ADELET~1TXT", 0x20, 14, 1)));
         // A deleted run whose checksum needs a first byte its long name does
         // not begin with: pieces of another file.
         for (const auto& slot : LongNameSlots(u"zebra.txt", "ZEBRA~1 TXT")) slots.push_back(test::Deleted(slot));
         slots.push_back(test::Deleted(ShortSlot("QUAGGA  TXT", 0x20, 15, 1)));
         v.PutSlots(v.RootSector(0), 0, slots);
       },
       u"NEW.TXT THREEE~1.TXT HEADLE~1.TXT own long name.txt ~a deleted name that lost i ~xUAGGA.TXT /"},
      {"short names take the case their flags ask", 32,
       [](MemoryFatVolume& v) {
         const auto flagged = [](const char* name11, std::uint8_t flags, std::uint32_t cluster, std::uint8_t attributes = 0x20) {
           DirSlot slot = ShortSlot(name11, attributes, cluster, 1);
           slot[12] = flags;
           return slot;
         };
         v.Chain({2});
         v.Chain({30});
         v.StartFolder(30, 0);
         v.PutSlots(v.ClusterSector(2), 0,
                    {flagged("README  TXT", 0x18, 10), flagged("README  TXT", 0x08, 11), flagged("README  TXT", 0x10, 12),
                     flagged("NOEXT      ", 0x18, 13), test::Deleted(flagged("GONE    TXT", 0x18, 14)),
                     flagged("MANY       ", 0x08, 30, 0x10)});
       },
       u"readme.txt readme.TXT README.txt noext ~xone.txt / many"},
      // A long name a clean short entry vouches for is kept, each character
      // no name may hold made "_"; a short name holding one is junk.
      {"labels, entries without data, forbidden characters", 32,
       [](MemoryFatVolume& v) {
         std::vector<DirSlot> slots{ShortSlot("DRAVIK     ", 0x08, 0),         // volume label
                                    ShortSlot("EMPTY   TXT", 0x20, 0, 0),      // no cluster, no bytes: listed
                                    ShortSlot("NODATA  TXT", 0x20, 0, 100)};   // bytes but no cluster
         std::uint32_t cluster = 20;
         for (const char* junk : {"A?B     TXT", "A*B     TXT", "A<B     TXT", "A>B|    TXT", "A\"B     TXT", "A\x01" "B     TXT"})
           slots.push_back(ShortSlot(junk, 0x20, cluster++, 1));
         LongNamed(slots, u"a/b.txt", "AB~1    TXT", 26);
         LongNamed(slots, u"a\\b.txt", "AB~2    TXT", 27);
         LongNamed(slots, u"tab\there.txt", "TABHER~1TXT", 28);
         LongNamed(slots, u"pipe|d.txt", "PIPED~1 TXT", 29);
         LongNamed(slots, u"Café ok.txt", "CAFOK~1 TXT", 30);
         slots.push_back(ShortSlot("PLAIN   TXT", 0x20, 31, 1));
         slots.push_back(ShortSlot("SUBDIR     ", 0x10, 0));  // a folder without a cluster
         v.Chain({2, 3});
         ASSERT_EQ(v.PutSlots(v.ClusterSector(2), 0, slots), 21u);
       },
       u"EMPTY.TXT a_b.txt a_b.txt tab_here.txt pipe_d.txt Café ok.txt PLAIN.TXT /"},
      // A folder moved away leaves a deleted entry, met first, in its old
      // parent: every live folder is read before a deleted one, so the live
      // entry met later decides its name, parent and state.
      {"a folder moved from the root into OTHER: one live folder", 16,
       [](MemoryFatVolume& v) {
         v.PutSlots(v.RootSector(0), 0, {test::Deleted(ShortSlot("OLDDIR     ", 0x10, 10)), ShortSlot("OTHER      ", 0x10, 11)});
         v.StartFolder(10, 11);
         v.PutSlot(v.ClusterSector(10), 2, ShortSlot("INSIDE  TXT", 0x20, 20, 5));
         v.Chain({10});
         v.StartFolder(11, 0);
         v.PutSlot(v.ClusterSector(11), 2, ShortSlot("NEWDIR     ", 0x10, 10));
         v.Chain({11});
       },
       u"INSIDE.TXT / NEWDIR OTHER",
       [](const RecoveryStore& store) {
         EXPECT_TRUE(store.Folders()[0].id == 10u && store.Folders()[0].parentId == 11u);
         EXPECT_EQ(store.Files()[0].parentId, 10u);
       }},
      {"everything in a deleted folder is deleted", 32,
       [](MemoryFatVolume& v) {
         v.PutSlots(v.RootSector(0), 0, {test::Deleted(ShortSlot("GONE       ", 0x10, 10)), ShortSlot("LIVE    TXT", 0x20, 30, 1)});
         v.StartFolder(10, 0);
         v.PutSlots(v.ClusterSector(10), 2, {ShortSlot("STILL   TXT", 0x20, 20, 1), ShortSlot("SUB        ", 0x10, 11)});
         v.StartFolder(11, 10);
         v.PutSlot(v.ClusterSector(11), 2, ShortSlot("DEEP    TXT", 0x20, 21, 1));
       },
       u"LIVE.TXT ~STILL.TXT ~DEEP.TXT / ~xONE ~SUB"},
      {"the root, then folders breadth first", 16,
       [](MemoryFatVolume& v) {
         v.PutSlots(v.RootSector(0), 0,
                    {ShortSlot("A          ", 0x10, 10), ShortSlot("B          ", 0x10, 20), ShortSlot("R1      TXT", 0x20, 30, 1)});
         v.StartFolder(10, 0);
         v.PutSlots(v.ClusterSector(10), 2, {ShortSlot("A1         ", 0x10, 11), ShortSlot("A       TXT", 0x20, 31, 1)});
         v.StartFolder(11, 10);
         v.PutSlot(v.ClusterSector(11), 2, ShortSlot("X       TXT", 0x20, 32, 1));
         v.StartFolder(20, 0);
         v.PutSlot(v.ClusterSector(20), 2, ShortSlot("B       TXT", 0x20, 33, 1));
       },
       u"R1.TXT A.TXT B.TXT X.TXT / A B A1"},
  };
  for (const DirectoryCase& c : cases) {
    for (const bool fat32 : {false, true}) {
      if (c.fats == (fat32 ? 16 : 32)) continue;
      SCOPED_TRACE(std::string(c.name) + (fat32 ? ", FAT32" : ", FAT16"));
      MemoryFatVolume v(fat32);
      c.make(v);
      const RecoveryStore store = v.Scan();
      EXPECT_EQ(ToUtf8(Listing(store)), ToUtf8(c.listing));
      if (c.more && !HasFailure()) c.more(store);
    }
  }
}

// Folder chains: three clusters out of order to the end mark; a chain that
// comes back to its start; one that leaves the volume (the sector it names
// exists on the memory disk, holding an entry that must not be listed); 150
// clusters; a first cluster overwritten (no dot entries); an end mark other
// than the highest value. Unused slots hold deleted entries with bytes but no
// cluster, which are skipped.
TEST(FatDirectoryRulesTest, FolderChainsAreFollowedThroughTheFatWithoutALengthLimit) {
  for (const bool fat32 : {false, true}) {
    SCOPED_TRACE(fat32 ? "FAT32" : "FAT16");
    MemoryFatVolume v(fat32);
    const auto file = [](int n, std::uint32_t cluster) {
      char name[32];
      std::snprintf(name, sizeof name, "N%03d    TXT", n % 1000);
      return ShortSlot(name, 0x20, cluster, 1);
    };
    const auto fill = [&](std::uint32_t cluster, std::size_t from, int n) {
      v.PutSlot(v.ClusterSector(cluster), from, file(n, 250));
      for (std::size_t i = from + 1; i < 16; ++i) v.PutSlot(v.ClusterSector(cluster), i, test::Deleted(ShortSlot("UNUSED  TXT", 0x20, 0, 1)));
    };
    std::vector<DirSlot> root;
    for (const auto& [name, cluster] : std::vector<std::pair<const char*, std::uint32_t>>{
             {"CHAIN      ", 10}, {"LOOP       ", 20}, {"BEYOND     ", 30}, {"LONG       ", 40}, {"NODOTS     ", 200}, {"ENDMARK    ", 210}}) {
      root.push_back(ShortSlot(name, 0x10, cluster));
      if (cluster != 200) v.StartFolder(cluster, 0);
      if (cluster != 40) fill(cluster, cluster == 200 ? 0 : 2, static_cast<int>(root.size() * 2 - 1));
    }
    v.PutSlots(v.RootSector(0), 0, root);
    fill(15, 0, 2);
    fill(12, 0, 3);
    v.Chain({10, 15, 12});
    fill(21, 0, 4);
    v.Chain({20, 21});
    v.SetFat(21, 20);
    v.SetFat(30, 300);
    v.PutSlot(v.ClusterSector(300), 0, file(7, 251));
    std::vector<std::uint32_t> longChain;
    for (std::uint32_t c = 40; c < 190; ++c) longChain.push_back(c);
    v.Chain(longChain);
    for (std::size_t i = 0; i < longChain.size(); ++i) fill(longChain[i], i == 0 ? 2 : 0, 100 + static_cast<int>(i));
    v.Chain({200});
    v.Chain({210, 211}, fat32 ? 0x0FFFFFF8 : 0xFFF8);
    fill(211, 0, 12);

    const RecoveryStore store = v.Scan();
    std::map<std::u16string, std::vector<std::u16string>> filesByFolder;
    std::unordered_map<std::uint32_t, std::u16string> folderName;
    for (const auto& f : store.Folders()) folderName[f.id] = f.name;
    for (const auto& f : store.Files()) filesByFolder[folderName[f.parentId]].push_back(f.name);
    using Names = std::vector<std::u16string>;
    EXPECT_EQ(filesByFolder[u"CHAIN"], (Names{u"N001.TXT", u"N002.TXT", u"N003.TXT"}));
    EXPECT_EQ(filesByFolder[u"LOOP"], (Names{u"N003.TXT", u"N004.TXT"}));
    EXPECT_EQ(filesByFolder[u"BEYOND"], (Names{u"N005.TXT"}));
    ASSERT_EQ(filesByFolder[u"LONG"].size(), 150u);
    EXPECT_EQ(filesByFolder[u"LONG"].back(), u"N249.TXT");
    EXPECT_TRUE(filesByFolder[u"NODOTS"].empty());
    EXPECT_EQ(filesByFolder[u"ENDMARK"], (Names{u"N011.TXT", u"N012.TXT"}));
    EXPECT_EQ(store.Folders().size(), 6u);
  }
}

TEST(FatFileClustersTest, FirstFatThenSecondFatThenConsecutiveClusters) {
  for (const bool fat32 : {false, true}) {
    SCOPED_TRACE(fat32 ? "FAT32" : "FAT16");
    MemoryFatVolume v(fat32);
    const FsParams params = v.Params();
    // A fragmented file in both FATs.
    v.Chain({60, 70, 65});
    // Only the second FAT still holds the chain (the first was cleared).
    v.Chain({80, 90, 95});
    v.SetFat(80, 0, true, false);
    v.SetFat(90, 0, true, false);
    v.SetFat(95, 0, true, false);
    // A deleted file: both FATs cleared.
    // Chains that end with the other end marks written by some systems.
    v.Chain({110, 120}, fat32 ? 0x0FFFFFF8 : 0xFFF8);
    v.Chain({130, 125}, fat32 ? 0x0FFFFFFE : 0xFFFE);
    const MemorySource source = v.Source();
    const SectorReader reader(source);
    const auto clusters = [&](std::uint32_t first, std::uint64_t size, bool deleted = false) {
      return fat::FileClusters(reader, params, first, size, deleted);
    };
    using C = std::vector<std::uint32_t>;
    EXPECT_EQ(clusters(60, 3 * 512), (C{60, 70, 65}));
    EXPECT_EQ(clusters(60, 2 * 512 + 1), (C{60, 70, 65}));
    EXPECT_EQ(clusters(80, 3 * 512), (C{80, 90, 95}));
    EXPECT_EQ(clusters(100, 3 * 512 - 7), (C{100, 101, 102}));
    EXPECT_EQ(clusters(110, 1024), (C{110, 120}));
    EXPECT_EQ(clusters(130, 1000), (C{130, 125}));
    EXPECT_TRUE(clusters(60, 0).empty());
    // A damaged size far beyond the chain: a live file keeps to its chain,
    // a deleted one to the clusters up to the volume's end.
    EXPECT_EQ(clusters(60, 0x0FFFFFFF), (C{60, 70, 65}));
    const std::uint32_t last = fat::LastCluster(params);
    const auto tail = clusters(last - 2, 0x0FFFFFFF, true);
    EXPECT_EQ(tail, (C{last - 2, last - 1, last}));
    EXPECT_TRUE(clusters(last + 1, 512, true).empty());
  }
}

}  // namespace
}  // namespace dravik
