// Every byte the readers deliver must equal qemu-img's raw conversion of the same image, whatever the read's size and
// alignment.

#include <gtest/gtest.h>

#include <fstream>

#include "TestFiles.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

using test::Fixture;

struct OracleCase {
  const char* image;
  std::uint64_t blockSize;  // 0 for flat images
};

std::ostream& operator<<(std::ostream& os, const OracleCase& c) { return os << c.image; }

class Oracle {
 public:
  explicit Oracle(const std::filesystem::path& path) : in_(path, std::ios::binary) {
    in_.seekg(0, std::ios::end);
    size_ = static_cast<std::uint64_t>(in_.tellg());
  }
  std::uint64_t Size() const { return size_; }
  std::vector<std::uint8_t> Read(std::uint64_t offset, std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    return bytes;
  }

 private:
  std::ifstream in_;
  std::uint64_t size_ = 0;
};

VirtualDisk OpenOrFail(const std::filesystem::path& path) {
  VirtualDisk disk;
  const OpenResult result = OpenImage(disk, path, true);
  EXPECT_TRUE(result.Usable()) << path << ": " << result.message;
  return disk;
}

// Reads [offset, offset + length) through the disk and compares it with the oracle.
void ExpectRange(const VirtualDisk& disk, Oracle& oracle, std::uint64_t offset, std::size_t length) {
  std::vector<std::uint8_t> got(length, 0xCD);
  ASSERT_TRUE(disk.ReadAt(offset, got)) << "read of " << length << " bytes at " << offset << " failed";
  const auto want = oracle.Read(offset, length);
  const auto mismatch = std::mismatch(got.begin(), got.end(), want.begin());
  ASSERT_TRUE(mismatch.first == got.end())
      << "first difference at virtual offset " << offset + static_cast<std::uint64_t>(mismatch.first - got.begin())
      << " in a read of " << length << " bytes at " << offset;
}

class WholeImageTest : public ::testing::TestWithParam<OracleCase> {};

// Sequential reads of an odd size over the whole disk, reads across every block boundary (three blocks at once where
// there is room), and scattered reads of any size and alignment.
TEST_P(WholeImageTest, ReadsOfAnySizeAndAlignmentMatchOracle) {
  const auto image = Fixture(GetParam().image);
  const VirtualDisk disk = OpenOrFail(image);
  Oracle oracle(image.string() + ".raw");
  ASSERT_EQ(disk.Size(), oracle.Size());
  constexpr std::size_t kStep = 3 * 65536 + 7;
  for (std::uint64_t offset = 0; offset < oracle.Size(); offset += kStep)
    ExpectRange(disk, oracle, offset, static_cast<std::size_t>(std::min<std::uint64_t>(kStep, oracle.Size() - offset)));
  const std::uint64_t block = GetParam().blockSize ? GetParam().blockSize : 2 * 1024 * 1024;
  for (std::uint64_t boundary = block; boundary < oracle.Size(); boundary += block) {
    ExpectRange(disk, oracle, boundary - 1, 512);
    ExpectRange(disk, oracle, boundary - 512, 1024);
    if (boundary + 2 * block < oracle.Size())
      ExpectRange(disk, oracle, boundary - 3, static_cast<std::size_t>(2 * block + 5));
  }
  std::uint64_t state = 0x2545F4914F6CDD1DULL;
  for (int i = 0; i < 2000; ++i) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const std::size_t length = 1 + static_cast<std::size_t>((state >> 40) % 70000);
    ExpectRange(disk, oracle, (state >> 3) % (oracle.Size() - length), length);
  }
}

TEST_P(WholeImageTest, ReadPastTheEndFailsAndZeroesWhatItCouldNotRead) {
  const auto image = Fixture(GetParam().image);
  const VirtualDisk disk = OpenOrFail(image);
  Oracle oracle(image.string() + ".raw");
  // A fixed VHD's data ends where its footer begins: the footer is never read as a sector of the disk. Every image
  // fails a read that reaches past the end of its data or its block table.
  const std::uint64_t end =
      GetParam().blockSize ? (oracle.Size() + GetParam().blockSize - 1) / GetParam().blockSize * GetParam().blockSize
                           : std::filesystem::file_size(image) - 512;
  std::vector<std::uint8_t> tail(1024, 0xCD);
  EXPECT_FALSE(disk.ReadAt(end - 512, tail));
  EXPECT_TRUE(std::all_of(tail.begin() + 512, tail.end(), [](std::uint8_t b) { return b == 0; }));
  if (GetParam().blockSize == 0) {
    const auto last = oracle.Read(oracle.Size() - 512, 512);
    EXPECT_TRUE(std::equal(last.begin(), last.end(), tail.begin())) << "the last sector is still read";
  }
  std::vector<std::uint8_t> beyond(512, 0xCD);
  EXPECT_FALSE(disk.ReadAt(end + 4096, beyond));
  EXPECT_TRUE(std::all_of(beyond.begin(), beyond.end(), [](std::uint8_t b) { return b == 0; }));
}

