// Which bytes the readers say an image holds, against what qemu-img wrote:
// all of a fixed VHD; for a dynamic VHD the data ranges `qemu-img map`
// reports; for a disk made by `qemu-img convert` the blocks of its raw form
// that hold a byte other than zero (convert allocates no others, and marks
// the all-zero blocks of a fixed VHDX as zero blocks without data). Searches
// pass over every byte outside the runs unread, so a run that misses data
// would lose a partition.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "TestFiles.h"
#include "VhdFooterEdit.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {

// How gtest shows a range when a comparison fails.
void PrintTo(const ByteRange& r, std::ostream* os) { *os << "[" << r.begin << ", " << r.end << ")"; }

namespace {

using test::Fixture;
using test::Quote;
using test::RunShell;
using test::TempDir;

VirtualDisk OpenOrFail(const std::filesystem::path& path) {
  VirtualDisk disk;
  const OpenResult result = OpenImage(disk, path, false);
  EXPECT_TRUE(result.Usable()) << path << ": " << result.message;
  return disk;
}

// Every run from offset 0 on, cut at limit. Runs must move forward and be as
// long as they go: the next one begins after a byte that is not held.
std::vector<ByteRange> Runs(const ByteSource& source, std::uint64_t limit) {
  std::vector<ByteRange> runs;
  for (std::uint64_t at = 0; at < limit;) {
    const auto run = source.PresentRange(at);
    if (!run) break;
    EXPECT_GE(run->begin, at);
    EXPECT_GT(run->end, run->begin);
    if (!runs.empty()) {
      EXPECT_GT(run->begin, runs.back().end) << "runs that touch are one run";
    }
    if (run->begin >= limit) break;
    runs.push_back({run->begin, std::min(run->end, limit)});
    at = run->end;
  }
  return runs;
}

// Appends [begin, end) to sorted ranges, joining it to the last when they touch.
void Append(std::vector<ByteRange>& ranges, std::uint64_t begin, std::uint64_t end) {
  if (!ranges.empty() && ranges.back().end >= begin)
    ranges.back().end = std::max(ranges.back().end, end);
  else
    ranges.push_back({begin, end});
}

// The blocks of a raw disk that hold a byte other than zero, joined into
// ranges and cut at size. Only the data segments of the (sparse) raw file
// are read: its holes are zeros.
std::vector<ByteRange> NonZeroBlocks(const std::filesystem::path& raw, std::uint64_t blockSize, std::uint64_t size) {
  std::vector<ByteRange> ranges;
  const int fd = ::open(raw.c_str(), O_RDONLY);
  if (fd < 0) {
    ADD_FAILURE() << "cannot open " << raw;
    return ranges;
  }
  std::vector<std::uint8_t> buffer(1 << 20);
  for (off_t at = 0;;) {
    const off_t data = ::lseek(fd, at, SEEK_DATA);
    if (data < 0) break;
    const off_t hole = ::lseek(fd, data, SEEK_HOLE);
    for (off_t pos = data; pos < hole;) {
      const ssize_t got = ::pread(fd, buffer.data(), std::min<std::size_t>(buffer.size(), static_cast<std::size_t>(hole - pos)), pos);
      if (got <= 0) break;
      for (ssize_t i = 0; i < got; ++i) {
        if (buffer[static_cast<std::size_t>(i)] == 0) continue;
        const std::uint64_t block = (static_cast<std::uint64_t>(pos) + static_cast<std::uint64_t>(i)) / blockSize;
        Append(ranges, block * blockSize, std::min(size, (block + 1) * blockSize));
        // Go on at the next block.
        const auto next = static_cast<ssize_t>((block + 1) * blockSize - static_cast<std::uint64_t>(pos));
        i = next - 1;
      }
      pos += got;
    }
    at = hole;
  }
  ::close(fd);
  return ranges;
}

// The data ranges of `qemu-img map`: virtual start, length and file offset.
struct MappedRange {
  std::uint64_t start, length, offset;
};
std::vector<MappedRange> QemuDataRanges(const std::filesystem::path& image, const char* format) {
  const auto map = RunShell("qemu-img map -f " + std::string(format) + " --output=json " + Quote(image));
  EXPECT_EQ(map.status, 0) << map.out;
  static const std::regex entry(R"re("start": (\d+), "length": (\d+),[^}]*"data": true, "offset": (\d+))re");
  std::vector<MappedRange> ranges;
  for (auto it = std::sregex_iterator(map.out.begin(), map.out.end(), entry); it != std::sregex_iterator(); ++it)
    ranges.push_back({std::stoull((*it)[1]), std::stoull((*it)[2]), std::stoull((*it)[3])});
  return ranges;
}

std::vector<ByteRange> Joined(const std::vector<MappedRange>& mapped) {
  std::vector<ByteRange> ranges;
  for (const MappedRange& m : mapped) Append(ranges, m.start, m.start + m.length);
  return ranges;
}

// A question from inside a run is answered from there to the run's end; from
// inside a gap, with the next run.
void ExpectQuestionsFromAnywhere(const ByteSource& source, const std::vector<ByteRange>& runs) {
  for (std::size_t i = 0; i < runs.size(); ++i) {
    const ByteRange run = runs[i];
    for (const std::uint64_t at : {run.begin, run.begin + 1, (run.begin + run.end) / 2, run.end - 1}) {
      const auto got = source.PresentRange(at);
      ASSERT_TRUE(got) << "nothing held from " << at;
      EXPECT_EQ(got->begin, at);
      EXPECT_EQ(std::min(got->end, runs.back().end), run.end) << "from " << at;
    }
    if (i + 1 < runs.size()) {
      const auto got = source.PresentRange(run.end);
      ASSERT_TRUE(got);
      EXPECT_EQ(got->begin, runs[i + 1].begin) << "from the gap at " << run.end;
    }
  }
}

struct PresentCase {
  const char* image;
  std::uint64_t blockSize;  // 0: a fixed VHD, held whole
};

std::ostream& operator<<(std::ostream& os, const PresentCase& c) { return os << c.image; }

class PresentRangeTest : public ::testing::TestWithParam<PresentCase> {};

TEST_P(PresentRangeTest, RunsAreTheBlocksQemuWrote) {
  const auto image = Fixture(GetParam().image);
  const VirtualDisk disk = OpenOrFail(image);
  const auto runs = Runs(disk, disk.Size());
  if (GetParam().blockSize == 0) {
    EXPECT_EQ(runs, (std::vector<ByteRange>{{0, disk.Size()}}));
  } else {
    EXPECT_EQ(runs, NonZeroBlocks(image.string() + ".raw", GetParam().blockSize, disk.Size()));
  }
  ExpectQuestionsFromAnywhere(disk, runs);
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

TEST(PresentRangeVhdTest, DynamicRunsAreQemuImgMapsDataRanges) {
  const auto image = Fixture("vhd-dynamic.vhd");
  const VirtualDisk disk = OpenOrFail(image);
  const auto mapped = QemuDataRanges(image, "vpc");
  ASSERT_FALSE(mapped.empty());
  EXPECT_EQ(Runs(disk, disk.Size()), Joined(mapped));
}

// Cut inside its last data block, a dynamic VHD holds the blocks before the
// cut and of that block only what the file still has; every run reads whole.
TEST(PresentRangeVhdTest, TruncatedFileHoldsOnlyWhatIsLeft) {
  TempDir dir;
  const auto image = dir / "cut.vhd";
  std::filesystem::copy_file(Fixture("vhd-dynamic.vhd"), image);
  const auto mapped = QemuDataRanges(image, "vpc");
  ASSERT_GE(mapped.size(), 2u);
  const MappedRange last = *std::max_element(mapped.begin(), mapped.end(), [](const auto& a, const auto& b) {
    return a.offset < b.offset;
  });
  const std::uint64_t cut = last.offset + last.length / 2 + 100;
  std::filesystem::resize_file(image, cut);

  std::vector<ByteRange> want;
  for (const MappedRange& m : mapped)
    if (m.offset < cut) Append(want, m.start, m.start + std::min(m.length, cut - m.offset));
  const VirtualDisk disk = OpenOrFail(image);
  const auto runs = Runs(disk, disk.Size());
  EXPECT_EQ(runs, want);
  const auto raw = test::ReadFileBytes(Fixture("vhd-dynamic.vhd").string() + ".raw");
  for (const ByteRange& run : runs) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(run.end - run.begin));
    EXPECT_TRUE(disk.ReadAt(run.begin, bytes)) << "run at " << run.begin;
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), raw.begin() + static_cast<std::ptrdiff_t>(run.begin)));
  }
  std::vector<std::uint8_t> past(512);
  EXPECT_FALSE(disk.ReadAt(runs.back().end, past)) << "the byte after the cut cannot be read";
}

