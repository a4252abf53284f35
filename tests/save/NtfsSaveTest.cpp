// Saving from the ntfs-3g volume of make-ntfs-fixtures.sh what the matrix
// (matrix/ContainerMatrixTest) does not check: sparse runs left as holes,
// times to the nanosecond, and records edited into shapes ntfs-3g never
// writes.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "NtfsFixtures.h"
#include "NtfsRecordBuilder.h"

namespace dravik {
namespace {

using test::NtfsDiskCopy;
using test::NtfsFixture;
using test::NtfsScan;
using test::NtfsStart;
using test::NtfsItem;
namespace b = test::ntfs;
namespace fs = std::filesystem;

// istat sees the interleaved files in pieces (the fixture's point, as the
// matrix saves them); sparse runs are written as holes: only the clusters on
// disk take room (with some slack for the host's allocation unit).
TEST(NtfsSaveTest, FragmentedFilesAndSparseRuns) {
  const auto cases = test::NtfsCaseRecords();
  for (const char* name : {"big/frag-a.bin", "big/frag-b.bin", "big/frag-c.bin"})
    EXPECT_GE(test::IstatRuns(NtfsFixture("ntfs.raw"), NtfsStart(), cases.at(name)).size(), 10u) << name;
  std::uint64_t dataBytes = 0;
  for (const auto& [first, clusters] : test::IstatRuns(NtfsFixture("ntfs.raw"), NtfsStart(), cases.at("sparse/holes.bin")))
    dataBytes += clusters * 4096;
  NtfsScan scan(NtfsFixture("ntfs.vhdx"));
  test::TempDir out;
  scan.SelectOnly("sparse/holes.bin");
  scan.Save(out.Path());
  struct stat st {};
  ASSERT_EQ(::stat((out / "holes.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 20 * 1024 * 1024);
  EXPECT_GT(st.st_blocks, 0);
  EXPECT_LE(static_cast<std::uint64_t>(st.st_blocks) * 512, dataBytes + 64 * 1024) << "the holes were written as zeros";
}

TEST(NtfsSaveTest, TimesAreTheStandardInformationModificationAndAccessTimes) {
  // Saved again and looked at before anything reads them (reading moves the
  // access time on).
  NtfsScan scan(NtfsFixture("ntfs.vhdx"));
  test::TempDir out;
  const fs::path raw = NtfsFixture("ntfs.raw");
  for (const auto& [name, record] : test::NtfsCaseRecords()) {
    const auto item = scan.ItemsOf(record);
    ASSERT_FALSE(item.empty()) << name;
    scan.SelectOnly(item.front().path);
    scan.Save(out.Path());
    const auto modified = test::IstatTime(raw, NtfsStart(), record, "$STANDARD_INFORMATION", "File Modified");
    const auto accessed = test::IstatTime(raw, NtfsStart(), record, "$STANDARD_INFORMATION", "Accessed");
    struct stat st {};
    ASSERT_EQ(::stat((out / fs::path(item.front().path).filename().string()).c_str(), &st), 0) << item.front().path;
    EXPECT_EQ(std::pair(static_cast<std::int64_t>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec), modified) << name;
    EXPECT_EQ(std::pair(static_cast<std::int64_t>(st.st_atim.tv_sec), st.st_atim.tv_nsec), accessed) << name;
  }
}

TEST(NtfsSaveTest, GarbageInARunListSkipsOnlyThatFile) {
  const std::uint32_t record = test::NtfsCaseRecords().at("big/frag-b.bin");
  NtfsDiskCopy disk;
  std::vector<std::uint8_t> bytes = disk.ReadRecord(record);
  b::UndoUpdateSequence(bytes);
  const std::size_t data = b::FindAttribute(bytes, b::kTypeData);
  ASSERT_NE(data, b::kNoAttribute);
  ASSERT_EQ(bytes[data + 8], 1) << "frag-b.bin's data is not non-resident";
  // The fourth run's header gets 9 length bytes, which no run list has.
  std::size_t at = data + bytes[data + 32] + 256u * bytes[data + 33];
  for (int run = 0; run < 3; ++run) at += 1u + (bytes[at] & 0x0Fu) + (bytes[at] >> 4u);
  bytes[at] = 0x09;
  b::RedoUpdateSequence(bytes);
  disk.WriteRecord(record, bytes);

  NtfsScan intact(NtfsFixture("ntfs.vhdx")), damaged(disk.Wrapped("vhdx"));
  intact.SelectAll();
  damaged.SelectAll();
  test::TempDir out, whole;
  intact.Save(whole.Path(), DeletedMode::kExclude);
  damaged.Save(out.Path(), DeletedMode::kExclude);
  auto want = test::Sha256Tree(whole.Path());
  ASSERT_EQ(want.erase("big/frag-b.bin"), 1u);
  // $MFT holds the edited record.
  auto got = test::Sha256Tree(out.Path());
  ASSERT_EQ(got.erase("$MFT"), 1u);
  want.erase("$MFT");
  EXPECT_EQ(got, want);
}

// Records ntfs-3g does not write, in place of small files' records: a file
// whose data is spread over two extension records that a resident attribute
// list names (the piece with VCN 0 in the higher record), and a file whose
// resident data claims to run past the record.
TEST(NtfsSaveTest, CraftedAttributeListAndOverlongResidentData) {
  const auto slots = test::LiveRecords("many/d18/file18");
  ASSERT_GE(slots.size(), 4u);
  const std::uint32_t base = slots[0], tailRecord = slots[1], headRecord = slots[2], overlong = slots[3];

  // The data: two pieces of big/contiguous.bin's clusters, swapped, with a
  // hole between them.
  const std::uint32_t source = test::NtfsCaseRecords().at("big/contiguous.bin");
  const auto runs = test::IstatRuns(NtfsFixture("ntfs.raw"), NtfsStart(), source);
  ASSERT_EQ(runs.size(), 1u);
  ASSERT_GE(runs[0].second, 200u);
  const std::uint64_t c = runs[0].first;
  constexpr std::uint64_t kPiece = 100, kHole = 10, kCluster = 4096;
  constexpr std::uint64_t kClusters = 2 * kPiece + kHole;
  constexpr std::uint64_t kSize = kClusters * kCluster - 1000;
  const std::vector<std::uint8_t> original = test::Icat(NtfsFixture("ntfs.raw"), NtfsStart(), source);
  std::vector<std::uint8_t> want(original.begin() + kPiece * kCluster, original.begin() + 2 * kPiece * kCluster);
  want.resize(want.size() + kHole * kCluster, 0);
  want.insert(want.end(), original.begin(), original.begin() + kPiece * kCluster - 1000);
  ASSERT_EQ(want.size(), kSize);

  NtfsDiskCopy disk;
  disk.WriteRecord(base, b::RecordBuilder(1, 0, base)
                             .Resident(b::kTypeFileName, b::FileNameValue(kNtfsRootId, u"spread.bin", b::kWin32))
                             .Resident(b::kTypeAttributeList, b::AttributeListValue({{b::kTypeFileName, 0, base, 0},
                                                                                     {b::kTypeData, 0, headRecord, 0},
                                                                                     {b::kTypeData, kPiece, tailRecord, 0}}))
                             .Protected());
  disk.WriteRecord(headRecord, b::RecordBuilder(1, base, headRecord)
                                   .NonResident(b::kTypeData, {{kPiece, false, c + kPiece}}, 0, kPiece - 1, kSize,
                                                kClusters * kCluster)
                                   .Protected());
  disk.WriteRecord(tailRecord, b::RecordBuilder(1, base, tailRecord)
                                   .NonResident(b::kTypeData, {{kHole, true, 0}, {kPiece, false, c}}, kPiece,
                                                kClusters - 1, 0, 0)
                                   .Protected());
  std::vector<std::uint8_t> claim = b::RecordBuilder(1, 0, overlong)
                                        .Resident(b::kTypeFileName, b::FileNameValue(kNtfsRootId, u"overlong.txt", b::kWin32))
                                        .Resident(b::kTypeData, std::vector<std::uint8_t>(100, 'x'))
                                        .Plain();
  const std::size_t data = b::FindAttribute(claim, b::kTypeData);
  claim[data + 16] = 0xD0;  // value length 2000
  claim[data + 17] = 0x07;
  b::RedoUpdateSequence(claim);
  disk.WriteRecord(overlong, claim);

  NtfsScan crafted(disk.Raw());
  const auto spread = crafted.Find("spread.bin");
  ASSERT_TRUE(spread);
  EXPECT_EQ(spread->size, kSize);
  const auto claimed = crafted.Find("overlong.txt");
  ASSERT_TRUE(claimed);
  EXPECT_EQ(claimed->size, 2000u);

  test::TempDir out;
  crafted.SelectOnly("spread.bin");
  crafted.Save(out.Path());
  ASSERT_TRUE(fs::exists(out / "spread.bin"));
  EXPECT_TRUE(test::ReadFileBytes(out / "spread.bin") == want) << "the pieces were not joined in VCN order";

  crafted.SelectOnly("overlong.txt");
  crafted.Save(out.Path());
  EXPECT_FALSE(fs::exists(out / "overlong.txt"));
}

// Empty files as Linux's ntfs3 driver writes them: $DATA non-resident with
// no run at all. They are saved empty; the same record claiming bytes it has
// no runs for is a failure, never a silent success.
TEST(NtfsSaveTest, EmptyNonResidentDataIsSavedEmptyAndMissingRunsFail) {
  const auto slots = test::LiveRecords("many/d16/file16");
  ASSERT_GE(slots.size(), 2u);
  constexpr std::uint64_t kNoVcn = ~std::uint64_t{0};  // last VCN of no cluster
  NtfsDiskCopy disk;
  disk.WriteRecord(slots[0], b::RecordBuilder(1, 0, slots[0])
                                 .Resident(b::kTypeFileName, b::FileNameValue(kNtfsRootId, u"empty-ntfs3.txt", b::kWin32))
                                 .NonResident(b::kTypeData, {}, 0, kNoVcn, 0, 0)
                                 .Protected());
  disk.WriteRecord(slots[1], b::RecordBuilder(1, 0, slots[1])
                                 .Resident(b::kTypeFileName, b::FileNameValue(kNtfsRootId, u"runless.bin", b::kWin32, 0, 5000))
                                 .NonResident(b::kTypeData, {}, 0, kNoVcn, 5000, 8192)
                                 .Protected());
  NtfsScan crafted(disk.Raw());
  ASSERT_TRUE(crafted.Find("empty-ntfs3.txt"));
  ASSERT_TRUE(crafted.Find("runless.bin"));
  ASSERT_EQ(crafted.Find("runless.bin")->size, 5000u);
  test::TempDir out;
  crafted.SelectOnly("empty-ntfs3.txt");
  EXPECT_EQ(crafted.Save(out / "empty"), 1u);
  ASSERT_TRUE(fs::is_regular_file(out / "empty" / "empty-ntfs3.txt"));
  EXPECT_EQ(fs::file_size(out / "empty" / "empty-ntfs3.txt"), 0u);
  crafted.SelectOnly("runless.bin");
  crafted.Save(out / "runless");
  EXPECT_FALSE(fs::exists(out / "runless" / "runless.bin"));
  EXPECT_EQ(crafted.LastSave().failed, 1u);
}

// A file of more than 4 GiB (one cluster of data, then a hole): its size is
// kept whole, and the hole takes no room.
TEST(NtfsSaveTest, SizeBeyondFourGiB) {
  const auto slots = test::LiveRecords("many/d17/file1700.dat");
  ASSERT_EQ(slots.size(), 1u);
  const std::uint32_t slot = slots[0];
  const std::uint32_t source = test::NtfsCaseRecords().at("big/contiguous.bin");
  const auto runs = test::IstatRuns(NtfsFixture("ntfs.raw"), NtfsStart(), source);
  constexpr std::uint64_t kSize = 5ULL * 1024 * 1024 * 1024 + 100;
  constexpr std::uint64_t kClusters = (kSize + 4095) / 4096;
  NtfsDiskCopy disk;
  disk.WriteRecord(slot, b::RecordBuilder(1, 0, slot)
                             .Resident(b::kTypeFileName, b::FileNameValue(kNtfsRootId, u"huge.bin", b::kWin32))
                             .NonResident(b::kTypeData, {{1, false, runs.at(0).first}, {kClusters - 1, true, 0}}, 0,
                                          kClusters - 1, kSize, kClusters * 4096)
                             .Protected());
  NtfsScan crafted(disk.Raw());
  const auto huge = crafted.Find("huge.bin");
  ASSERT_TRUE(huge);
  EXPECT_EQ(huge->size, kSize);
  test::TempDir out;
  crafted.SelectOnly("huge.bin");
  crafted.Save(out.Path());
  struct stat st {};
  ASSERT_EQ(::stat((out / "huge.bin").c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), kSize);
  EXPECT_LE(st.st_blocks * 512, 1024 * 1024);
  const auto original = test::Icat(NtfsFixture("ntfs.raw"), NtfsStart(), source);
  std::ifstream in(out / "huge.bin", std::ios::binary);
  std::vector<char> head(4096), tail(100, 1);
  in.read(head.data(), 4096);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), original.begin(),
                         [](char a, std::uint8_t c) { return static_cast<std::uint8_t>(a) == c; }));
  in.seekg(static_cast<std::streamoff>(kSize - 100));
  in.read(tail.data(), 100);
  EXPECT_EQ(in.gcount(), 100);
  EXPECT_TRUE(std::all_of(tail.begin(), tail.end(), [](char c) { return c == 0; }));
}

}  // namespace
}  // namespace dravik
