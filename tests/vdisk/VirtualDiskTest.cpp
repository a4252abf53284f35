// Opening images through the one VirtualDisk, with the messages shown when that fails; every byte the readers deliver
// against qemu-img's raw conversion of the same image, whatever the read's size and alignment; and which bytes an image
// holds and where its file keeps them (searches pass over the rest unread).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>

#include "TestFiles.h"
#include "VhdWriter.h"
#include "disk/SectorReader.h"
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

// length bytes of a file from offset: of qemu-img's raw conversion, or of the image file itself.
std::vector<std::uint8_t> FileBytes(const fs::path& file, std::uint64_t offset, std::size_t length) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  std::vector<std::uint8_t> bytes(length);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
  return bytes;
}

// Reads [offset, offset + length) through the disk and compares it with qemu-img's raw conversion.
void ExpectRange(const VirtualDisk& disk, const fs::path& raw, std::uint64_t offset, std::size_t length) {
  std::vector<std::uint8_t> got(length, 0xCD);
  ASSERT_TRUE(disk.ReadAt(offset, got)) << "read of " << length << " bytes at " << offset << " failed";
  const auto want = FileBytes(raw, offset, length);
  const auto mismatch = std::mismatch(got.begin(), got.end(), want.begin());
  ASSERT_TRUE(mismatch.first == got.end())
      << "first difference at virtual offset " << offset + static_cast<std::uint64_t>(mismatch.first - got.begin())
      << " in a read of " << length << " bytes at " << offset;
}

// Every run from offset 0 on; each must begin after a byte the last one leaves unheld.
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