// A tool's small VHD whose footer claims 2^63 - 1 bytes: it holds only what
// the file holds, and a fixed disk's data ends where its footer begins.
TEST(PresentRangeVhdTest, ClaimedSizeBeyondTheFile) {
  TempDir dir;
  constexpr std::uint64_t kClaimed = (1ULL << 63) - 1;
  constexpr std::uint64_t kData = 4 << 20;
  const auto raw = dir / "disk.raw";
  // Data in the first 2 MiB block only: the second is absent from a dynamic disk.
  ASSERT_EQ(RunShell("head -c 1000000 /dev/urandom > " + Quote(raw) + " && truncate -s 4M " + Quote(raw)).status, 0);
  for (const char* subformat : {"fixed", "dynamic"}) {
    SCOPED_TRACE(subformat);
    const auto image = dir / (std::string(subformat) + ".vhd");
    ASSERT_EQ(RunShell("qemu-img convert -f raw -O vpc -o subformat=" + std::string(subformat) + ",force_size=on " +
                       Quote(raw) + " " + Quote(image))
                  .status,
              0);
    const auto want = std::string(subformat) == "fixed" ? std::vector<ByteRange>{{0, kData}}
                                                         : Joined(QemuDataRanges(image, "vpc"));
    ASSERT_FALSE(want.empty());
    test::SetVhdCurrentSize(image, kClaimed);

    const VirtualDisk disk = OpenOrFail(image);
    EXPECT_EQ(disk.Size(), kClaimed);
    EXPECT_EQ(Runs(disk, disk.Size()), want);
    EXPECT_FALSE(disk.PresentRange(want.back().end));
    std::vector<std::uint8_t> sector(512, 0xCD);
    EXPECT_FALSE(disk.ReadAt(kData, sector)) << "the footer is no sector of the disk";
    EXPECT_TRUE(std::all_of(sector.begin(), sector.end(), [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(disk.ReadAt(kData - 512, sector));
  }
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

// A VHDX cut short: every run reads whole, lies within the runs of the
// whole file, and the blocks past the cut are no longer held.
TEST(PresentRangeVhdxTest, TruncatedFileRunsReadWhole) {
  TempDir dir;
  const auto image = dir / "cut.vhdx";
  std::filesystem::copy_file(Fixture("vhdx-dynamic-1m.vhdx"), image);
  const VirtualDisk whole = OpenOrFail(image);
  const auto wholeRuns = Runs(whole, whole.Size());
  std::filesystem::resize_file(image, std::filesystem::file_size(image) / 2 + 12345);

  const VirtualDisk disk = OpenOrFail(image);
  const auto runs = Runs(disk, disk.Size());
  ASSERT_FALSE(runs.empty());
  std::uint64_t held = 0;
  std::uint64_t wholeHeld = 0;
  for (const ByteRange& run : runs) {
    held += run.end - run.begin;
    const bool inside = std::any_of(wholeRuns.begin(), wholeRuns.end(),
                                    [&](const ByteRange& w) { return w.begin <= run.begin && run.end <= w.end; });
    EXPECT_TRUE(inside) << "run [" << run.begin << ", " << run.end << ") is not held by the whole file";
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(run.end - run.begin));
    EXPECT_TRUE(disk.ReadAt(run.begin, bytes)) << "run at " << run.begin;
  }
  for (const ByteRange& w : wholeRuns) wholeHeld += w.end - w.begin;
  EXPECT_LT(held, wholeHeld);
}

}  // namespace
}  // namespace dravik
