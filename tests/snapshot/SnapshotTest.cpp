// Snapshot bytes: known results against the layout's bytes written out by hand, 64-bit sector numbers, hostile
// files (truncations, flips, absurd counts), the mode rule and writing that never leaves a cut-off snapshot.

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <sstream>

#include "TestFiles.h"
#include "snapshot/Snapshot.h"
#include "snapshot/SnapshotFile.h"
#include "snapshot/SnapshotTexts.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> bytes;
  std::istringstream in(text);
  for (std::string byte; in >> byte;) bytes.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
  return bytes;
}

const std::string kHeaderTail = "64 00 76 00 73 00 34  31 00 2E ";

// A FAT32 Quick Scan: folders "A" and "" (write time 13:28:58 kept in the
// spare bytes), one file of no name.
SnapshotInfo FatInfo() {
  SnapshotInfo info;
  info.mode = ScanMode::kQuick;
  info.partition = {kFat32, 1};
  FsParams& p = info.params;
  p.partitionStart = 2048, p.partitionSectors = 1000, p.lastSector = 3047, p.fsType = kFat32, p.fatSize = 8;
  p.sectorsPerCluster = 1, p.reservedSectors = 32, p.clusterBase = 2072, p.firstFatLba = 2080, p.secondFatLba = 2088;
  info.source = {0, 1};
  return info;
}

RecoveryStore FatStore() {
  RecoveryStore store;
  store.AddFolderOnce({.name = u"A", .id = 3, .parentId = 0, .times = ItemTimes::Dos(0x5021, 0x6B9D, 0x5022)});
  store.AddFolderOnce({.name = u"", .id = 9, .parentId = 3, .times = ItemTimes::Dos(0, 0, 0), .deleted = true});
  store.AddFile({.name = u"", .parentId = 3, .times = ItemTimes::Dos(0x5021, 0x0001, 0x5022), .size = 10, .deleted = true,
                 .key = 0, .locator = 4});
  return store;
}

const std::string kFatBytes =
    "44 00 " + kHeaderTail +
    "C8 00  00 08 00 00  E8 03 00 00  E7 0B 00 00  01 00 "          // partition
    "C8 00  08 00 00 00  01 00 00 00  00 00 00 00  20 00 00 00 "    // fsType, FAT size, cluster, root, reserved
    "18 08 00 00  20 08 00 00  28 08 00 00  00 00 00 00  00 00 00 00 "  // base, FATs, MFT, mirror
    "00 00 00 00  00 00 00 00  00 00 00 00  00 00 "                 // record sizes, fsEnd, fsIndex
    "02 00 00 00 "
    "13 00  41 00 00 00  03 00 00 00  00 00 00 00  21 50  22 50  00  9D 6B "
    "11 00  00 00  09 00 00 00  03 00 00 00  00 00  00 00  01  00 00 "
    "01 00 00 00 "
    "19 00  00 00 01 00  04 00 00 00  03 00 00 00  21 50  22 50  0A 00 00 00  01  00 00 00 00 "
    "00 00 01 00";

// An NTFS Quick Scan: a deleted folder of no name, files "b" and "".
SnapshotInfo NtfsInfo() {
  SnapshotInfo info;
  info.mode = ScanMode::kQuick;
  info.partition = {kNtfs, 0};
  info.params.fsType = kNtfs;
  info.params.partitionStart = info.params.clusterBase = 63;
  info.params.sectorsPerCluster = 8;
  return info;
}

RecoveryStore NtfsStore() {
  RecoveryStore store;
  const ItemTimes times = ItemTimes::FileTimes(0x0102030405060708, 0x1112131415161718, 0x1112131415161718);
  store.AddFolder({.name = u"", .id = 64, .parentId = 5, .times = times, .deleted = true});
  store.AddFile({.name = u"b", .id = 65, .parentId = 64, .times = times, .size = 0x100000001, .key = 4096, .locator = 4096});
  store.AddFile({.name = u"", .id = 66, .parentId = 64, .deleted = true, .key = 4098, .locator = 4098});
  return store;
}

const std::string kNtfsBytes =
    "44 00 " + kHeaderTail +
    "2C 01  3F 00 00 00  00 00 00 00  00 00 00 00  00 00 "
    "2C 01  00 00 00 00  08 00 00 00  00 00 00 00  00 00 00 00 "
    "3F 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00 "
    "00 00 00 00  00 00 00 00  00 00 00 00  00 00 "
    "01 00 00 00 "
    "1F 00  00 00 00 00  40 00 00 00  05 00 00 00  08 07 06 05 04 03 02 01  18 17 16 15 14 13 12 11  01  00 00 "
    "02 00 00 00 "
    "2B 00  00 10 00 00  62 00 00 00 00 00  41 00 00 00  40 00 00 00  08 07 06 05 04 03 02 01 "
    "18 17 16 15 14 13 12 11  00  01 00 00 00 01 00 00 00 "
    "29 00  02 10 00 00  00 00 00 00  42 00 00 00  40 00 00 00  00 00 00 00 00 00 00 00 "
    "00 00 00 00 00 00 00 00  01  00 00 00 00 00 00 00 00 "
    "00 00 00 00";