// The blocks of a sparse raw disk holding a byte other than zero, joined and cut at size; holes are not read.
Ranges NonZeroBlocks(const fs::path& raw, std::uint64_t blockSize, std::uint64_t size) {
  Ranges ranges;
  const int fd = ::open(raw.c_str(), O_RDONLY);
  EXPECT_GE(fd, 0) << raw;
  std::vector<std::uint8_t> buffer(1 << 20);
  for (off_t at = 0, data; fd >= 0 && (data = ::lseek(fd, at, SEEK_DATA)) >= 0;) {
    const off_t hole = ::lseek(fd, data, SEEK_HOLE);
    for (off_t pos = data; pos < hole;) {
      const ssize_t got = ::pread(fd, buffer.data(),
          std::min<std::size_t>(buffer.size(), static_cast<std::size_t>(hole - pos)), pos);
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

// The message depends on the kind the extension names and on whether the open is for a Quick Scan; files that can hold
// no image are refused before anything is read from them (a FIFO without a writer must not be waited on).
TEST(VirtualDiskTest, OpenFailuresGiveTheMessageForTheKindAndMode) {
  TempDir dir;
  const struct {
    const char* file;  // the row's name too
    bool quick;
    Verdict verdict;      // checked when kNotThis: nothing of the format in the file
    std::string message;  // a path in front: its place
  } rows[] = {
      {"fake.vhdx", true, Verdict::kNotThis, "This VHDX file is either not readable using Quick Scan"},
      {"fake.vhdx", false, Verdict::kNotThis, "This VHDX file is highly corrupted or Invalid file type."},
      {"tiny.vhd", true, Verdict::kFailed, "This VHD file is either not readable using Quick Scan"},
      {"tiny.vhd", false, Verdict::kFailed, "This VHD file is highly corrupted or Invalid file type."},
      {"absent.vhd", false, Verdict::kFailed, "absent.vhd file does not exists."},
      {"disk.iso", false, Verdict::kNotThis, "not a VHD or VHDX"},
      {"empty.dd", true, Verdict::kFailed, "This file is empty and holds no disk."},
      {"pipe.vhd", true, Verdict::kFailed, "pipe.vhd: cannot be opened: it is a FIFO (named pipe), not an image file"},
      {"folder.vhdx", true, Verdict::kFailed, "folder.vhdx: cannot be opened: it is a folder, not an image file"},
      {"zero.vhd", true, Verdict::kFailed, "zero.vhd: cannot be opened: it is a character device, not an image file"},
  };
  test::WriteFileBytes(dir / "fake.vhdx", std::vector<std::uint8_t>(8192, 'x'));
  test::WriteFileBytes(dir / "tiny.vhd", std::vector<std::uint8_t>(100, 'x'));
  test::WriteFileBytes(dir / "disk.iso", std::vector<std::uint8_t>(512, 0));
  test::WriteFileBytes(dir / "empty.dd", {});
  ASSERT_EQ(::mkfifo((dir / "pipe.vhd").c_str(), 0600), 0);
  fs::create_directory(dir / "folder.vhdx");
  fs::create_symlink("/dev/zero", dir / "zero.vhd");
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.file) + (row.quick ? ", Quick Scan" : ""));
    VirtualDisk disk;
    const OpenResult result = OpenImage(disk, dir / row.file, row.quick);
    EXPECT_FALSE(result.Usable());
    if (row.verdict == Verdict::kNotThis) { EXPECT_EQ(result.verdict, Verdict::kNotThis); }
    EXPECT_NE(result.message.find(row.message), std::string::npos) << result.message;
  }
  VirtualDisk disk;
  const OpenResult fake = OpenImage(disk, dir / "fake.vhdx", true);
  ASSERT_EQ(fake.details.size(), 1u);
  EXPECT_NE(fake.details[0].find("not a VHDX image"), std::string::npos) << fake.details[0];
  EXPECT_FALSE(OpenImage(disk, dir.Path(), false).Usable()) << "a folder named like nothing";
  // A disk copied byte for byte opens by its extension.
  fs::copy_file(dir / "disk.iso", dir / "disk.IMG");
  EXPECT_TRUE(OpenImage(disk, dir / "disk.IMG", false).Usable());
  EXPECT_EQ(disk.Size(), 512u);
  // The last extension alone names the kind, in any case (ChainTest opens a .AVHDX).
  EXPECT_EQ(ImageKindFromPath("a.b.vhdx"), ImageKind::kVhdx);
  EXPECT_EQ(ImageKindFromPath("image.vhd.bak"), std::nullopt);
  EXPECT_EQ(ImageKindFromPath("vhd"), std::nullopt);
}

struct QemuCase {
  const char* image;
  std::uint64_t blockSize;  // 0: a fixed VHD, held whole
};

std::ostream& operator<<(std::ostream& os, const QemuCase& c) { return os << c.image; }

class QemuImageTest : public ::testing::TestWithParam<QemuCase> {};

// Reads of an odd size over the whole disk, and reads across every block boundary (three blocks at once where there is
// room). A fixed VHD's data ends where its footer begins: the footer is never read as a sector of the disk. Every image
// fails a read that reaches past the end of its data or its block table, and zeroes what it could not read.
TEST_P(QemuImageTest, ReadsOfAnySizeAndAlignmentGiveQemusBytes) {
  const auto image = Fixture(GetParam().image);
  const fs::path raw = image.string() + ".raw";
  const VirtualDisk disk = OpenOrFail(image);
  const std::uint64_t size = fs::file_size(raw), blockSize = GetParam().blockSize;
  ASSERT_EQ(disk.Size(), size);
  constexpr std::size_t kStep = 3 * 65536 + 7;
  for (std::uint64_t offset = 0; offset < size; offset += kStep)
    ExpectRange(disk, raw, offset, static_cast<std::size_t>(std::min<std::uint64_t>(kStep, size - offset)));
  const std::uint64_t block = blockSize ? blockSize : 2 * 1024 * 1024;
  for (std::uint64_t boundary = block; boundary < size; boundary += block) {
    ExpectRange(disk, raw, boundary - 1, 512);
    ExpectRange(disk, raw, boundary - 512, 1024);
    if (boundary + 2 * block < size) ExpectRange(disk, raw, boundary - 3, static_cast<std::size_t>(2 * block + 5));
  }
  const std::uint64_t end = blockSize ? (size + blockSize - 1) / blockSize * blockSize : fs::file_size(image) - 512;
  std::vector<std::uint8_t> tail(1024, 0xCD);
  EXPECT_FALSE(disk.ReadAt(end - 512, tail));
  EXPECT_TRUE(std::all_of(tail.begin() + 512, tail.end(), [](std::uint8_t b) { return b == 0; }));
  if (blockSize == 0) {
    EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 512, FileBytes(raw, size - 512, 512).begin()))
        << "the last sector is still read";
  }
  std::vector<std::uint8_t> beyond(512, 0xCD);
  EXPECT_FALSE(disk.ReadAt(end + 4096, beyond));
  EXPECT_EQ(beyond, std::vector<std::uint8_t>(512, 0));
}

