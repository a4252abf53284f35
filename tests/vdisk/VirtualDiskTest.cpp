// The VHD and VHDX readers against qemu-img's raw conversion of the same images, intact and damaged by byte edits; the
// messages of failed opens, and the block table salvage; chains read through their parents and dirty VHDX logs
// replayed in memory, against qemu-io, vhdimount and qemu.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <iostream>
#include <regex>

#include "Bytes.h"
#include "ChainWriter.h"
#include "PartitionFixtures.h"
#include "TestFiles.h"
#include "disk/SectorReader.h"
#include "util/Bytes.h"
#include "util/Crc32.h"
#include "vdisk/BlockTableSalvage.h"
#include "vdisk/ImageFile.h"
#include "vdisk/LayoutInference.h"
#include "vdisk/VhdImage.h"
#include "vdisk/VhdxImage.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {

void PrintTo(const ByteRange& r, std::ostream* os) { *os << "[" << r.begin << ", " << r.end << ")"; }

namespace {

namespace fs = std::filesystem;
using test::Fixture;
using test::LogDescriptorPlan;
using test::LogEntryPlan;
using test::OpenOrFail;
using test::Quote;
using test::ReadAll;
using test::RunShell;
using test::SectorRun;
using test::TempDir;
using vhdx::KnownItem;
using Raw = std::vector<std::uint8_t>;
using Ranges = std::vector<ByteRange>;
constexpr std::uint64_t kMiB = 1024 * 1024;

// Fails naming what was compared and the first byte at which got and want differ.
void ExpectSameBytes(const Raw& got, const Raw& want, const std::string& what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  const auto diff = std::mismatch(got.begin(), got.end(), want.begin());
  EXPECT_TRUE(diff.first == got.end()) << what << ": first difference at byte " << (diff.first - got.begin());
}

// Reads [offset, offset + length) through the disk and compares it with qemu-img's raw conversion.
void ExpectRange(const VirtualDisk& disk, const fs::path& raw, std::uint64_t offset, std::size_t length) {
  Raw got(length, 0xCD);
  const std::string what = "a read of " + std::to_string(length) + " bytes at " + std::to_string(offset);
  ASSERT_TRUE(disk.ReadAt(offset, got)) << what << " failed";
  ExpectSameBytes(got, test::BytesAt(raw, offset, length), what);
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

class QemuImageTest : public ::testing::TestWithParam<QemuCase> {
 protected:
  const fs::path image = Fixture(GetParam().image), raw = image.string() + ".raw";
  const VirtualDisk disk = OpenOrFail(image);
};

// Reads of an odd size over the whole disk, and reads across every block boundary (three blocks at once where there is
// room). A fixed VHD's data ends where its footer begins: the footer is never read as a sector of the disk. Every image
// fails a read that reaches past the end of its data or its block table, and zeroes what it could not read.
TEST_P(QemuImageTest, ReadsOfAnySizeAndAlignmentGiveQemusBytes) {
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
    EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 512, test::BytesAt(raw, size - 512, 512).begin()))
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
    ASSERT_TRUE(test::BytesAt(image, span->offset, check) == test::BytesAt(raw, offset, check)) << "span at " << offset;
    const std::size_t tail = static_cast<std::size_t>(std::min<std::uint64_t>(span->length, 4096));
    ASSERT_TRUE(test::BytesAt(image, span->offset + span->length - tail, tail) ==
                test::BytesAt(raw, offset + span->length - tail, tail))
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

// A failed read leaves zeros, not the last sector read. (Sectors read right: every test reading a file system.)
TEST(SectorReaderTest, RefusesWhatItCannotReadAndZerosIt) {
  const VirtualDisk disk = OpenOrFail(Fixture("vhd-fixed.vhd"));
  const SectorReader reader(disk);
  std::vector<std::uint8_t> buffer(3 * 512);
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
// cut is the same for a VHDX: both readers map their blocks alike). An empty 64 TiB VHDX holds nothing. A VHD whose
// footer claims 2^63 - 1 bytes holds only what its file holds (the search and File Trace follow these runs), and a
// fixed disk's data ends where its footer begins.
TEST(PresentRangeTest, HeldRunsWhereTheFileAndItsClaimsDisagree) {
  TempDir dir;
  const auto cutVhd = dir / "cut.vhd";
  fs::copy_file(Fixture("vhd-dynamic.vhd"), cutVhd);
  const auto mapped = QemuDataRanges(cutVhd);
  ASSERT_GE(mapped.size(), 2u);
  const MappedRange last = *std::ranges::max_element(mapped, {}, &MappedRange::offset);
  const std::uint64_t cut = last.offset + last.length / 2 + 100;
  fs::resize_file(cutVhd, cut);
  Ranges kept;
  for (const MappedRange& m : mapped)
    if (m.offset < cut) Append(kept, m.start, m.start + std::min(m.length, cut - m.offset));
  const VirtualDisk cutDisk = OpenOrFail(cutVhd);
  const Ranges runs = Runs(cutDisk);
  EXPECT_EQ(runs, kept);
  for (const ByteRange& run : runs)
    ExpectRange(cutDisk, Fixture("vhd-dynamic.vhd").string() + ".raw", run.begin, run.end - run.begin);
  std::vector<std::uint8_t> past(512);
  EXPECT_FALSE(cutDisk.ReadAt(runs.back().end, past)) << "the byte after the cut cannot be read";
  ASSERT_EQ(RunShell("qemu-img create -q -f vhdx " + Quote(dir / "empty.vhdx") + " 64T").status, 0);
  const VirtualDisk empty = OpenOrFail(dir / "empty.vhdx");
  EXPECT_EQ(empty.Size(), 64ULL << 40);
  EXPECT_FALSE(empty.PresentRange(0) || VirtualDisk{}.PresentRange(0)) << "nor anything held before an image is open";
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

Raw Le(std::uint64_t value, std::size_t width) {
  Raw bytes;
  test::PutInt(bytes, 0, value, width);
  return bytes;
}

// A copy of a qemu-img fixture to damage, with the places of the VHDX structures as the intact image gives them.
struct Edit {
  TempDir dir;
  fs::path fixture, path;
  std::vector<VhdxImage::Region> regions;
  std::vector<VhdxImage::MetadataItem> metadata;

  explicit Edit(const std::string& name) : fixture(test::Fixture(name)),
      path(dir / ("edited" + fixture.extension().string())) {
    fs::copy_file(fixture, path);
    VhdxImage intact;
    if (fixture.extension() == ".vhdx" && intact.Open(path)) regions = intact.Regions(), metadata = intact.Metadata();
  }
  void Patch(std::uint64_t at, const Raw& bytes) const { test::PatchFile(path, at, bytes); }
  void Cut(std::uint64_t bytes) const { fs::resize_file(path, fs::file_size(path) - bytes); }
  std::uint64_t RegionAt(KnownItem item) const {
    for (const auto& r : regions)
      if (r.item == item) return r.fileOffset;
    ADD_FAILURE() << "no region";
    return 0;
  }
  std::uint64_t ItemAt(KnownItem item) const {
    for (const auto& m : metadata)
      if (m.item == item) return RegionAt(KnownItem::kMetadata) + m.offset;
    ADD_FAILURE() << "no metadata item";
    return 0;
  }
  // Makes the checksum of a header or table (at offset, of size bytes) fit its bytes.
  void Seal(std::uint64_t at, std::size_t size) const {
    Raw part = test::BytesAt(path, at, size);
    std::fill_n(part.begin() + 4, 4, std::uint8_t{0});
    Patch(at + 4, Le(Crc32c(part), 4));
  }
  Raw RegionEntry(std::size_t i) const { return test::BytesAt(fixture, vhdx::kRegionTableOffset + 16 + 32 * i, 32); }
  // Rewrites region table 1 as these 32-byte entries, its checksum right.
  void RegionTable(const std::vector<Raw>& entries) const {
    Raw table = Le(0x69676572, 8);  // "regi"
    const Raw count = Le(entries.size(), 8);
    table.insert(table.end(), count.begin(), count.end());
    for (const Raw& e : entries) table.insert(table.end(), e.begin(), e.end());
    Patch(vhdx::kRegionTableOffset, table);
    Seal(vhdx::kRegionTableOffset, vhdx::kTableSize);
  }
  // qemu-img leaves header 2 current; this gives header 1 the higher sequence number.
  void MakeHeader1Current() const {
    const Raw file = test::ReadFileBytes(path);
    ASSERT_GT(le64(file, vhdx::kHeader2Offset + 8), le64(file, vhdx::kHeader1Offset + 8));
    Patch(vhdx::kHeader1Offset + 8, Le(le64(file, vhdx::kHeader2Offset + 8) + 1, 8));
    Seal(vhdx::kHeader1Offset, vhdx::kHeaderSize);
  }
};

Raw UnknownRegion(bool required) {
  Raw entry(32, 0);
  for (std::size_t i = 0; i < 16; ++i) entry[i] = static_cast<std::uint8_t>(0x10 + i);
  entry[18] = 0x40;  // at 4 MiB
  entry[24] = 0x10;  // 1 MiB long
  entry[28] = required ? 1 : 0;
  return entry;
}

// kOracle: the whole disk as qemu-img converts it; kPrefix: a disk that begins with all of it; kPartly: MiB by MiB,
// some reads fail and the others give qemu-img's bytes; kFails: the first sector fails and reads as zeros.
enum class Reads { kOracle, kPrefix, kPartly, kFails, kUnchecked };

struct Damage {
  const char* name;
  std::function<void(Edit&)> edit;
  std::vector<Repair> repairs;  // each field a part of the text; none: not checked
  Reads reads = Reads::kOracle;
  std::function<void(const DiskImage&)> more = nullptr;
  const char* refused = nullptr;  // the open fails with this in its diagnostic
};

void RunDamage(const char* fixture, const std::vector<Damage>& table) {
  const Raw oracle = test::ReadFileBytes(test::Fixture(fixture).string() + ".raw");
  for (const Damage& row : table) {
    SCOPED_TRACE(row.name);
    Edit edit(fixture);
    row.edit(edit);
    std::unique_ptr<DiskImage> image = std::make_unique<VhdImage>();
    if (edit.path.extension() == ".vhdx") image = std::make_unique<VhdxImage>();
    const bool opened = image->Open(ImageFile::Open(edit.path));
    if (row.refused) {
      EXPECT_FALSE(opened);
      EXPECT_NE(image->Diagnostic().find(row.refused), std::string::npos) << image->Diagnostic();
      continue;
    }
    ASSERT_TRUE(opened) << image->Diagnostic();
    if (!row.repairs.empty()) {
      const auto& got = image->Repairs();
      ASSERT_EQ(got.size(), row.repairs.size()) << (got.empty() ? "" : got[0].Text());
      for (std::size_t i = 0; i < got.size(); ++i)
        for (const auto& [have, want] : {std::pair{got[i].structure, row.repairs[i].structure},
                                         {got[i].problem, row.repairs[i].problem},
                                             {got[i].action, row.repairs[i].action}})
          EXPECT_NE(have.find(want), std::string::npos) << have << " / " << want;
    }
    if (row.more) row.more(*image);
    Raw bytes(row.reads == Reads::kPrefix ? oracle.size() : 1 << 20), sector(512, 0xCD);
    int good = 0, failed = 0;
    switch (row.reads) {
      case Reads::kOracle: EXPECT_TRUE(ReadAll(*image, 1 << 20) == oracle); break;
      case Reads::kPrefix: EXPECT_TRUE(image->ReadAt(0, bytes) && bytes == oracle); break;
      case Reads::kPartly:
        for (std::uint64_t at = 0; at < oracle.size(); at += bytes.size()) {
          bytes.resize(std::min<std::size_t>(1 << 20, oracle.size() - at));
          const bool read = image->ReadAt(at, bytes);
          (read ? good : failed)++;
          EXPECT_TRUE(!read
              || std::equal(bytes.begin(), bytes.end(), oracle.begin() + static_cast<std::ptrdiff_t>(at)));
        }
        EXPECT_TRUE(good > 0 && failed > 0) << good << " " << failed;
        break;
      case Reads::kFails:
        EXPECT_FALSE(image->ReadAt(0, sector));
        EXPECT_EQ(sector, Raw(512, 0));
        break;
      case Reads::kUnchecked: break;
    }
  }
}

const VhdImage& AsVhd(const DiskImage& image) { return dynamic_cast<const VhdImage&>(image); }
const VhdxImage& AsVhdx(const DiskImage& image) { return dynamic_cast<const VhdxImage&>(image); }
constexpr std::uint64_t kDynamicHeader = 512;

TEST(VhdDamageTest, QemuDynamicVhd) {
  const auto countPastFile = [](Edit& e) { e.Patch(kDynamicHeader + 28, {0xFF, 0xFF, 0xFF, 0xF0}); };
  RunDamage("vhd-dynamic.vhd",
      {{"footer only in its copy at the start", [](Edit& e) { e.Cut(512); }, {}, Reads::kOracle,
        [](const DiskImage& i) { EXPECT_EQ(AsVhd(i).DiskType(), vhd::kDynamic); }},
       {"table entry count past the file: cut to the disk's size", countPastFile,
           {{"dynamic header: entry count", "", ""}}},
       {"table entry count past the file and no footer",
        [&](Edit& e) { countPastFile(e), e.Cut(512), e.Patch(0, Raw(512, 0)); }, {}, Reads::kUnchecked, nullptr,
        "does not fit"},
       {"no table entries", [](Edit& e) { e.Patch(kDynamicHeader + 28, {0, 0, 0, 0}); }, {}, Reads::kFails},
       {"block size zero: taken from the blocks' spacing",
        [](Edit& e) { e.Patch(kDynamicHeader + 32, {0, 0, 0, 0}); }, {}},
       {"dynamic header cookie damaged: the usual places", [](Edit& e) { e.Patch(kDynamicHeader, Raw(8, 'X')); }, {}},
       {"data offset past the end: 512 taken",
        [](Edit& e) { e.Patch(fs::file_size(e.path) - 512 + 16, {0x7F, 0, 0, 0, 0, 0, 0, 0}); }, {}}});
}

TEST(VhdxDamageTest, QemuDynamicVhdxOneMiBBlocks) {
  const auto regions = [](std::size_t n) {
      return [n](const DiskImage& i) { EXPECT_EQ(AsVhdx(i).Regions().size(), n); }; };
  const auto blockSize = [](Edit& e, std::uint32_t size) { e.Patch(e.ItemAt(KnownItem::kFileParameter), Le(size, 4)); };
  const auto flags = [](Edit& e, std::uint32_t value) {
      e.Patch(e.ItemAt(KnownItem::kFileParameter) + 4, Le(value, 4)); };
  const auto sealed = [](std::function<void(Edit&)> edit) {
    return [edit](Edit& e) { edit(e), e.Seal(vhdx::kRegionTableOffset, vhdx::kTableSize); };
  };
  const Raw zeros(vhdx::kTableSize, 0);
  const Raw crc = {0xDE, 0xAD};
  RunDamage("vhdx-dynamic-1m.vhdx",
      {{"nothing changed", [](Edit&) {}, {}, Reads::kOracle,
        [](const DiskImage& i) {
          const VhdxImage& x = AsVhdx(i);
          EXPECT_EQ(x.DiskTypeText(), "Dynamic Disk");
          EXPECT_EQ(x.DataBlockCount(), 42);  // 41 MiB and 1.5 KiB
          EXPECT_TRUE(x.Repairs().empty());
        }},
       {"file type identifier zeroed", [](Edit& e) { e.Patch(0, Raw(8, 0)); },
        {{"file type identifier", "missing", "ignored: a valid header shows the file is a VHDX"}}},
       {"header 2 (current) checksum broken", [&](Edit& e) { e.Patch(vhdx::kHeader2Offset + 4, crc); },
        {{"header 2", "bad checksum", "header 1 used"}}},
       {"header 1 made current, then its checksum broken",
        [&](Edit& e) { e.MakeHeader1Current(), e.Patch(vhdx::kHeader1Offset + 4, crc); },
        {{"header 1", "bad checksum", "header 2 used"}}},
       {"header 1 made current, then zeroed",
        [](Edit& e) { e.MakeHeader1Current(), e.Patch(vhdx::kHeader1Offset, Raw(vhdx::kHeaderSize, 0)); },
        {{"header 1", "zeroed", "header 2 used"}}},
       {"older header 1 names a log: current header 2 names none, and no log is read",
        [](Edit& e) {
          e.Patch(vhdx::kHeader1Offset + vhdx::kHeaderLogGuidOffset, Raw(16, 0x5A));
          e.Seal(vhdx::kHeader1Offset, vhdx::kHeaderSize);
        },
        {}, Reads::kOracle, [](const DiskImage& i) { EXPECT_TRUE(i.Warnings().empty() && i.Repairs().empty()); }},
       {"region table 1 checksum broken", [&](Edit& e) { e.Patch(vhdx::kRegionTableOffset + 4, crc); },
        {{"region table 1", "bad checksum", "table 2 used"}}},
       {"region table 1 zeroed, table 2 checksum broken",
        [&](Edit& e) { e.Patch(vhdx::kRegionTableOffset, zeros), e.Patch(vhdx::kRegionTable2Offset + 4, crc); },
        {{"region table 2", "bad checksum", "its entries used: they are plausible"}}},
       {"checksum broken, BAT off the 1 MiB grid, table 2 zeroed: regions found by search",
        [&](Edit& e) {
          e.Patch(vhdx::kRegionTable2Offset, zeros);
          const std::uint64_t bat = e.RegionEntry(0)[0] == 0x66 ? 0 : 1;
          e.Patch(vhdx::kRegionTableOffset + 16 + 32 * bat + 16, Le(e.RegionAt(KnownItem::kBat) + 4096, 8));
        },
        {}, Reads::kOracle,
        [](const DiskImage& i) {
          EXPECT_NE(i.Diagnostic().find("not 1 MiB-aligned"), std::string::npos) << i.Diagnostic();
          ASSERT_FALSE(i.Repairs().empty());
          EXPECT_NE(i.Repairs().back().action.find("by search"), std::string::npos);
        }},
       {"unknown optional region before the BAT: skipped",
        [](Edit& e) { e.RegionTable({UnknownRegion(false), e.RegionEntry(0), e.RegionEntry(1)}); }, {}},
       {"unknown required region: the table ends there",
        [](Edit& e) { e.RegionTable({UnknownRegion(true), e.RegionEntry(0), e.RegionEntry(1)}); }, {}, Reads::kFails,
            regions(0)},
       {"region repeated: the table ends there",
        [](Edit& e) { e.RegionTable({e.RegionEntry(0), e.RegionEntry(0), e.RegionEntry(1)}); }, {}, Reads::kUnchecked,
            regions(1)},
       {"region count absurd", sealed([](Edit& e) { e.Patch(vhdx::kRegionTableOffset + 8, Le(5000, 4)); }),
        {{"region table 1", "claims 5000 entries", "table 2 used"}}, Reads::kOracle, regions(2)},
       {"regions past the end of the file",
        sealed([](Edit& e) {
          for (std::size_t i = 0; i < 2; ++i) e.Patch(vhdx::kRegionTableOffset + 16 + 32 * i + 16, Le(1ULL << 50, 8));
        }),
        {}, Reads::kFails, [](const DiskImage& i) { EXPECT_EQ(AsVhdx(i).PayloadBlockCount(), 0u); }},
       // Without metadata the BAT gives the block size (its spacing) and the disk's size (to its last block's end, 1
       // MiB past the disk here).
       {"metadata item count absurd",
        [](Edit& e) { e.Patch(e.RegionAt(KnownItem::kMetadata) + 10, Le(0xFFFF, 2)); }, {}, Reads::kPrefix,
        [](const DiskImage& i) {
          EXPECT_TRUE(AsVhdx(i).Metadata().empty());
          EXPECT_EQ(i.Size(), 42u << 20);
        }},
       // A chunk of payload entries and its bitmap entry.
       {"has-parent flag: differencing, parent table size", [&](Edit& e) { flags(e, 2); }, {}, Reads::kOracle,
        [](const DiskImage& i) { EXPECT_EQ(AsVhdx(i).DiskTypeText() + std::to_string(AsVhdx(i).TotalBatEntries()),
                                           "Differencing Disk4097"); }},
       {"both flags set", [&](Edit& e) { flags(e, 3); }, {}, Reads::kUnchecked,
        [](const DiskImage& i) { EXPECT_EQ(AsVhdx(i).DiskTypeText(), "Invalid Disk"); }},
       {"block size zero", [&](Edit& e) { blockSize(e, 0); }, {{"metadata: block size", "", ""}}},
       {"block size no power of two, logical sector size 1000",
        [&](Edit& e) { e.Patch(e.ItemAt(KnownItem::kLogicalSectorSize), Le(1000, 4)), blockSize(e, 3 << 20); },
        {{"metadata: block size", "implausible: 3145728 bytes is no power of two from 1 MiB to 256 MiB",
          "1048576 inferred from the spacing of the BAT's blocks"},
         {"", "", "512 assumed"}},
        Reads::kOracle, [](const DiskImage& i) { EXPECT_EQ(AsVhdx(i).LogicalSectorSize(), 512u); }},
       // Never the size the BAT region could map (up to 128 GiB for 1 MiB).
       {"disk size 2^62: what the BAT reaches", [](Edit& e) { test::SetVhdxVirtualSize(e.path, 1ULL << 62); },
        {{"metadata: virtual disk size", "more than 64 TiB", ""}}, Reads::kPrefix,
        [](const DiskImage& i) { EXPECT_EQ(i.Size(), 42u << 20); }},
       {"cut in half", [](Edit& e) { e.Cut(fs::file_size(e.path) / 2); }, {}, Reads::kPartly,
        [](const DiskImage& i) { EXPECT_EQ(AsVhdx(i).PayloadBlockCount(), 42u); }}});
}

// Files with no structure of the format: refused as foreign, or as damaged when something of the format is there; a VHD
// without a footer opens only when it starts like a disk, and then reads as a raw disk.
TEST(VhdStructurelessTest, ForeignDamagedOrRawDisk) {
  Raw junk(4096);
  for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<std::uint8_t>(i * 7);
  Raw signedJunk = junk;
  signedJunk[510] = 0x55;
  signedJunk[511] = 0xAA;
  Raw identifierOnly(300 * 1024, 0);
  std::copy_n("vhdxfile", 8, identifierOnly.begin());
  const struct {
    const char* name;
    bool vhdx;
    Raw bytes;
    bool opens;
    int foreign;  // NoStructureFound(); -1: not asked
    const char* diagnostic = "";
  } rows[] = {{"empty VHD", false, {}, false, -1},
              {"511 bytes", false, Raw(511, 0x41), false, -1},
              {"no footer, no disk", false, junk, false, 1, "no VHD structure was found"},
              {"no footer, boot signature", false, signedJunk, true, 0},
              {"zeros as VHDX", true, Raw(300 * 1024, 0), false, 1, "no VHDX structure was found"},
              {"VHDX identifier alone", true, identifierOnly, false, 0, "the BAT and the metadata cannot be found"},
              {"four bytes as VHDX", true, Raw(4, 'v'), false, -1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::unique_ptr<DiskImage> image = row.vhdx ? std::unique_ptr<DiskImage>(new VhdxImage)
        : std::make_unique<VhdImage>();
    EXPECT_EQ(image->Open(std::make_unique<MemorySource>(row.bytes)), row.opens);
    if (row.foreign >= 0) { EXPECT_EQ(image->NoStructureFound(), row.foreign == 1); }
    EXPECT_NE(image->Diagnostic().find(row.diagnostic), std::string::npos) << image->Diagnostic();
  }
  VhdImage raw;
  ASSERT_TRUE(raw.Open(std::make_unique<MemorySource>(signedJunk)));
  EXPECT_EQ(raw.Repairs(),
      (std::vector<Repair>{{"footer", "missing at the end and at offset 0", "the file read as a raw disk"}}));
  EXPECT_EQ(ReadAll(raw, 1000), signedJunk);
}

// Each layout is written, read whole in odd-sized steps and compared with qemu-img's reading of the same file.
TEST(VhdLayoutTest, MatchesQemu) {
  using Blocks = std::map<std::uint32_t, std::uint64_t>;
  const std::pair<const char*, test::VhdLayout> layouts[] = {
      {"4 MiB blocks: two bitmap sectors each",
       {.blockSize = 4 << 20, .virtualSize = 16 << 20, .blocks = Blocks{{0, 4}, {1, 4 + 8200}, {3, 4 + 2 * 8200}}}},
      {"tables at other offsets", {.headerOffset = 4096, .batOffset = 8192, .blocks = Blocks{{2, 32}, {0, 32 + 4200}}}},
      {"a block past 4 GiB", {.virtualSize = 6 << 20, .blocks = Blocks{{0, 8}, {2, (5ULL << 30) / 512}}}},
      {"512 KiB blocks",
       {.blockSize = 512 << 10, .virtualSize = 3 << 20, .blocks = Blocks{{1, 8}, {2, 8 + 1030}, {5, 8 + 2 * 1030}}}}};
  TempDir dir;
  for (const auto& [name, l] : layouts) {
    SCOPED_TRACE(name);
    test::WriteDynamicVhd(dir / "image.vhd", l);
    ASSERT_EQ(test::RunShell("qemu-img convert -f vpc -O raw " + test::Quote(dir / "image.vhd") + " " +
                             test::Quote(dir / "oracle.raw")).status, 0);
    const Raw want = test::ReadFileBytes(dir / "oracle.raw");
    VhdImage image;
    ASSERT_TRUE(image.Open(dir / "image.vhd")) << image.Diagnostic();
    EXPECT_TRUE(ReadAll(image, 100003) == want);
  }
}

// Stored disk types: codes kept or mapped; a differencing image reads its own blocks as a dynamic one does; a type no
// reader knows reads the file as it lies.
TEST(VhdLayoutTest, StoredDiskTypes) {
  TempDir dir;
  test::VhdLayout l{.headerOffset = 4096, .batOffset = 8192,
      .blocks = {{2, 32}, {0, 32 + 4200}}};  // read as qemu-img does
  test::WriteDynamicVhd(dir / "dynamic.vhd", l);
  VhdImage dynamic;
  ASSERT_TRUE(dynamic.Open(dir / "dynamic.vhd"));
  for (const auto& [stored, code] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
           {0, 1}, {2, 2}, {3, 3}, {4, 4}, {101, 101}, {7, 5}, {77, 5}}) {
    SCOPED_TRACE(stored);
    l.storedDiskType = stored;
    test::WriteDynamicVhd(dir / "typed.vhd", l);
    VhdImage image;
    ASSERT_TRUE(image.Open(dir / "typed.vhd"));
    EXPECT_EQ(image.DiskType(), code);
    if (stored == 4) { EXPECT_TRUE(ReadAll(image, 65536) == ReadAll(dynamic, 65536)); }
    if (stored != 77) continue;
    Raw got(600);
    EXPECT_TRUE(image.ReadAt(1000, got) && got == test::BytesAt(dir / "typed.vhd", 1000, 600));
  }
}

// The block table salvage on tables as writers leave them: blocks appended in disk order, some entries then lost. A run
// of lost entries is placed only where counting the unclaimed areas between its neighbours decides; all else must read
// as failing zeros, never as another block's data.
constexpr std::uint64_t kArea = 1 << 20;
constexpr std::uint64_t kStart = 4 * kArea;

TableEntry Present(std::uint64_t slot) { return {TableEntry::kPresent, kStart + slot * kArea}; }
TableEntry Absent() { return {TableEntry::kAbsent, 0}; }
TableEntry Lost() { return {TableEntry::kLost, 0}; }

bool Same(const std::vector<TableEntry>& a, const std::vector<TableEntry>& b) {
  return std::ranges::equal(a, b, [](const TableEntry& x, const TableEntry& y) {
    return x.state == y.state && (x.state != TableEntry::kPresent || x.fileOffset == y.fileOffset);
  });
}

TEST(BlockTableSalvageTest, LostEntriesArePlacedOnlyWhereTheGapsDecide) {
  const TableEntry zero{TableEntry::kZero, 0};
  const struct {
    const char* name;
    std::vector<TableEntry> table;
    std::uint64_t slots;  // areas of the file that hold blocks
    std::vector<TableEntry> want;
    std::size_t outside, placed, unsure;
  } rows[] = {
      {"intact", {Present(0), Absent(), Present(1), Present(2), Absent()}, 3,
       {Present(0), Absent(), Present(1), Present(2), Absent()}, 0, 0, 0},
      // Overwritten, past the end, at a structure: each gets the area its neighbours leave; absent stays absent.
      {"runs that fit their gaps",
       {Present(0), Lost(), {TableEntry::kPresent, 99 * kArea}, Absent(), Present(3), {TableEntry::kPresent, kArea}}, 5,
       {Present(0), Present(1), Present(2), Absent(), Present(3), Present(4)}, 2, 3, 0},
      {"an entry that reads as zeros takes no block", {Present(0), zero, Lost(), Present(2)}, 3,
          {Present(0), zero, Present(1), Present(2)}, 0, 1, 0},
      {"zeroed entries of a run that all had blocks", {Present(0), Absent(), Absent(), Present(3)}, 4,
       {Present(0), Present(1), Present(2), Present(3)}, 0, 2, 0},
      {"two entries naming one block: neither trusted", {Present(0), Present(0), Present(2)}, 3,
          {Present(0), Present(1), Present(2)}, 0, 2, 0},
      // Two unclaimed areas for three open entries: which held them is unknown, so none reads as zeros.
      {"more open entries than areas", {Present(0), Lost(), Absent(), Absent(), Present(3)}, 4,
       {Present(0), Lost(), Lost(), Lost(), Present(3)}, 0, 0, 3},
      // Without a lost entry a free area is no damage: writers leave them.
      {"a free area and absent entries", {Present(0), Absent(), Absent(), Present(2)}, 3,
          {Present(0), Absent(), Absent(), Present(2)}, 0, 0, 0},
      {"a lost entry and no unclaimed area", {Present(0), Lost(), Present(1)}, 2, {Present(0), Lost(), Present(1)}, 0,
          0, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<TableEntry> entries = row.table;
    BlockFileLayout layout;
    layout.areaSize = layout.alignment = layout.dataStart = kArea;
    layout.dataEnd = kStart + row.slots * kArea;
    layout.structures = {{kArea, 2 * kArea}, {3 * kArea, 4 * kArea}};  // a log and a table, a free MiB between
    const TableSalvage counts = SalvageBlockTable(entries, layout);
    EXPECT_TRUE(Same(entries, row.want));
    EXPECT_EQ(std::vector({counts.outside, counts.placed, counts.unsure}),
              std::vector({row.outside, row.placed, row.unsure}));
    EXPECT_EQ(counts.Changed(), std::string_view(row.name) != "intact");
    if (row.unsure == 3) {
        EXPECT_NE(DescribeSalvage(counts).action.find("3 entries read as zeros"), std::string::npos); }
  }
}

TEST(LayoutInferenceTest, BlockSizeFromTheSpacingMostBlocksKeep) {
  const auto vhdOverhead = [](std::uint32_t) -> std::uint64_t { return 512; };
  const std::uint64_t step = (2u << 20) + 512;
  // Out of order, one block farther away (another structure between).
  EXPECT_EQ(BlockSizeFromSpacing({3 * step, 0, step, 7 * step, 2 * step}, vhdOverhead, 512 * 1024), 2u << 20);
  EXPECT_EQ(BlockSizeFromSpacing({0, 32u << 20, 64u << 20}, [](std::uint32_t) -> std::uint64_t { return 0; }, 1 << 20),
            32u << 20);
  EXPECT_FALSE(BlockSizeFromSpacing({0}, vhdOverhead, 512 * 1024));
  EXPECT_FALSE(BlockSizeFromSpacing({0, 3 * step, 7 * step, 8 * step + 4096}, vhdOverhead, 512 * 1024));
}

TEST(LayoutInferenceTest, PartitionTableExtentIgnoresBootCode) {
  Raw sector(512, 0);
  sector[510] = 0x55, sector[511] = 0xAA;
  for (const auto& [i, e] :
       {std::pair{0, test::RecordEntry(0x07, 2048, 100000)}, {1, test::RecordEntry(0x0C, 200000, 4096)}})
    std::copy(e.begin(), e.end(), sector.begin() + 446 + 16 * i);
  EXPECT_EQ(PartitionTableExtent(sector), (200000ull + 4096) * 512);
  sector[446 + 16 * 2] = 0x4F;  // code, not a status byte: a volume's boot sector
  EXPECT_EQ(PartitionTableExtent(sector), 0u);
}

// Areas between two placed blocks go to the open blocks between them when the counts agree, or to those the volume
// holds data in when every open block there is known; never where one is unknown or blocks lie out of order.
TEST(PlaceBetweenNeighboursTest, AreasFollowTheFileOrderOnlyWhereTheCountsDecide) {
  using U = BlockUse;
  const auto place = [](std::vector<TableEntry> entries, std::vector<std::uint64_t> areaSlots, std::vector<U> use) {
    LostBlocks lost;
    lost.blockSize = kArea;
    lost.entries = std::move(entries);
    for (const std::uint64_t slot : areaSlots) lost.areas.push_back(kStart + slot * kArea);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> placed;  // block, area slot
    for (const BlockPlacement& p : PlaceBetweenNeighbours(lost, use))
      placed.push_back({p.block, (p.fileOffset - kStart) / kArea});
    return placed;
  };
  using Placed = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
  // Blocks 1 and 2 open between 0 and 3, two areas between them in the file.
  EXPECT_EQ(place({Present(0), Lost(), Absent(), Present(3)}, {1, 2}, {}), (Placed{{1, 1}, {2, 2}}));
  // Four open blocks, two areas: the volume holds data in blocks 2 and 4 only.
  const std::vector<TableEntry> wide{Present(0), Lost(), Absent(), Absent(), Absent(), Present(3)};
  EXPECT_EQ(place(wide, {1, 2}, {U::kHeld, U::kFree, U::kHeld, U::kFree, U::kHeld, U::kHeld}),
      (Placed{{2, 1}, {4, 2}}));
  // The same with one block the volume cannot tell about: nothing placed.
  EXPECT_TRUE(place(wide, {1, 2}, {U::kHeld, U::kFree, U::kHeld, U::kUnknown, U::kHeld, U::kHeld}).empty());
  // Three held blocks for two areas: nothing tells which one was left out.
  EXPECT_TRUE(place(wide, {1, 2}, {U::kHeld, U::kHeld, U::kHeld, U::kFree, U::kHeld, U::kHeld}).empty());
  // Absent entries alone around an area: a freed area the writer left behind.
  EXPECT_TRUE(place({Present(0), Absent(), Present(3)}, {1}, {U::kHeld, U::kHeld, U::kHeld}).empty());
  // Blocks out of order anywhere (4 before 3 in the file): the order says nothing, not even between 0 and 3.
  EXPECT_TRUE(place({Present(0), Lost(), Lost(), Present(3), {TableEntry::kPresent, kStart + 2 * kArea}}, {1, 2},
      {}).empty());
  // A table lost whole: the areas before the first and after the last placed block go to the table's ends.
  EXPECT_EQ(place({Lost(), Present(1), Lost(), Lost()}, {0, 2, 3}, {}), (Placed{{0, 0}, {2, 2}, {3, 3}}));
}

void Shell(const std::string& command) {
  const auto result = RunShell(command + " 2>&1");
  ASSERT_EQ(result.status, 0) << command << ": " << result.out;
}

// qemu-img makes a dynamic image; qemu-io writes each "pattern offset length".
void MakeImage(const fs::path& path, const std::string& format, const std::string& size,
               const std::vector<std::string>& writes) {
  Shell("qemu-img create -q -f " + format + (format == "vhdx" ? " -o block_size=1M " : " ") + Quote(path) + " " + size);
  std::string io = "qemu-io -f " + format;
  for (const std::string& w : writes) io += " -c 'write -P " + w + "'";
  Shell(io + " " + Quote(path) + " >/dev/null");
}

bool HasWarning(const VirtualDisk& disk, const std::string& part) {
  return std::ranges::any_of(disk.Chain().warnings,
                             [&](const std::string& w) { return w.find(part) != std::string::npos; });
}

// The bytes equal the child as vhdimount merges it (the child last); without /dev/fuse this is left out, saying so.
void ExpectSameAsVhdimount(const std::vector<std::uint8_t>& bytes, const fs::path& child) {
  if (!fs::exists("/dev/fuse")) {
    std::cerr << "note: no /dev/fuse here, so " << child.filename() << " is not compared with vhdimount\n";
    return;
  }
  const fs::path mount = child.parent_path() / ("mnt-" + child.filename().string());
  fs::create_directories(mount);
  const auto mounted = RunShell("vhdimount " + Quote(child) + " " + Quote(mount) + " 2>&1");
  ASSERT_EQ(mounted.status, 0) << mounted.out;
  std::size_t images = 0;
  for (const auto& entry : fs::directory_iterator(mount)) images += entry.path().filename().string().rfind("vhdi", 0)
      == 0;
  const auto merged = test::ReadFileBytes(mount / ("vhdi" + std::to_string(images)));
  RunShell("fusermount -u " + Quote(mount) + " 2>&1");
  fs::remove(mount);
  ExpectSameBytes(bytes, merged, "vhdimount");
}

// Images another writer made (dfvfs test data): a dynamic VHD whose header checksum qemu-img rejects, and a
// differencing child whose one block holds every sector, so the chain reads as the parent. img_cat (libvhdi) and
// vhdimount's merge are the oracles.
TEST(VhdChainTest, SharedImagesReadAsSleuthKitAndVhdimountGiveThem) {
  test::TempDir dir;
  for (const char* name : {"image.vhd", "image-differential.vhd"})
    fs::copy_file(test::SharedTestData(std::string("vhd-differencing/") + name), dir / name);
  const auto imgCat = RunShell("img_cat -i vhd " + Quote(dir / "image.vhd"));
  ASSERT_EQ(imgCat.status, 0);
  const Raw parentBytes(imgCat.out.begin(), imgCat.out.end());
  EXPECT_EQ(ReadAll(OpenOrFail(dir / "image.vhd")), parentBytes);
  const fs::path child = dir / "image-differential.vhd";
  const VirtualDisk disk = OpenOrFail(child);
  ASSERT_EQ(disk.Chain().images.size(), 2u);
  EXPECT_TRUE(disk.Chain().warnings.empty());
  EXPECT_EQ(ReadAll(disk), parentBytes);
  ExpectSameAsVhdimount(ReadAll(disk), child);
}

// base <- mid <- top, 8 MiB each (VHD: 2 MiB blocks; VHDX: 1 MiB blocks and checkpoint extensions, which choose the
// VHDX reader). Each layer writes its own pattern; qemu-io gives a block it allocates a bitmap of all ones, so a
// layer's block hides the layers below except where the top's bitmap leaves sectors 2 MiB + 0-63 and + 1000 (VHD:
// -1007) to mid.
struct ChainRow {
  const char* name;
  bool vhdx;
  std::function<void(test::VhdChildOptions&, test::VhdxChildOptions&)> top;
  std::function<void(const fs::path& dir)> after;  // moves or removes layers
  std::size_t images;
  const char* missing;  // the parent looked for and not found, which ends the chain; nullptr: none
  const char* warning;
  std::vector<std::pair<std::uint64_t, std::uint8_t>> bytes;
  bool vhdimount = false;
};

void None(test::VhdChildOptions&, test::VhdxChildOptions&) {}
void Keep(const fs::path&) {}

TEST(ChainTest, LayersReadThroughBitmapsAndParents) {
  const std::vector<std::pair<std::uint64_t, std::uint8_t>> merged{
      {1 * kMiB, 0x11}, {4 * kMiB + 100, 0x23}, {2560 * 1024, 0x33}, {7 * kMiB, 0x34}, {2 * kMiB, 0x22},
      {2 * kMiB + 64 * 512, 0}};
  const std::vector<ChainRow> rows = {
      {"VHD chain of three", false, None, Keep, 3, nullptr, nullptr,
       {{6 * kMiB, 0}, {2 * kMiB + 1007 * 512 + 511, 0x22}, {2 * kMiB + 1008 * 512, 0}}, true},
      {"VHD top leaving one sector to mid", false, [](auto& o, auto&) { o.parentSectors[1].count = 1; }, Keep, 3,
          nullptr, nullptr,
       {{2 * kMiB + 999 * 512 + 511, 0}, {2 * kMiB + 1000 * 512, 0x22}, {2 * kMiB + 1000 * 512 + 511, 0x22},
        {2 * kMiB + 1001 * 512, 0}}},
      {"VHD parent moved into the child's folder: found by name", false,
       [](auto& o, auto&) {
         o.relativeLocators = {"..\\old-place\\mid.vhd"}, o.absoluteLocators = {"C:\\VMs\\old-place\\mid.vhd"};
       },
       Keep, 3, nullptr, nullptr, {}, true},
      {"VHD parent found through its relative locator", false,
       [](auto& o, auto&) { o.relativeLocators = {"layers\\mid-disk.vhd"}, o.parentName = "something-else.vhd"; },
       [](const fs::path& dir) {  // mid names base as ".\base.vhd": base goes along
         fs::create_directories(dir / "layers");
         fs::rename(dir / "mid.vhd", dir / "layers" / "mid-disk.vhd");
         fs::rename(dir / "base.vhd", dir / "layers" / "base.vhd");
       },
       3, nullptr, nullptr, {}},
      {"VHD wrong parent id: reported and used", false, [](auto& o, auto&) { o.wrongParentId = true; }, Keep, 3,
          nullptr, "expects", {}},
      {"VHD parent missing: zeros, named", false, None, [](const fs::path& dir) { fs::remove(dir / "mid.vhd"); }, 2,
       "mid.vhd", "not found", {{0, 0}, {2 * kMiB, 0}, {2560 * 1024, 0x33}}},
      {"VHD base naming top as its parent: the loop is cut", false, None,
       [](const fs::path& dir) {
         test::MakeVhdChild(dir / "base.vhd", dir / "top.vhd", {{}, {}, "top.vhd", false, {}});
       },
       4, "top.vhd", "loop", {{1 * kMiB, 0x11}, {2 * kMiB, 0x22}, {2560 * 1024, 0x33}}},
      {"VHDX chain of three", true, None, Keep, 3, nullptr, nullptr,
       {{0, 0x11}, {6 * kMiB, 0x12}, {5 * kMiB, 0}, {2 * kMiB + 999 * 512 + 511, 0}, {2 * kMiB + 1000 * 512, 0x22},
        {2 * kMiB + 1001 * 512, 0}}},
      {"VHDX wrong parent linkage: reported and used", true, [](auto&, auto& o) { o.wrongLinkage = true; }, Keep, 3,
       nullptr, "expects", {}},
      {"VHDX base missing: zeros, named", true, None, [](const fs::path& dir) { fs::remove(dir / "base.vhdx"); }, 3,
       "base.vhdx", "not found", {{0, 0}, {2 * kMiB, 0x22}}},
  };
  for (const ChainRow& row : rows) {
    SCOPED_TRACE(row.name);
    test::TempDir dir;
    const std::string format = row.vhdx ? "vhdx" : "vpc";
    const fs::path base = dir / (row.vhdx ? "base.vhdx" : "base.vhd"), mid = dir / (row.vhdx ? "mid.avhdx" : "mid.vhd"),
                   top = dir / (row.vhdx ? "top.AVHDX" : "top.vhd");
    MakeImage(base, format, "8M", {"0x11 0 3M", "0x12 6M 1M"});
    MakeImage(mid, format, "8M", {"0x22 2M 1M", "0x23 4M 64K"});
    MakeImage(top, format, "8M", {"0x33 2560K 512K", "0x34 7M 4K"});
    const SectorRun first{2 * kMiB / 512, 64};
    test::VhdChildOptions vhdTop{{"mid.vhd"}, {}, "mid.vhd", false, {first, {2 * kMiB / 512 + 1000, 8}}};
    test::VhdxChildOptions vhdxTop{"mid.avhdx", "", false, {first, {2 * kMiB / 512 + 1000, 1}}};
    row.top(vhdTop, vhdxTop);
    if (row.vhdx) {
      test::MakeVhdxChild(mid, base, {".\\base.vhdx", "D:\\Hyper-V\\base.vhdx", false, {}});
      test::MakeVhdxChild(top, mid, vhdxTop);
    } else {
      test::MakeVhdChild(mid, base, {{".\\base.vhd"}, {}, "base.vhd", false, {}});
      test::MakeVhdChild(top, mid, vhdTop);
    }
    row.after(dir.Path());

    const VirtualDisk disk = OpenOrFail(top);
    ASSERT_EQ(disk.Chain().images.size(), row.images);
    EXPECT_EQ(disk.Chain().Complete(), !row.missing);
    if (row.missing) {
      EXPECT_FALSE(disk.Chain().images.back().found);
      EXPECT_EQ(disk.Chain().images.back().path, row.missing);
    } else if (fs::exists(mid)) {
      EXPECT_EQ(disk.Chain().images[1].path, mid);
    }
    EXPECT_TRUE(row.warning ? HasWarning(disk, row.warning) : disk.Chain().warnings.empty());

    const auto bytes = ReadAll(disk);
    auto expected = row.bytes;
    if (!row.missing) expected.insert(expected.end(), merged.begin(), merged.end());
    for (const auto& [at, value] : expected) EXPECT_EQ(bytes[at], value) << "byte " << at;
    if (row.vhdimount) ExpectSameAsVhdimount(bytes, top);
    // Reads that cross block and bitmap-run boundaries give the whole read's bytes.
    for (const std::uint64_t at : {2 * kMiB - 3, 2 * kMiB + 64 * 512 - 100, 2 * kMiB + 1000 * 512 + 7, 4 * kMiB - 1}) {
      std::vector<std::uint8_t> part(3000);
      ASSERT_TRUE(disk.ReadAt(at, part));
      EXPECT_TRUE(std::equal(part.begin(), part.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at))) << at;
    }
    // What a whole chain holds covers every layer's blocks, from 0 to the end.
    std::vector<ByteRange> runs;
    for (auto run = disk.PresentRange(0); run
        && !row.missing; run = disk.PresentRange(run->end)) runs.push_back(*run);
    EXPECT_TRUE(row.missing || (!runs.empty() && runs.front().begin == 0 && runs.back().end >= 8 * kMiB));
    if (row.missing && !row.vhdx) {
      const auto info = RunShell(Quote(test::CliPath()) + " info --quiet " + Quote(top) + " 2>&1");
      EXPECT_EQ(info.status, 0);
      EXPECT_NE(info.out.find("missing parent\t" + std::string(row.missing)), std::string::npos) << info.out;
    }
  }
}

Raw QemuRaw(const fs::path& image) {
  const fs::path raw = image.string() + ".raw";
  Shell("qemu-img convert -f vhdx -O raw " + Quote(image) + " " + Quote(raw));
  return test::ReadFileBytes(raw);
}

// A 4 KiB sector unlike its neighbours and every other sector, so a misplaced or shifted copy cannot pass.
Raw Sector(std::uint8_t seed) {
  Raw s(4096);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return s;
}

void Lay(Raw& disk, std::uint64_t at, const Raw& bytes) {
  std::copy(bytes.begin(), bytes.end(), disk.begin() + static_cast<std::ptrdiff_t>(at));
}

// 8 MiB, 1 MiB blocks: blocks 0, 1 and 4 written.
struct DirtyImage {
  test::TempDir dir;
  fs::path path = dir / "dirty.vhdx";
  std::uint64_t block0 = 0, block4 = 0;
};

struct LogCase {
  const char* name;
  // Writes the log and lays what it should make of the clean disk over want.
  std::function<void(DirtyImage&, Raw& want)> write;
  std::size_t replayed;   // entries
  const char* warning;    // nullptr: none
};

TEST(VhdxLogTest, LogsAreReplayedInMemoryOrReported) {
  const LogCase cases[] = {
      {"data and zero descriptors in two entries, a torn third ignored",
       [](DirtyImage& d, Raw& want) {
         const LogEntryPlan first{{{d.block0, Sector(0xA0), 0}, {d.block0 + 8192, Sector(0xA2), 0}}};
         const LogEntryPlan second{
             {{d.block4 + 4096, {}, 8192}, {d.block0 + 4096, Sector(0xB1), 0}, {d.block0, Sector(0xB0), 0}}};
         const LogEntryPlan torn{{{d.block0 + 12288, Sector(0xCC), 0}}, true};
         test::WriteVhdxLog(d.path, {first, second, torn});
         Lay(want, 0, Sector(0xB0));  // the later entry wins
         Lay(want, 4096, Sector(0xB1));
         Lay(want, 8192, Sector(0xA2));
         std::fill_n(want.begin() + static_cast<std::ptrdiff_t>(4 * kMiB + 4096), 8192, std::uint8_t{0});
       },
       2, nullptr},
      // It maps absent block 2 in the BAT to a new block at the file's end (grown first: qemu does not grow it when it
      // replays) and writes its first sector.
      {"a replayed BAT sector maps a new block",
       [](DirtyImage& d, Raw& want) {
         const std::uint64_t bat = test::VhdxBatOffset(d.path);
         const std::uint64_t block = (fs::file_size(d.path) + kMiB - 1) / kMiB * kMiB;
         fs::resize_file(d.path, block + kMiB);
         Raw batSector = test::BytesAt(d.path, bat, 4096);
         test::PutInt(batSector, 16, block | 6, 8);
         test::WriteVhdxLog(d.path, {LogEntryPlan{{{bat, batSector, 0}, {block, Sector(0x5A), 0}}}}, block + kMiB);
         std::fill_n(want.begin() + static_cast<std::ptrdiff_t>(2 * kMiB), kMiB, std::uint8_t{0});
         Lay(want, 2 * kMiB, Sector(0x5A));
       },
       1, nullptr},
      {"no complete entry: reported, the file read as it lies",
       [](DirtyImage& d, Raw&) { test::WriteVhdxLog(d.path, {LogEntryPlan{{{d.block0, Sector(0x77), 0}}, true}}); }, 0,
       "log was not replayed"},
  };
  for (const LogCase& c : cases) {
    SCOPED_TRACE(c.name);
    DirtyImage d;
    MakeImage(d.path, "vhdx", "8M", {"0x11 0 2M", "0x22 4M 1M"});
    Raw want = QemuRaw(d.path);
    d.block0 = test::VhdxBlockFileOffset(d.path, 0);
    d.block4 = test::VhdxBlockFileOffset(d.path, 4);
    ASSERT_TRUE(d.block0 && d.block4);
    c.write(d, want);
    const Raw fileBefore = test::ReadFileBytes(d.path);

    const VirtualDisk disk = OpenOrFail(d.path);
    ASSERT_NE(disk.Vhdx(), nullptr);
    EXPECT_EQ(disk.Vhdx()->LogEntriesReplayed(), c.replayed);
    ASSERT_EQ(disk.Chain().warnings.size(), c.warning ? 1u : 0u);
    if (c.warning) { EXPECT_NE(disk.Chain().warnings.front().find(c.warning), std::string::npos); }
    const Raw got = ReadAll(disk);
    ExpectSameBytes(got, want, "the entries' writes");
    if (c.replayed) {
      const fs::path copy = d.path.string() + ".qemu.vhdx";
      fs::copy_file(d.path, copy);
      Shell("qemu-io -f vhdx -c 'read 0 512' " + Quote(copy) + " >/dev/null");
      ExpectSameBytes(got, QemuRaw(copy), "qemu's replay");
    }
    EXPECT_EQ(test::ReadFileBytes(d.path), fileBefore) << "the image file was changed";
  }
}

}  // namespace
}  // namespace dravik
