// Which bytes the readers say an image holds, against what qemu-img wrote:
// all of a fixed VHD; for a disk made by `qemu-img convert` the blocks of its
// raw form that hold a byte other than zero (convert allocates no others, and
// marks the all-zero blocks of a fixed VHDX as zero blocks without data); for
// damaged VHDs the data ranges `qemu-img map` reports. Searches pass over
// every byte outside the runs unread, so a run that misses data would lose a
// partition.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "TestFiles.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {

void PrintTo(const ByteRange& r, std::ostream* os) { *os << "[" << r.begin << ", " << r.end << ")"; }

namespace {

namespace fs = std::filesystem;
using test::Fixture;
using test::Quote;
using test::RunShell;
using test::TempDir;
using Ranges = std::vector<ByteRange>;

VirtualDisk OpenOrFail(const fs::path& path) {
  VirtualDisk disk;
  const OpenResult result = OpenImage(disk, path, false);
  EXPECT_TRUE(result.Usable()) << path << ": " << result.message;
  return disk;
}

// Every run from offset 0 on. Runs must move forward and be as long as they
// go: the next one begins after a byte that is not held.
Ranges Runs(const ByteSource& source) {
  Ranges runs;
  for (auto run = source.PresentRange(0); run && run->begin < source.Size(); run = source.PresentRange(run->end)) {
    EXPECT_GT(run->end, run->begin);
    if (!runs.empty() && run->begin <= runs.back().end) {
      ADD_FAILURE() << "runs that touch are one run, and each begins after the last: " << run->begin;
      break;
    }
    runs.push_back({run->begin, std::min(run->end, source.Size())});
  }
  return runs;
}

// Appends [begin, end) to sorted ranges, joining it to the last when they touch.
void Append(Ranges& ranges, std::uint64_t begin, std::uint64_t end) {
  if (!ranges.empty() && ranges.back().end >= begin)
    ranges.back().end = std::max(ranges.back().end, end);
  else
    ranges.push_back({begin, end});
}

// The blocks of a sparse raw disk that hold a byte other than zero, joined and
// cut at size. Only the file's data segments are read: its holes are zeros.
Ranges NonZeroBlocks(const fs::path& raw, std::uint64_t blockSize, std::uint64_t size) {
  Ranges ranges;
  const int fd = ::open(raw.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0) << raw;
  std::vector<std::uint8_t> buffer(1 << 20);
  for (off_t at = 0, data; fd >= 0 && (data = ::lseek(fd, at, SEEK_DATA)) >= 0;) {
    const off_t hole = ::lseek(fd, data, SEEK_HOLE);
    for (off_t pos = data; pos < hole;) {
      const ssize_t got = ::pread(fd, buffer.data(), std::min<std::size_t>(buffer.size(), static_cast<std::size_t>(hole - pos)), pos);
      if (got <= 0) break;
      for (ssize_t i = 0; i < got; ++i) {
        if (buffer[static_cast<std::size_t>(i)] == 0) continue;
        const std::uint64_t block = (static_cast<std::uint64_t>(pos) + static_cast<std::uint64_t>(i)) / blockSize;
        Append(ranges, block * blockSize, std::min(size, (block + 1) * blockSize));
        i = static_cast<ssize_t>((block + 1) * blockSize - static_cast<std::uint64_t>(pos)) - 1;  // the next block
      }
      pos += got;
    }
    at = hole;
  }
  if (fd >= 0) ::close(fd);
  return ranges;
}

// The data ranges of `qemu-img map`: virtual start, length and file offset.
struct MappedRange {
  std::uint64_t start, length, offset;
};
std::vector<MappedRange> QemuDataRanges(const fs::path& image) {
  const auto map = RunShell("qemu-img map -f vpc --output=json " + Quote(image));
  EXPECT_EQ(map.status, 0) << map.out;
  static const std::regex entry(R"re("start": (\d+), "length": (\d+),[^}]*"data": true, "offset": (\d+))re");
  std::vector<MappedRange> ranges;
  for (auto it = std::sregex_iterator(map.out.begin(), map.out.end(), entry); it != std::sregex_iterator(); ++it)
    ranges.push_back({std::stoull((*it)[1]), std::stoull((*it)[2]), std::stoull((*it)[3])});
  return ranges;
}

struct PresentCase {
  const char* image;
  std::uint64_t blockSize;  // 0: a fixed VHD, held whole
};

std::ostream& operator<<(std::ostream& os, const PresentCase& c) { return os << c.image; }

class PresentRangeTest : public ::testing::TestWithParam<PresentCase> {};

// A question from inside a run is answered from there to the run's end; from
// inside a gap, with the next run.
TEST_P(PresentRangeTest, RunsAreTheBlocksQemuWrote) {
  const auto image = Fixture(GetParam().image);
  const VirtualDisk disk = OpenOrFail(image);
  const Ranges runs = Runs(disk);
  const Ranges held{{0, disk.Size()}};
  EXPECT_EQ(runs, GetParam().blockSize ? NonZeroBlocks(image.string() + ".raw", GetParam().blockSize, disk.Size()) : held);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    for (const std::uint64_t at : {runs[i].begin, runs[i].begin + 1, (runs[i].begin + runs[i].end) / 2, runs[i].end - 1}) {
      const auto got = disk.PresentRange(at);
      ASSERT_TRUE(got) << "nothing held from " << at;
      EXPECT_EQ(got->begin, at);
      EXPECT_EQ(std::min(got->end, runs.back().end), runs[i].end) << "from " << at;
    }
    if (i + 1 < runs.size()) {
      EXPECT_EQ(disk.PresentRange(runs[i].end).value_or(ByteRange{}).begin, runs[i + 1].begin);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(QemuImages, PresentRangeTest,
                         ::testing::Values(PresentCase{"vhd-fixed.vhd", 0}, PresentCase{"vhdx-fixed.vhdx", 8 << 20},
                                           PresentCase{"vhd-dynamic.vhd", 2 << 20},
                                           PresentCase{"vhdx-dynamic.vhdx", 8 << 20},
                                           PresentCase{"vhdx-dynamic-1m.vhdx", 1 << 20},
                                           PresentCase{"vhdx-dynamic-32m.vhdx", 32 << 20},
                                           PresentCase{"vhdx-sparse-5g.vhdx", 32 << 20}),
                         [](const auto& param) {
                           std::string name = param.param.image;
                           std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                           return name;
                         });

// Every run reads whole and gives the bytes of the intact disk.
void ExpectRunsRead(const VirtualDisk& disk, const Ranges& runs, const std::vector<std::uint8_t>& raw) {
  for (const ByteRange& run : runs) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(run.end - run.begin));
    EXPECT_TRUE(disk.ReadAt(run.begin, bytes)) << "run at " << run.begin;
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), raw.begin() + static_cast<std::ptrdiff_t>(run.begin)));
  }
}

