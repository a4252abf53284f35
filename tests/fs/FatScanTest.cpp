// The FAT Quick Scan beyond the matrix (matrix/ContainerMatrixTest, where mtools's long names run across sectors and
// clusters): a FAT12 disk made by mkfs.fat and mtools, and hand-made directory sectors for what real tools never write,
// among them an access date apart from the write date, which the save keeps.

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <span>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

#include "Bytes.h"
#include "FatFixtures.h"
#include "TestFiles.h"
#include "disk/SectorReader.h"
#include "fs/fat/FatQuickScan.h"
#include "fs/fat/FatTable.h"
#include "util/ScanControl.h"
#include "util/Utf.h"

namespace dravik {
namespace {

using test::PutInt;

using DirSlot = std::array<std::uint8_t, 32>;

std::uint8_t ShortNameChecksum(std::string_view name11) {
  std::uint8_t sum = 0;
  for (const char c : name11)
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<std::uint8_t>(c));
  return sum;
}

// Where a long-name entry holds its 13 UTF-16 characters.
constexpr std::size_t kCharOffsets[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

// A short entry: name11 is the 8+3 name field as stored ("README  TXT").
DirSlot ShortSlot(std::string_view name11, std::uint8_t attributes, std::uint32_t firstCluster, std::uint32_t size = 0,
                  std::uint16_t date = 0) {
  if (name11.size() != 11) throw std::invalid_argument("a short name field has 11 bytes");
  DirSlot slot{};
  std::copy(name11.begin(), name11.end(), slot.begin());
  slot[11] = attributes;
  PutInt(slot, 18, date, 2);
  PutInt(slot, 20, firstCluster >> 16, 2);
  PutInt(slot, 24, date, 2);
  PutInt(slot, 26, firstCluster & 0xFFFF, 2);
  PutInt(slot, 28, size, 4);
  return slot;
}

// The long-name entries of name in disk order, for the short entry name11.
std::vector<DirSlot> LongNameSlots(std::u16string_view name, std::string_view name11) {
  const std::size_t parts = (name.size() + 12) / 13;
  std::vector<DirSlot> slots;
  for (std::size_t part = parts; part-- > 0;) {
    DirSlot slot{};
    slot[0] = static_cast<std::uint8_t>((part + 1) | (part + 1 == parts ? 0x40 : 0));
    slot[11] = 0x0F;
    slot[13] = ShortNameChecksum(name11);
    for (std::size_t i = 0; i < 13; ++i) {
      const std::size_t at = part * 13 + i;
      const std::uint32_t c = at < name.size() ? name[at] : at == name.size() ? 0x0000 : 0xFFFF;
      PutInt(slot, kCharOffsets[i], c, 2);
    }
    slots.push_back(slot);
  }
  return slots;
}

DirSlot Deleted(DirSlot slot) {
  slot[0] = 0xE5;
  return slot;
}

// A tiny FAT16 or FAT32 volume built in memory, for what real tools never write: entries at chosen slots, chains with
// loops or odd end marks, folders without dot entries. 512-byte sectors, one per cluster, clusters 2..255:
//   FAT16: boot 0, FATs 1 and 2, root 3..6 (64 entries), data from 7; so few clusters make 12-bit FAT entries (the
//          cluster count decides)
//   FAT32: boot 0, FATs 1-2 and 3-4, data from 5, root at cluster 2
// The memory disk goes on past the volume, so a chain beyond it reads.
class MemoryFatVolume {
 public:
  static constexpr std::uint32_t kLastCluster = 255;
  static constexpr std::uint32_t kDiskSectors = 400;

  explicit MemoryFatVolume(bool fat32) : fat32_(fat32), bytes_(std::size_t{kDiskSectors} * kSectorSize, 0) {
    params_.fsType = fat32 ? kFat32 : kFat16;
    params_.partitionStart = 0;
    params_.sectorsPerCluster = 1;
    params_.reservedSectors = 1;
    params_.fatSize = fat32 ? 2 : 1;
    params_.firstFatLba = 1;
    params_.secondFatLba = 1 + params_.fatSize;
    params_.rootDirSectors = fat32 ? 0 : 4;
    const std::uint32_t dataStart = 1 + 2 * params_.fatSize + params_.rootDirSectors;
    params_.clusterBase = dataStart - 2;
    params_.rootStart = fat32 ? 2 : 1 + 2 * params_.fatSize;
    params_.partitionSectors = params_.clusterBase + kLastCluster + 1;
    params_.lastSector = params_.partitionSectors - 1;
    SetFat(0, fat32 ? 0x0FFFFFF8 : 0xFFF8);
    SetFat(1, fat32 ? 0x0FFFFFFF : 0xFFFF);
    if (fat32) SetFat(2, 0x0FFFFFFF);  // the root directory: one cluster
  }

  FsParams Params() const { return params_; }

  // The FAT entry of cluster in one or both copies.
  void SetFat(std::uint32_t cluster, std::uint32_t value, bool first = true, bool second = true) {
    // 12-bit entries (see the class comment), two to three bytes; 16-bit end marks keep their meaning.
    const auto write = [&](std::uint64_t fatLba) {
      const std::size_t table = static_cast<std::size_t>(fatLba) * kSectorSize;
      if (fat32_) {
        PutInt(bytes_, table + cluster * 4u, value, 4);
        return;
      }
      std::uint8_t* at = &bytes_[table + cluster * 3u / 2u];
      const std::uint32_t v = value & 0xFFFu;
      if (cluster % 2 == 0) {
        at[0] = static_cast<std::uint8_t>(v);
        at[1] = static_cast<std::uint8_t>((at[1] & 0xF0u) | (v >> 8));
      } else {
        at[0] = static_cast<std::uint8_t>((at[0] & 0x0Fu) | ((v & 0x0Fu) << 4));
        at[1] = static_cast<std::uint8_t>(v >> 4);
      }
    };
    if (first) write(params_.firstFatLba);
    if (second) write(params_.secondFatLba);
  }

  // Links the clusters into a chain ending with the end mark.
  void Chain(const std::vector<std::uint32_t>& clusters, std::uint32_t endMark = 0) {
    if (endMark == 0) endMark = fat32_ ? 0x0FFFFFFF : 0xFFFF;
    for (std::size_t i = 0; i < clusters.size(); ++i)
      SetFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : endMark);
  }

  std::uint64_t ClusterSector(std::uint32_t cluster) const { return std::uint64_t{params_.clusterBase} + cluster; }

  std::span<std::uint8_t> Sector(std::uint64_t lba) {
    if (lba >= kDiskSectors) throw std::out_of_range("sector past the memory disk");
    return {bytes_.data() + lba * kSectorSize, kSectorSize};
  }

  // Root directory sector i (0 is the first).
  std::uint64_t RootSector(std::uint32_t i) const { return fat32_ ? ClusterSector(2) + i : params_.rootStart + i; }

  void PutSlot(std::uint64_t lba, std::size_t index, const DirSlot& slot) {
    std::copy(slot.begin(), slot.end(), Sector(lba).begin() + static_cast<std::ptrdiff_t>(index * 32));
  }

  // Puts slots one after the other from index, on into the next sectors; returns the index after the last.
  std::size_t PutSlots(std::uint64_t lba, std::size_t index, const std::vector<DirSlot>& slots) {
    for (const DirSlot& slot : slots) {
      PutSlot(lba + index / 16, index % 16, slot);
      ++index;
    }
    return index;
  }

  // "." and ".." at the start of the folder's first cluster.
  void StartFolder(std::uint32_t cluster, std::uint32_t parent) {
    PutSlot(ClusterSector(cluster), 0, ShortSlot(".          ", 0x10, cluster));
    PutSlot(ClusterSector(cluster), 1, ShortSlot("..         ", 0x10, parent));
  }

  // A reader's source over a copy of the bytes as they are now.
  MemorySource Source() const { return MemorySource(bytes_); }

  RecoveryStore Scan() const {
    const MemorySource source = Source();
    const SectorReader reader(source);
    RecoveryStore store;
    ScanControl control;
    ScanFatQuick(reader, params_, store, control);
    return store;
  }

 private:
  bool fat32_;
  FsParams params_;
  std::vector<std::uint8_t> bytes_;
};

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
  for (const auto& slot : LongNameSlots(name, name11)) slots.push_back(deleted ? Deleted(slot) : slot);
  const DirSlot entry = ShortSlot(name11, 0x20, cluster, 1);
  slots.push_back(deleted ? Deleted(entry) : entry);
}