// The runs held are the blocks qemu-img wrote; a question from inside a run is answered from there to the run's end,
// from inside a gap with the next run. Where Locate says bytes lie in the image file, the file holds the disk's bytes;
// where it says nothing, the disk reads zeros there or the bytes lie in no file span (VHD blocks never run on: a bitmap
// stands between them).
TEST_P(QemuImageTest, HeldRunsAreTheBlocksQemuWroteAndLocatedSpansHoldTheirBytes) {
  const auto image = Fixture(GetParam().image);
  const fs::path raw = image.string() + ".raw";
  const VirtualDisk disk = OpenOrFail(image);
  const Ranges runs = Runs(disk);
  const Ranges held{{0, disk.Size()}};
  EXPECT_EQ(runs, GetParam().blockSize ? NonZeroBlocks(raw, GetParam().blockSize, disk.Size()) : held);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    for (const std::uint64_t at :
         {runs[i].begin, runs[i].begin + 1, (runs[i].begin + runs[i].end) / 2, runs[i].end - 1}) {
      const auto got = disk.PresentRange(at);
      ASSERT_TRUE(got) << "nothing held from " << at;
      EXPECT_EQ(got->begin, at);
      EXPECT_EQ(std::min(got->end, runs.back().end), runs[i].end) << "from " << at;
    }
    if (i + 1 < runs.size()) {
        EXPECT_EQ(disk.PresentRange(runs[i].end).value_or(ByteRange{}).begin, runs[i + 1].begin); }
  }
  std::uint64_t located = 0;
  for (std::uint64_t offset = 0; offset < disk.Size();) {
    const std::uint64_t length = std::min<std::uint64_t>(disk.Size() - offset, 40 << 20);
    const auto span = disk.Locate(offset, length);
    if (!span) {
      offset += 512;
      continue;
    }
    ASSERT_GT(span->length, 0u);
    ASSERT_LE(span->length, length);
    const std::size_t check = static_cast<std::size_t>(std::min<std::uint64_t>(span->length, 1 << 20));
    ASSERT_TRUE(FileBytes(image, span->offset, check) == FileBytes(raw, offset, check)) << "span at " << offset;
    const std::size_t tail = static_cast<std::size_t>(std::min<std::uint64_t>(span->length, 4096));
    ASSERT_TRUE(FileBytes(image, span->offset + span->length - tail, tail) ==
                FileBytes(raw, offset + span->length - tail, tail))
        << "end of the span at virtual offset " << offset;
    located += span->length;
    offset += span->length;
  }
  EXPECT_GT(located, 0u);
}

INSTANTIATE_TEST_SUITE_P(QemuImages, QemuImageTest,
                         ::testing::Values(QemuCase{"vhd-fixed.vhd", 0}, QemuCase{"vhd-dynamic.vhd", 2 << 20},
                                           QemuCase{"vhdx-fixed.vhdx", 8 << 20}, QemuCase{"vhdx-dynamic.vhdx", 8 << 20},
                                           QemuCase{"vhdx-dynamic-1m.vhdx", 1 << 20},
                                           QemuCase{"vhdx-dynamic-32m.vhdx", 32 << 20}),
                         [](const auto& param) {
                           std::string name = param.param.image;
                           std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                           return name;
                         });