// Where Locate says bytes lie in the image file, the file holds the disk's bytes; where it says nothing, the disk reads
// zeros there or the bytes lie in no file span (VHD blocks never run on: a bitmap stands between them).
TEST_P(WholeImageTest, LocatedSpansHoldTheDisksBytes) {
  const auto image = Fixture(GetParam().image);
  const VirtualDisk disk = OpenOrFail(image);
  Oracle oracle(image.string() + ".raw");
  Oracle file(image);
  std::uint64_t located = 0;
  for (std::uint64_t offset = 0; offset < oracle.Size();) {
    const std::uint64_t length = std::min<std::uint64_t>(oracle.Size() - offset, 40 << 20);
    const auto span = disk.Locate(offset, length);
    if (!span) {
      offset += 512;
      continue;
    }
    ASSERT_GT(span->length, 0u);
    ASSERT_LE(span->length, length);
    const std::size_t check = static_cast<std::size_t>(std::min<std::uint64_t>(span->length, 1 << 20));
    ASSERT_TRUE(file.Read(span->offset, check) == oracle.Read(offset, check)) << "span at virtual offset " << offset;
    const std::size_t tail = static_cast<std::size_t>(std::min<std::uint64_t>(span->length, 4096));
    ASSERT_TRUE(file.Read(span->offset + span->length - tail, tail) == oracle.Read(offset + span->length - tail, tail))
        << "end of the span at virtual offset " << offset;
    located += span->length;
    offset += span->length;
  }
  EXPECT_GT(located, 0u);
}

INSTANTIATE_TEST_SUITE_P(QemuImages, WholeImageTest,
                         ::testing::Values(OracleCase{"vhd-fixed.vhd", 0}, OracleCase{"vhd-dynamic.vhd", 2 << 20},
                                           OracleCase{"vhdx-fixed.vhdx", 8 << 20},
                                           OracleCase{"vhdx-dynamic.vhdx", 8 << 20},
                                           OracleCase{"vhdx-dynamic-1m.vhdx", 1 << 20},
                                           OracleCase{"vhdx-dynamic-32m.vhdx", 32 << 20}),
                         [](const auto& param) {
                           std::string name = param.param.image;
                           std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                           return name;
                         });

// Large sparse images: compare around every written range, the block boundaries next to them, and a few untouched
// places that must read as zeros; and a VHDX whose blocks lie beyond 4 GiB in its file.
TEST(SparseImageTest, FiveGiBWithDataPastTheFirstChunkAndBlocksBeyondFourGiB) {
  const auto image = Fixture("vhdx-sparse-5g.vhdx");
  const VirtualDisk disk = OpenOrFail(image);
  Oracle oracle(image.string() + ".raw");
  constexpr std::uint64_t kBlock = 32ULL << 20;
  ASSERT_EQ(disk.Size(), 5ULL << 30);
  ASSERT_NE(disk.Vhdx(), nullptr);
  EXPECT_EQ(disk.Vhdx()->ChunkRatio(), 128.0);
  EXPECT_EQ(disk.TotalBatEntries(), 160 + 1);  // one sector bitmap entry after the first 128 blocks
  const std::uint64_t written[] = {0, 128 * kBlock - 4096, 129 * kBlock + 12345 * 512, (5ULL << 30) - (1 << 20)};
  for (const std::uint64_t at : written) {
    const std::uint64_t from = at >= 65536 ? at - 65536 : 0;
    ExpectRange(disk, oracle, from, static_cast<std::size_t>(std::min<std::uint64_t>(1 << 21, oracle.Size() - from)));
  }
  ExpectRange(disk, oracle, 127 * kBlock + 5, static_cast<std::size_t>(3 * kBlock));  // blocks 127-130
  ExpectRange(disk, oracle, 64 * kBlock, 4096);
  const auto beyond = Fixture("vhdx-beyond-4g.vhdx");
  ASSERT_GT(std::filesystem::file_size(beyond), 5ULL << 30);
  const VirtualDisk far = OpenOrFail(beyond);
  Oracle farOracle(beyond.string() + ".raw");
  for (const auto& [at, length] : {std::pair<std::uint64_t, std::size_t>{(100 << 20) - 4096, (1 << 20) + 8192},
                                   {3 * kBlock - 65536, 131072}, {0, 1 << 20}})
    ExpectRange(far, farOracle, at, length);
}

}  // namespace
}  // namespace dravik