TEST(FatDirectoryRulesTest, HandMadeDirectories) {
  const DirectoryCase cases[] = {
      // A free entry ends the directory: what follows it is never read.
      {"deleted and live entries in one sector", 0,
       [](MemoryFatVolume& v) {
         std::vector<DirSlot> slots{Deleted(ShortSlot("GONE    TXT", 0x20, 5, 10)), ShortSlot("KEPT    TXT", 0x20, 6, 20)};
         LongNamed(slots, u"deleted long name.txt", "DELETE~1TXT", 7, true);
         slots.back() = Deleted(ShortSlot("DELETE~1TXT", 0x20, 7, 30));
         slots.push_back(ShortSlot("LAST    TXT", 0x20, 8, 40));
         v.PutSlot(v.RootSector(0), v.PutSlots(v.RootSector(0), 0, slots) + 1, ShortSlot("AFTER   TXT", 0x20, 9, 50));
       },
       u"~xONE.TXT KEPT.TXT ~deleted long name.txt LAST.TXT /"},
      {"long-name runs failing their checksum or ordinals", 16,
       [](MemoryFatVolume& v) {
         std::vector<DirSlot> slots;
         // Stale pieces of a deleted file before a live short entry.
         for (const auto& slot : LongNameSlots(u"an old deleted long name.txt", "ANOLDD~1TXT")) slots.push_back(Deleted(slot));
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
         slots.push_back(Deleted(LongNameSlots(u"stale.txt", "STALE   TXT")[0]));
         LongNamed(slots, u"own long name.txt", "OWNLON~1TXT", 13);
         // A deleted entry keeps the surviving pieces carrying its checksum,
         // not those of another file in front of them.
         slots.push_back(Deleted(LongNameSlots(u"someone else.txt", "SOMEON~1TXT")[0]));
         auto lost = LongNameSlots(u"a deleted name that lost its head.txt", "ADELET~1TXT");
         for (std::size_t i = 1; i < lost.size(); ++i) slots.push_back(Deleted(lost[i]));
         slots.push_back(Deleted(ShortSlot("ADELET~1TXT", 0x20, 14, 1)));
         // A deleted run whose checksum needs a first byte its long name does
         // not begin with: pieces of another file.
         for (const auto& slot : LongNameSlots(u"zebra.txt", "ZEBRA~1 TXT")) slots.push_back(Deleted(slot));
         slots.push_back(Deleted(ShortSlot("QUAGGA  TXT", 0x20, 15, 1)));
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
                     flagged("NOEXT      ", 0x18, 13), Deleted(flagged("GONE    TXT", 0x18, 14)),
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
         v.PutSlots(v.RootSector(0), 0, {Deleted(ShortSlot("OLDDIR     ", 0x10, 10)), ShortSlot("OTHER      ", 0x10, 11)});
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
         v.PutSlots(v.RootSector(0), 0, {Deleted(ShortSlot("GONE       ", 0x10, 10)), ShortSlot("LIVE    TXT", 0x20, 30, 1)});
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
      for (std::size_t i = from + 1; i < 16; ++i) v.PutSlot(v.ClusterSector(cluster), i, Deleted(ShortSlot("UNUSED  TXT", 0x20, 0, 1)));
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

TEST(FatSaveTest, WriteTimeOfDayAndAccessDateAreSetApart) {
  // mtools writes the access date as the write date: this volume keeps them apart.
  MemoryFatVolume v(false);
  DirSlot slot = ShortSlot("TIMES   TXT", 0x20, 10, 5, test::FatDate(2010, 6, 15));
  PutInt(slot, 18, test::FatDate(2011, 7, 20), 2);     // access date
  PutInt(slot, 22, (17 << 11) | (42 << 5) | 18, 2);  // write time 17:42:36
  v.PutSlot(v.RootSector(0), 0, slot);
  v.Chain({10});
  RecoveryStore store = v.Scan();
  const MemorySource source = v.Source();
  test::TempDir dir;
  test::SaveChecked(SectorReader(source), v.Params(), store, test::WholeTree(store), dir.Path());
  EXPECT_EQ(test::MtimeUtc(dir / "TIMES.TXT"), "2010-06-15 17:42:36");
  EXPECT_EQ(test::AtimeDateUtc(dir / "TIMES.TXT"), "2011-07-20");
}

}  // namespace
}  // namespace dravik
