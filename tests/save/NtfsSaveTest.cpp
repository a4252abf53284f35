// Saving from the ntfs-3g volume what the matrix (matrix/ContainerMatrixTest)
// does not check: times to the nanosecond, and records edited into shapes
// ntfs-3g never writes (holes left as holes: CraftedRecords).

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
using test::VolumeScan;
using test::NtfsStart;
namespace b = test::ntfs;
namespace fs = std::filesystem;

TEST(NtfsSaveTest, TimesAreTheStandardInformationModificationAndAccessTimes) {
  // Saved again and looked at before anything reads them (reading moves the
  // access time on).
  VolumeScan scan(NtfsFixture("ntfs.vhdx"));
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

  VolumeScan intact(NtfsFixture("ntfs.vhdx")), damaged(disk.Wrapped("vhdx"));
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

// Records ntfs-3g does not write, in place of small files' records:
// spread.bin, whose data two extension records hold that a resident attribute
// list names (the piece with VCN 0 in the higher record): two pieces of
// big/contiguous.bin swapped, a hole between; overlong.txt, whose resident
// data claims to run past the record; empty-ntfs3.txt, non-resident data with
// no run at all as Linux's ntfs3 writes it (saved empty), and runless.bin
// claiming bytes it has no runs for (a failure, never a silent success);
// huge.bin, of more than 4 GiB: one cluster, then a hole that takes no room.
TEST(NtfsSaveTest, CraftedRecords) {
  const auto slots = test::LiveRecords("many/d18/file18");
  const auto more = test::LiveRecords("many/d16/file16");
  ASSERT_TRUE(slots.size() >= 4u && more.size() >= 3u);
  const std::uint32_t base = slots[0], tailRecord = slots[1], headRecord = slots[2], overlong = slots[3];
  const std::uint32_t source = test::NtfsCaseRecords().at("big/contiguous.bin");
  const auto runs = test::IstatRuns(NtfsFixture("ntfs.raw"), NtfsStart(), source);
  ASSERT_TRUE(runs.size() == 1u && runs[0].second >= 200u);
  const std::uint64_t c = runs[0].first;
  constexpr std::uint64_t kPiece = 100, kHole = 10, kCluster = 4096;
  constexpr std::uint64_t kClusters = 2 * kPiece + kHole;
  constexpr std::uint64_t kSize = kClusters * kCluster - 1000;
  const std::vector<std::uint8_t> original = test::Icat(NtfsFixture("ntfs.raw"), NtfsStart(), source);
  std::vector<std::uint8_t> want(original.begin() + kPiece * kCluster, original.begin() + 2 * kPiece * kCluster);
  want.resize(want.size() + kHole * kCluster, 0);
  want.insert(want.end(), original.begin(), original.begin() + kPiece * kCluster - 1000);

  NtfsDiskCopy disk;
  const auto named = [](std::uint32_t record, const char16_t* name, std::uint64_t size = 0) {
    return b::RecordBuilder(1, 0, record).Resident(b::kTypeFileName, b::FileNameValue(kNtfsRootId, name, b::kWin32, 0, size));
  };
  disk.WriteRecord(base, named(base, u"spread.bin")
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
  std::vector<std::uint8_t> claim = named(overlong, u"overlong.txt").Resident(b::kTypeData, std::vector<std::uint8_t>(100, 'x')).Plain();
  const std::size_t data = b::FindAttribute(claim, b::kTypeData);
  claim[data + 16] = 0xD0;  // value length 2000
  claim[data + 17] = 0x07;
  b::RedoUpdateSequence(claim);
  disk.WriteRecord(overlong, claim);
  constexpr std::uint64_t kNoVcn = ~std::uint64_t{0};  // last VCN of no cluster
  disk.WriteRecord(more[0], named(more[0], u"empty-ntfs3.txt").NonResident(b::kTypeData, {}, 0, kNoVcn, 0, 0).Protected());
  disk.WriteRecord(more[1], named(more[1], u"runless.bin", 5000).NonResident(b::kTypeData, {}, 0, kNoVcn, 5000, 8192).Protected());
  constexpr std::uint64_t kHuge = 5ULL * 1024 * 1024 * 1024 + 100, kHugeClusters = (kHuge + 4095) / 4096;
  disk.WriteRecord(more[2], named(more[2], u"huge.bin")
                                .NonResident(b::kTypeData, {{1, false, c}, {kHugeClusters - 1, true, 0}}, 0,
                                             kHugeClusters - 1, kHuge, kHugeClusters * 4096)
                                .Protected());

  VolumeScan crafted(disk.Raw());
  test::TempDir out;
  SaveSummary last;
  const auto save = [&](const std::string& name, std::uint64_t size) {
    const auto item = crafted.Find(name);
    EXPECT_TRUE(item && item->size == size) << name;
    if (!item) return false;
    crafted.SelectOnly(name);
    last = crafted.Save(out / name);
    return last.saved == 1u && fs::exists(out / name / name);
  };
  ASSERT_TRUE(save("spread.bin", kSize));
  EXPECT_TRUE(test::ReadFileBytes(out / "spread.bin" / "spread.bin") == want) << "the pieces were not joined in VCN order";
  EXPECT_FALSE(save("overlong.txt", 2000));
  ASSERT_TRUE(save("empty-ntfs3.txt", 0));
  EXPECT_EQ(fs::file_size(out / "empty-ntfs3.txt" / "empty-ntfs3.txt"), 0u);
  EXPECT_FALSE(save("runless.bin", 5000));
  EXPECT_TRUE(last.failed == 1u && !fs::exists(out / "runless.bin" / "runless.bin"));

  ASSERT_TRUE(save("huge.bin", kHuge));
  struct stat st {};
  ASSERT_EQ(::stat((out / "huge.bin" / "huge.bin").c_str(), &st), 0);
  EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), kHuge);
  EXPECT_LE(st.st_blocks * 512, 1024 * 1024) << "the hole was written as zeros";
  std::ifstream in(out / "huge.bin" / "huge.bin", std::ios::binary);
  std::vector<char> head(4096), tail(100, 1);
  in.read(head.data(), 4096);
  EXPECT_TRUE(std::equal(head.begin(), head.end(), original.begin(),
                         [](char a, std::uint8_t x) { return static_cast<std::uint8_t>(a) == x; }));
  in.seekg(static_cast<std::streamoff>(kHuge - 100));
  in.read(tail.data(), 100);
  EXPECT_EQ(in.gcount(), 100);
  EXPECT_TRUE(std::all_of(tail.begin(), tail.end(), [](char x) { return x == 0; }));
}

}  // namespace
}  // namespace dravik