// A File Trace: one group, one file found at sector 100.
const std::string kTraceBytes =
    "52 00 " + kHeaderTail +
    "2C 01  00 08 00 00  E8 03 00 00  E7 0B 00 00  00 00 "
    "2C 01  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00 "
    "00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00  00 00 00 00 "
    "00 00 00 00  00 00 00 00  00 00 00 00  00 00 "
    "01 00 00 00 "
    "19 00  2E 00 6A 00 70 00 67 00 00 00 "
    "19 00  4A 00 50 00 45 00 47 00 00 00 "
    "1D 00  46 46 44 38 46 46 00 00 00 00 00 00 00 00 "
    "03 00 00 00  07 00 00 00 "
    "01 00 00 00 "
    "21 00  2E 00 6A 00 70 00 67 00 00 00 00 00 "
    "23 00  31 00 2E 00 6A 00 70 00 67 00 00 00 00 00 "
    "21 00  4A 00 50 00 45 00 47 00 00 00 00 00 "
    "01 00 00 00  64 00 00 00 "
    "00 00 03 00";

SnapshotInfo TraceInfo() {
  SnapshotInfo info;
  info.mode = ScanMode::kFileTrace;
  info.partition = {kNtfs, 0};
  info.params.fsType = kNtfs;
  info.params.partitionStart = 2048, info.params.partitionSectors = 1000, info.params.lastSector = 3047;
  info.source = {0, 3};
  return info;
}

const std::vector<SignatureGroup> kGroups = {{u".jpg", u"JPEG", 3, "FFD8FF", 7}};
const std::vector<FoundFile> kTraced = {{u".jpg", u"1.jpg", u"JPEG", 1, 100}};

Snapshot Decoded(const std::vector<std::uint8_t>& bytes) {
  DecodedSnapshot decoded = DecodeSnapshot(bytes);
  EXPECT_TRUE(decoded.snapshot) << decoded.message;
  return decoded.snapshot ? std::move(*decoded.snapshot) : Snapshot{};
}

TEST(SnapshotBytesTest, KnownResultsGiveTheLayoutsBytesAndReadBack) {
  EXPECT_EQ(EncodeFileSystemSnapshot(FatInfo(), FatStore()), Hex(kFatBytes));
  EXPECT_EQ(EncodeFileSystemSnapshot(NtfsInfo(), NtfsStore()), Hex(kNtfsBytes));
  EXPECT_EQ(EncodeTraceSnapshot(TraceInfo(), kGroups, kTraced), Hex(kTraceBytes));

  // Read back, each gives its bytes again; and what the bytes do not hold.
  const Snapshot fat = Decoded(Hex(kFatBytes));
  EXPECT_EQ(EncodeFileSystemSnapshot(fat.info, fat.store), Hex(kFatBytes));
  EXPECT_EQ(fat.store.totalBytes, 10u);
  const Snapshot ntfs = Decoded(Hex(kNtfsBytes));
  EXPECT_EQ(EncodeFileSystemSnapshot(ntfs.info, ntfs.store), Hex(kNtfsBytes));
  ASSERT_EQ(ntfs.store.Files().size(), 2u);
  EXPECT_EQ(ntfs.store.Files()[0].times.accessed, ntfs.store.Files()[0].times.modified) << "no slot: the modification time stands in";
  const Snapshot trace = Decoded(Hex(kTraceBytes));
  EXPECT_EQ(EncodeTraceSnapshot(trace.info, trace.groups, trace.tracedFiles), Hex(kTraceBytes));
  EXPECT_FALSE(fat.wide || ntfs.wide || trace.wide);
}

// A result on a disk past 2 TiB: version 2.0, sector numbers of 64 bits,
// and an NTFS file record 4 bytes longer.
TEST(SnapshotBytesTest, SectorNumbersPast32BitsWidenTheLayout) {
  SnapshotInfo info = NtfsInfo();
  info.params.partitionStart = info.params.clusterBase = 5'000'000'000;
  RecoveryStore store;
  store.AddFile({.name = u"", .id = 70, .parentId = 5, .size = 1, .key = 5'000'000'100, .locator = 5'000'000'100});
  const std::vector<std::uint8_t> bytes = EncodeFileSystemSnapshot(info, store);
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 9, bytes.begin() + 12), Hex("32 00 2E"));
  const Snapshot back = Decoded(bytes);
  EXPECT_TRUE(back.wide);
  ASSERT_EQ(back.store.Files().size(), 1u);
  EXPECT_EQ(back.info.params.clusterBase + back.store.Files()[0].locator, 10'000'000'100u);
  // The file record's length word: 41 for a name of no characters, plus 4.
  const std::size_t files = bytes.size() - 4 - (2 + 8 + 4 + 4 + 4 + 8 + 8 + 1 + 8) - 4;
  EXPECT_EQ(le16(bytes, files + 4), 45u);
  // On a partition below 2 TiB too (one whose numbers all fit keeps version 1.0: kNtfsBytes).
  EXPECT_EQ(EncodeFileSystemSnapshot(NtfsInfo(), store)[9], 0x32) << "the record sector alone needs 64 bits";
}