// A fixed VHD's sectors are its file's; a failed read leaves zeros, not the last sector read.
TEST(SectorReaderTest, ReadsSectorsOfTheImageAndZerosWhereItCannot) {
  VirtualDisk disk;
  const auto image = test::Fixture("vhd-fixed.vhd");
  ASSERT_TRUE(OpenImage(disk, image, false).Usable());
  const auto file = test::ReadFileBytes(image);
  const SectorReader reader(disk);
  std::vector<std::uint8_t> buffer(3 * 512);
  ASSERT_TRUE(reader.Read(1000, 3, buffer));
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), file.begin() + 1000 * 512));
  EXPECT_TRUE(reader.Read(5, 0, buffer));  // an empty read
  EXPECT_FALSE(reader.Read(0, 4, buffer)) << "a buffer too small for the sectors is refused";
  ASSERT_TRUE(reader.Read(reader.SectorCount() - 1, 1, buffer));
  std::fill(buffer.begin(), buffer.end(), std::uint8_t{0xCD});
  EXPECT_FALSE(reader.Read(reader.SectorCount() + 100000, 2, buffer));
  EXPECT_TRUE(std::all_of(buffer.begin(), buffer.begin() + 1024, [](std::uint8_t b) { return b == 0; }));
  EXPECT_FALSE(reader.Read(~std::uint64_t{0} / 256, 1, buffer));  // sector number whose byte offset overflows
}

// Large sparse images: compare around every written range, the block boundaries next to them, and a few untouched
// places that must read as zeros; and a VHDX whose blocks lie beyond 4 GiB in its file.
TEST(SparseImageTest, FiveGiBWithDataPastTheFirstChunkAndBlocksBeyondFourGiB) {
  const auto image = Fixture("vhdx-sparse-5g.vhdx");
  const fs::path raw = image.string() + ".raw";
  const VirtualDisk disk = OpenOrFail(image);
  constexpr std::uint64_t kBlock = 32ULL << 20;
  ASSERT_EQ(disk.Size(), 5ULL << 30);
  ASSERT_NE(disk.Vhdx(), nullptr);
  EXPECT_EQ(disk.Vhdx()->ChunkRatio(), 128.0);
  EXPECT_EQ(disk.TotalBatEntries(), 160 + 1);  // one sector bitmap entry after the first 128 blocks
  EXPECT_EQ(Runs(disk), NonZeroBlocks(raw, kBlock, disk.Size()));
  const std::uint64_t written[] = {0, 128 * kBlock - 4096, 129 * kBlock + 12345 * 512, (5ULL << 30) - (1 << 20)};
  for (const std::uint64_t at : written) {
    const std::uint64_t from = at >= 65536 ? at - 65536 : 0;
    ExpectRange(disk, raw, from, static_cast<std::size_t>(std::min<std::uint64_t>(1 << 21, disk.Size() - from)));
  }
  ExpectRange(disk, raw, 127 * kBlock + 5, static_cast<std::size_t>(3 * kBlock));  // blocks 127-130
  ExpectRange(disk, raw, 64 * kBlock, 4096);
  const auto beyond = Fixture("vhdx-beyond-4g.vhdx");
  ASSERT_GT(fs::file_size(beyond), 5ULL << 30);
  const VirtualDisk far = OpenOrFail(beyond);
  for (const auto& [at, length] : {std::pair<std::uint64_t, std::size_t>{(100 << 20) - 4096, (1 << 20) + 8192},
                                   {3 * kBlock - 65536, 131072}, {0, 1 << 20}})
    ExpectRange(far, beyond.string() + ".raw", at, length);
}