// Cut inside its last data block, a dynamic VHD holds the blocks before the
// cut and of that block only what the file still has.
TEST(PresentRangeDamageTest, VhdCutInsideItsLastBlock) {
  TempDir dir;
  const auto image = dir / "cut.vhd";
  fs::copy_file(Fixture("vhd-dynamic.vhd"), image);
  const auto mapped = QemuDataRanges(image);
  ASSERT_GE(mapped.size(), 2u);
  const MappedRange last = *std::max_element(mapped.begin(), mapped.end(), [](const auto& a, const auto& b) {
    return a.offset < b.offset;
  });
  const std::uint64_t cut = last.offset + last.length / 2 + 100;
  fs::resize_file(image, cut);
  Ranges want;
  for (const MappedRange& m : mapped)
    if (m.offset < cut) Append(want, m.start, m.start + std::min(m.length, cut - m.offset));
  const VirtualDisk disk = OpenOrFail(image);
  const Ranges runs = Runs(disk);
  EXPECT_EQ(runs, want);
  ExpectRunsRead(disk, runs, test::ReadFileBytes(Fixture("vhd-dynamic.vhd").string() + ".raw"));
  std::vector<std::uint8_t> past(512);
  EXPECT_FALSE(disk.ReadAt(runs.back().end, past)) << "the byte after the cut cannot be read";
}

// A VHDX cut short: its runs lie within those of the whole file, fewer.
TEST(PresentRangeDamageTest, VhdxCutShort) {
  TempDir dir;
  const auto image = dir / "cut.vhdx";
  fs::copy_file(Fixture("vhdx-dynamic-1m.vhdx"), image);
  const Ranges whole = Runs(OpenOrFail(image));
  fs::resize_file(image, fs::file_size(image) / 2 + 12345);
  const VirtualDisk disk = OpenOrFail(image);
  const Ranges runs = Runs(disk);
  ASSERT_FALSE(runs.empty());
  std::uint64_t held = 0, wholeHeld = 0;
  for (const ByteRange& run : runs) {
    held += run.end - run.begin;
    EXPECT_TRUE(std::any_of(whole.begin(), whole.end(), [&](const ByteRange& w) { return w.begin <= run.begin && run.end <= w.end; }))
        << run.begin;
  }
  for (const ByteRange& w : whole) wholeHeld += w.end - w.begin;
  EXPECT_LT(held, wholeHeld);
  ExpectRunsRead(disk, runs, test::ReadFileBytes(Fixture("vhdx-dynamic-1m.vhdx").string() + ".raw"));
}

TEST(PresentRangeVhdxTest, EmptySixtyFourTerabyteDiskHoldsNothing) {
  TempDir dir;
  const auto image = dir / "empty.vhdx";
  ASSERT_EQ(RunShell("qemu-img create -q -f vhdx " + Quote(image) + " 64T").status, 0);
  const VirtualDisk disk = OpenOrFail(image);
  EXPECT_EQ(disk.Size(), 64ULL << 40);
  EXPECT_FALSE(disk.PresentRange(0));
  EXPECT_FALSE(VirtualDisk{}.PresentRange(0)) << "nothing is held before an image is open";
}

}  // namespace
}  // namespace dravik