// Every way a file can lie ends in the message, never in a partial result:
// edits of the FAT result, every truncation of each result, random flips
// (which give a result or the message, and never read past the file).
TEST(SnapshotBytesTest, HostileFilesGiveTheMessageAndNoResult) {
  constexpr std::size_t kBody = 12 + 68;  // the folder count
  const struct {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> edit;
    const char* message;
  } rows[] = {
      {"not our signature", [](auto& b) { b[0] = 'X'; }, SnapshotTexts::kInvalidSnapshot},
      {"another tag", [](auto& b) { b[8] = '5'; }, SnapshotTexts::kWrongTag},
      {"another version", [](auto& b) { b[9] = '4'; }, SnapshotTexts::kWrongVersion},
      {"the ext layout's version over FAT records", [](auto& b) { b[9] = '3'; }, SnapshotTexts::kMismatch},
      {"the header's first bytes alone", [](auto& b) { b = Hex("44 00 64"); }, SnapshotTexts::kWrongTag},
      {"empty", [](auto& b) { b.clear(); }, SnapshotTexts::kInvalidSnapshot},
      {"4 billion folders", [](auto& b) { std::fill_n(b.begin() + kBody, 4, std::uint8_t{0xFF}); }, SnapshotTexts::kMismatch},
      {"a length word below the record's fixed size", [](auto& b) { b[kBody + 4] = 14; }, SnapshotTexts::kMismatch},
      {"a name without its terminator", [](auto& b) { b[kBody + 8] = 'B'; }, SnapshotTexts::kMismatch},
      {"a length word past the end", [](auto& b) { b[kBody + 4] = b[kBody + 5] = 0xFF; }, SnapshotTexts::kMismatch},
  };
  for (const auto& row : rows) {
    std::vector<std::uint8_t> bytes = Hex(kFatBytes);
    row.edit(bytes);
    const DecodedSnapshot decoded = DecodeSnapshot(bytes);
    EXPECT_FALSE(decoded.snapshot) << row.name;
    EXPECT_EQ(decoded.message, row.message) << row.name;
  }
  std::mt19937 random(7);
  for (const std::string& text : {kFatBytes, kNtfsBytes, kTraceBytes}) {
    const std::vector<std::uint8_t> whole = Hex(text);
    for (std::size_t size = 12; size < whole.size(); ++size) {
      const DecodedSnapshot cut = DecodeSnapshot(Bytes(whole).first(size));
      EXPECT_FALSE(cut.snapshot) << "cut at " << size;
      EXPECT_EQ(cut.message, SnapshotTexts::kMismatch) << "cut at " << size;
    }
    for (int round = 0; round < 1500; ++round) {
      std::vector<std::uint8_t> flipped = whole;
      for (int k = 0; k < 3; ++k) flipped[random() % flipped.size()] ^= static_cast<std::uint8_t>(1u << (random() % 8));
      const DecodedSnapshot decoded = DecodeSnapshot(flipped);
      if (!decoded.snapshot) {
        EXPECT_FALSE(decoded.message.empty());
        continue;
      }
      for (const FolderRecord& f : decoded.snapshot->store.Folders()) EXPECT_LT(f.name.size(), whole.size());
      for (const FileRecord& f : decoded.snapshot->store.Files()) EXPECT_LT(f.name.size(), whole.size());
    }
  }
}

TEST(SnapshotFileTest, AnotherModesSnapshotIsRefusedAndAFailedWriteLeavesNothing) {
  test::TempDir dir;
  const fs::path saved = dir / "quick.dvsf";
  ASSERT_EQ(WriteSnapshotFile(saved, Hex(kFatBytes)), 0);  // written and read back whole: SnapshotCliTest
  const LoadedSnapshot other = LoadSnapshotFile(saved, ScanMode::kExtensive);
  EXPECT_TRUE(!other.snapshot && other.message == ModeMismatchMessage(ScanMode::kQuick)) << other.message;
  // A write that cannot be done leaves nothing, and never the old file cut.
  EXPECT_NE(WriteSnapshotFile(dir / "missing" / "x.dvsf", Hex(kFatBytes)), 0);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace dravik
