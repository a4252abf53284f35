// NTFS record readers on hand-built bytes the fixture volume cannot show: run lists of every field width and damaged,
// the fix-up, $FILE_NAME namespaces, LZNT1 streams cut or ended early (whole ones: the fixture's compressed files,
// which matrix/ContainerMatrixTest saves).

#include <gtest/gtest.h>

#include <string>

#include "NtfsRecordBuilder.h"
#include "fs/ntfs/Lznt1.h"
#include "fs/ntfs/MftRecord.h"
#include "fs/ntfs/RunList.h"

namespace dravik {
namespace {

namespace b = test::ntfs;
using ntfs::DecodeRunList;

struct Expected { std::optional<std::uint64_t> cluster; std::uint64_t clusters; };

// Offsets are relative to the run before (a hole not counted); a damaged list keeps the runs before the damage.
TEST(NtfsRunListTest, DecodesEveryFieldWidthAndStopsAtDamage) {
  constexpr std::uint64_t kThird = 0x20 + 0x1234 + 0x010000;
  const struct { const char* name; std::vector<std::uint8_t> list; bool ok; std::vector<Expected> runs; } rows[] = {
      {"offsets of 1 to 4 bytes, negative ones, a hole",
       {0x11, 0x10, 0x20,                    // 16 clusters at 0x20
        0x21, 0x08, 0x34, 0x12,              // 8 at + 0x1234
        0x31, 0x02, 0x00, 0x00, 0x01,        // 2 at + 0x010000
        0x41, 0x01, 0x00, 0x00, 0x00, 0x01,  // 1 at + 0x01000000
        0x11, 0x03, 0xF0,                    // 3 at - 16
        0x01, 0x05,                          // 5 sparse clusters
        0x21, 0x04, 0x00, 0xFF,              // 4 at - 256
        0x00},
       true,
       {{0x20, 16}, {0x20 + 0x1234, 8}, {kThird, 2}, {kThird + 0x01000000, 1}, {kThird + 0x01000000 - 16, 3},
        {std::nullopt, 5}, {kThird + 0x01000000 - 16 - 256, 4}}},
      {"lengths of 2 and 3 bytes", {0x33, 0x70, 0x11, 0x01, 0x40, 0x4B, 0x4C, 0x02, 0x2C, 0x01, 0x00}, true,
       {{5000000, 70000}, {std::nullopt, 300}}},
      {"fields past the list", {0x11, 0x04, 0x10, 0x31, 0x10, 0x00}, false, {{0x10, 4}}},
      {"a length of 9 bytes", {0x11, 0x04, 0x10, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00}, false, {{0x10, 4}}},
      {"a length of no bytes", {0x10, 0x05, 0x00}, false, {}},
      {"an offset before cluster 0", {0x11, 0x04, 0x10, 0x11, 0x01, 0xE0, 0x00}, false, {{0x10, 4}}},
      {"no end mark", {0x11, 0x04, 0x10}, false, {{0x10, 4}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto got = DecodeRunList(row.list);
    EXPECT_EQ(got.ok, row.ok);
    ASSERT_EQ(got.runs.size(), row.runs.size());
    for (std::size_t i = 0; i < row.runs.size(); ++i)
      EXPECT_TRUE(got.runs[i].firstCluster == row.runs[i].cluster && got.runs[i].clusters == row.runs[i].clusters) << i;
  }
}

TEST(NtfsRecordTest, FixupPutsBackTheEndOfEachSector) {
  // Resident data over both sector ends, so the update sequence hides real bytes.
  std::vector<std::uint8_t> value(900);
  for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<std::uint8_t>(i * 7 + 3);
  const b::RecordBuilder builder = b::RecordBuilder().Resident(b::kTypeData, value);
  std::vector<std::uint8_t> onDisk = builder.Protected(0x0A0B);
  const std::vector<std::uint8_t> plain = builder.Plain();
  ASSERT_NE(onDisk, plain);
  ntfs::ApplyFixup(onDisk);
  // Everything after the update sequence array is as it was built.
  EXPECT_EQ(std::vector<std::uint8_t>(onDisk.begin() + 56, onDisk.end()),
            std::vector<std::uint8_t>(plain.begin() + 56, plain.end()));
  const auto data = ntfs::FindData(onDisk);
  ASSERT_TRUE(data && data->resident);
  EXPECT_EQ(std::vector<std::uint8_t>(data->value.begin(), data->value.end()), value);
}

// Which name each namespace asks for; a POSIX name counts as a Win32 one (the scan's listing: NtfsScanTest.cpp).
TEST(NtfsRecordTest, FileNameNamespacePreference) {
  const auto record = b::RecordBuilder()
                          .Resident(b::kTypeFileName, b::FileNameValue(5, u"LONGNA~1.TXT", b::kDos, 1000))
                          .Resident(b::kTypeFileName, b::FileNameValue(77, u"long name.txt", b::kPosix, 2000))
                          .Plain();
  const auto win32 = ntfs::FindFileName(record, 1), dos = ntfs::FindFileName(record, 2);
  ASSERT_TRUE(win32 && dos);
  EXPECT_TRUE(win32->name == u"long name.txt" && win32->parentId == 77u && win32->creationTime == 2000u);
  EXPECT_EQ(dos->name, u"LONGNA~1.TXT");
  EXPECT_FALSE(ntfs::FindFileName(record, 3));
  const auto both = b::RecordBuilder().Resident(b::kTypeFileName, b::FileNameValue(5, u"SHORT.TXT", b::kWin32AndDos)).Plain();
  EXPECT_TRUE(!ntfs::FindFileName(both, 1) && ntfs::FindFileName(both, 3)) << "a Win32-and-DOS name only as itself";
  // A named attribute of the type is not a file name.
  const auto named = b::RecordBuilder().Resident(b::kTypeFileName, b::FileNameValue(5, u"x", b::kWin32), u"n").Plain();
  EXPECT_FALSE(ntfs::FindFileName(named, 1));
}

TEST(NtfsRecordTest, AttributeListNamesItsRecordsInOrder) {
  const auto list = b::AttributeListValue({{b::kTypeStandardInformation, 0, 40, 0},
                                           {b::kTypeFileName, 0, 40, 2},
                                           {b::kTypeData, 0, 91, 0},
                                           {b::kTypeData, 150, 57, 0}});
  const auto record = b::RecordBuilder(1, 0, 40).Resident(b::kTypeAttributeList, list).Plain();
  EXPECT_EQ(ntfs::AttributeListRecords(record), (std::vector<std::uint32_t>{40, 40, 91, 57}));
  EXPECT_EQ(ntfs::AttributeListRecords(record, ntfs::kData), (std::vector<std::uint32_t>{91, 57}));
}

// LZNT1 chunk headers: bits 0-11 the stored size (header included) minus 3, bit 15 compressed, bits 12-14 3.
std::vector<std::uint8_t> Chunk(bool compressed, const std::vector<std::uint8_t>& data) {
  const auto header = static_cast<std::uint16_t>((compressed ? 0x8000 : 0) | 0x3000 | ((data.size() - 1) & 0x0FFF));
  std::vector<std::uint8_t> chunk = {static_cast<std::uint8_t>(header), static_cast<std::uint8_t>(header >> 8)};
  chunk.insert(chunk.end(), data.begin(), data.end());
  return chunk;
}

TEST(NtfsLznt1Test, StopsAtTheEndMarkAndAtADamagedChunk) {
  const std::vector<std::uint8_t> literal = {0x00, 'x', 'y'};
  std::vector<std::uint8_t> stream = Chunk(true, literal);
  stream.insert(stream.end(), {0, 0, 0x55});  // 0x55 after the end mark: never read
  std::vector<std::uint8_t> out(8192, 0xEE);
  EXPECT_EQ(ntfs::DecompressLznt1(stream, out), 4096u);
  EXPECT_TRUE(out[0] == 'x' && out[1] == 'y' && out[2] == 0);
  EXPECT_EQ(out[4096], 0xEE) << "bytes past the data stay as they were";
  // A chunk whose size runs past the input.
  std::vector<std::uint8_t> cut = Chunk(true, literal);
  const auto big = Chunk(true, std::vector<std::uint8_t>(100, 0));
  cut.insert(cut.end(), big.begin(), big.begin() + 50);
  std::fill(out.begin(), out.end(), 0xEE);
  EXPECT_TRUE(ntfs::DecompressLznt1(cut, out) == 4096u && out[4096] == 0xEE);
}

}  // namespace
}  // namespace dravik