// Cut inside its last data block, a dynamic VHD holds the blocks before the cut and what the file has of that one (the
// cut is the same for a VHDX: both readers map their blocks alike).
TEST(PresentRangeDamageTest, VhdCutInsideItsLastBlock) {
  TempDir dir;
  const auto image = dir / "cut.vhd";
  fs::copy_file(Fixture("vhd-dynamic.vhd"), image);
  const auto mapped = QemuDataRanges(image);
  ASSERT_GE(mapped.size(), 2u);
  const MappedRange last = *std::max_element(mapped.begin(), mapped.end(),
      [](auto& a, auto& b) { return a.offset < b.offset; });
  const std::uint64_t cut = last.offset + last.length / 2 + 100;
  fs::resize_file(image, cut);
  Ranges want;
  for (const MappedRange& m : mapped)
    if (m.offset < cut) Append(want, m.start, m.start + std::min(m.length, cut - m.offset));
  const VirtualDisk disk = OpenOrFail(image);
  const Ranges runs = Runs(disk);
  EXPECT_EQ(runs, want);
  for (const ByteRange& run : runs)
    ExpectRange(disk, Fixture("vhd-dynamic.vhd").string() + ".raw", run.begin, run.end - run.begin);
  std::vector<std::uint8_t> past(512);
  EXPECT_FALSE(disk.ReadAt(runs.back().end, past)) << "the byte after the cut cannot be read";
}

TEST(PresentRangeVhdxTest, EmptySixtyFourTerabyteDiskHoldsNothing) {
  TempDir dir;
  const auto image = dir / "empty.vhdx";
  ASSERT_EQ(RunShell("qemu-img create -q -f vhdx " + Quote(image) + " 64T").status, 0);
  const VirtualDisk disk = OpenOrFail(image);
  EXPECT_EQ(disk.Size(), 64ULL << 40);
  EXPECT_FALSE(disk.PresentRange(0) || VirtualDisk{}.PresentRange(0)) << "nor is anything held before an image is open";
}

// A VHD whose footer claims 2^63 - 1 bytes holds only what its file holds (the search and File Trace follow these
// runs), and a fixed disk's data ends where its footer begins.
TEST(PresentRangeVhdTest, ClaimedSizeBeyondTheFile) {
  TempDir dir;
  constexpr std::uint64_t kClaimed = (1ULL << 63) - 1, kData = 4 << 20;
  const auto raw = dir / "disk.raw";
  ASSERT_EQ(RunShell("head -c 1000000 /dev/urandom > " + Quote(raw) + " && truncate -s 4M " + Quote(raw)).status, 0);
  for (const std::string subformat : {"fixed", "dynamic"}) {
    SCOPED_TRACE(subformat);
    const auto image = dir / (subformat + ".vhd");
    ASSERT_EQ(RunShell("qemu-img convert -f raw -O vpc -o subformat=" + subformat + ",force_size=on " + Quote(raw)
        + " " +
                       Quote(image)).status, 0);
    Ranges want;
    for (const auto& r : subformat == "fixed" ? std::vector<MappedRange>{{0, kData, 0}} : QemuDataRanges(image))
      Append(want, r.start, r.start + r.length);
    ASSERT_FALSE(want.empty());
    test::SetVhdCurrentSize(image, kClaimed);
    const VirtualDisk disk = OpenOrFail(image);
    EXPECT_EQ(disk.Size(), kClaimed);
    EXPECT_EQ(Runs(disk), want);
    std::vector<std::uint8_t> sector(512, 0xCD);
    EXPECT_FALSE(disk.ReadAt(kData, sector)) << "the footer is no sector of the disk";
    EXPECT_EQ(sector, std::vector<std::uint8_t>(512, 0));
    EXPECT_TRUE(disk.ReadAt(kData - 512, sector));
  }
}

}  // namespace
}  // namespace dravik
