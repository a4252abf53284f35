// The dravik command on image files that are not what they seem: a FIFO or
// a device, a file the user may not read, a VHD whose footer claims far more
// than the file holds; and `dravik cat` into every kind of standard output.
// Each command runs under `timeout`, so one that would wait or walk for ever
// fails the test instead of holding it up.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <regex>

#include "PartitionFixtures.h"
#include "TestFiles.h"
#include "VhdFooterEdit.h"
#include "VhdxEdit.h"

namespace dravik {
namespace {

using test::Fixture;
using test::Quote;
using test::RunShell;
using test::TempDir;

constexpr const char* kTimeout = "timeout 120 ";

std::string Dravik(const std::string& args) { return kTimeout + Quote(test::CliPath()) + " " + args; }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(CliImageFileTest, FifoAndDevicesAreRefusedAtOnce) {
  TempDir dir;
  const auto fifo = dir / "pipe.vhdx";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const char* verb : {"info", "partitions", "cat", "scan quick"}) {
    SCOPED_TRACE(verb);
    const auto result = RunShell(Dravik(std::string(verb) + " " + Quote(fifo) + " 2>&1 >/dev/null"));
    EXPECT_EQ(result.status, 1) << "124 means it waited for a writer";
    EXPECT_EQ(result.out, fifo.string() + ": cannot be opened: it is a FIFO (named pipe), not an image file\n");
  }
  const auto device = dir / "null.vhd";
  std::filesystem::create_symlink("/dev/null", device);
  const auto result = RunShell(Dravik("info " + Quote(device) + " 2>&1"));
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(Contains(result.out, "it is a character device, not an image file")) << result.out;
}

// Root reads any file, so the command runs as nobody when the test runs as
// root; without a way to drop the rights the test is skipped.
TEST(CliImageFileTest, UnreadableImageSaysPermissionDenied) {
  TempDir dir;
  std::filesystem::permissions(dir.Path(), std::filesystem::perms::all & ~std::filesystem::perms::group_write &
                                               ~std::filesystem::perms::others_write);
  const auto image = dir / "locked.vhdx";
  std::filesystem::copy_file(Fixture("vhdx-dynamic.vhdx"), image);
  std::filesystem::permissions(image, std::filesystem::perms::none);
  std::string as;
  if (::geteuid() == 0) {
    as = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    if (RunShell(as + "test -x " + Quote(test::CliPath()) + " 2>/dev/null").status != 0)
      GTEST_SKIP() << "cannot run dravik as the unprivileged user 65534 (setpriv missing or not permitted, or the "
                      "build folder is closed to others)";
  }
  const auto result = RunShell(kTimeout + as + Quote(test::CliPath()) + " info " + Quote(image) + " 2>&1");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, image.string() + ": cannot be opened: Permission denied\n");
}

// A 4 MiB disk with a FAT16 volume (and a file on it) at 1 MiB and no
// partition table, as a fixed and a dynamic VHD made by qemu-img whose
// footers then claim 2^63 - 1 bytes.
class ClaimedSizeTest : public ::testing::TestWithParam<const char*> {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const auto volume = *dir_ / "volume.img";
    const auto note = *dir_ / "note.txt";
    test::WriteFileBytes(note, std::vector<std::uint8_t>(3000, 'n'));
    const auto pdf = *dir_ / "doc.pdf";
    const std::string pdfText = "%PDF-1.4\n% claimed size\n%%EOF\n";
    test::WriteFileBytes(pdf, std::vector<std::uint8_t>(pdfText.begin(), pdfText.end()));
    const auto made = RunShell("truncate -s 3M " + Quote(volume) + " && mkfs.fat -F 16 -s 1 -h 2048 " + Quote(volume) +
                               " >/dev/null && MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(volume) + " " + Quote(note) +
                               " ::/NOTE.TXT && MTOOLS_SKIP_CHECK=1 mcopy -i " + Quote(volume) + " " + Quote(pdf) +
                               " ::/DOC.PDF && truncate -s 4M " + Quote(Raw()) + " && dd if=" + Quote(volume) +
                               " of=" + Quote(Raw()) + " bs=1M seek=1 conv=notrunc status=none 2>&1");
    ASSERT_EQ(made.status, 0) << made.out;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static std::filesystem::path Raw() { return *dir_ / "disk.raw"; }

  static bool IsVhdx() { return std::string(GetParam()) == "vhdx"; }

  // The VHDs claim 2^63 - 1 bytes in their footers, the VHDX 2^50 bytes in
  // its virtual disk size item.
  std::filesystem::path Image() const {
    const auto image = *dir_ / (std::string(GetParam()) + (IsVhdx() ? ".vhdx" : ".vhd"));
    if (!std::filesystem::exists(image)) {
      const std::string format = IsVhdx() ? "vhdx -o subformat=dynamic" : "vpc -o subformat=" + std::string(GetParam()) + ",force_size=on";
      const auto made = RunShell("qemu-img convert -f raw -O " + format + " " + Quote(Raw()) + " " + Quote(image) + " 2>&1");
      EXPECT_EQ(made.status, 0) << made.out;
      if (IsVhdx()) test::SetVhdxVirtualSize(image, 1ULL << 50);
      else test::SetVhdCurrentSize(image, (1ULL << 63) - 1);
    }
    return image;
  }

  static TempDir* dir_;
};

TempDir* ClaimedSizeTest::dir_ = nullptr;

TEST_P(ClaimedSizeTest, PartitionSearchEndsWithWhatTheFileHolds) {
  const auto result = RunShell(Dravik("partitions --search --json --quiet " + Quote(Image())));
  ASSERT_EQ(result.status, 0) << "124 means the search walked the claimed size";
  const auto sectors = test::Fsstat(Raw(), 2048).totalEnd.value_or(0) + 1;
  EXPECT_EQ(result.out, "{\"partitions\":[{\"index\":0,\"start\":2048,\"sectors\":" + std::to_string(sectors) +
                            ",\"code\":100,\"type\":\"FAT16\"}]}\n");
  const auto info = RunShell(Dravik("info --quiet " + Quote(Image())));
  EXPECT_EQ(info.status, 0);
  const std::string claimed = IsVhdx() ? "metadata: virtual disk size: implausible: 1125899906842624 bytes is more than 64 TiB"
                                        : "Virtual Size\t\t: 9223372036854775807 bytes\n";
  EXPECT_TRUE(Contains(info.out, claimed)) << info.out;
  EXPECT_TRUE(Contains(info.out, "Partition 0: FAT16, start 2048")) << info.out;
}

TEST_P(ClaimedSizeTest, QuickScanListsTheVolume) {
  const auto result = RunShell(Dravik("scan quick --list --quiet " + Quote(Image()) + " 2>/dev/null"));
  EXPECT_EQ(result.status, 0) << "124 means the scan walked the claimed size";
  // Kind, state and size first, the path last.
  EXPECT_TRUE(std::regex_search(result.out, std::regex(R"((^|\n)file\tlive\t3000\t([^\n]*\t)?NOTE\.TXT\n)"))) << result.out;
}

// File Trace over the whole disk walks only what the file holds and finds
// the PDF at the sector where the raw disk has it.
TEST_P(ClaimedSizeTest, WholeDiskTraceEndsWithTheFileItHolds) {
  const auto raw = test::ReadFileBytes(Raw());
  const std::string magic = "%PDF-1.4\n% claimed size";
  const auto at = std::search(raw.begin(), raw.end(), magic.begin(), magic.end());
  ASSERT_NE(at, raw.end());
  const auto sector = static_cast<std::uint64_t>(at - raw.begin()) / 512;
  const auto result = RunShell("timeout 60 " + Quote(test::CliPath()) + " scan trace --whole-disk --list --quiet --types .pdf " +
                               Quote(Image()) + " 2>/dev/null");
  ASSERT_EQ(result.status, 0) << "124 means the trace walked the claimed size";
  EXPECT_TRUE(std::regex_match(result.out, std::regex("file\t" + std::to_string(sector) + "\t[^\n]*\\.pdf\n"))) << result.out;
}

// cat writes what the file holds and then fails where its data ends. The
// VHDX's refused size is replaced by what its BAT region maps, whose absent
// blocks read as zeros, so only the disk's own length is asked of it.
TEST_P(ClaimedSizeTest, CatStopsWhereTheDataEnds) {
  if (IsVhdx()) {
    const auto length = std::to_string(std::filesystem::file_size(Raw()));
    EXPECT_EQ(RunShell(Dravik("cat --length " + length + " " + Quote(Image())) + " | cmp - " + Quote(Raw())).status, 0);
    return;
  }
  const auto result = RunShell(Dravik("cat " + Quote(Image()) + " 2>&1 >" + Quote(*dir_ / "out.raw")));
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(Contains(result.out, "cannot read")) << result.out;
  EXPECT_EQ(test::ReadFileBytes(*dir_ / "out.raw"), test::ReadFileBytes(Raw()));
}

INSTANTIATE_TEST_SUITE_P(Images, ClaimedSizeTest, ::testing::Values("fixed", "dynamic", "vhdx"));

// Kernel copies go to pipes, regular files and /dev/null; a file opened for
// appending takes none and gets the buffered path. Each must give qemu-img's
// bytes, across absent blocks, with a range starting inside a block.
TEST(CliCatOutputTest, EveryKindOfStandardOutputGetsTheDisksBytes) {
  TempDir dir;
  for (const char* name : {"vhdx-dynamic-1m.vhdx", "vhd-dynamic.vhd", "vhd-fixed.vhd"}) {
    SCOPED_TRACE(name);
    const auto image = Fixture(name);
    const auto raw = Quote(image.string() + ".raw");
    const auto out = dir / "out.raw";
    EXPECT_EQ(RunShell(Dravik("cat " + Quote(image)) + " > " + Quote(out) + " && cmp " + Quote(out) + " " + raw).status, 0)
        << "into a regular file";
    EXPECT_EQ(RunShell(Dravik("cat " + Quote(image)) + " | cmp - " + raw).status, 0) << "into a pipe";
    test::WriteFileBytes(out, {'x'});
    EXPECT_EQ(RunShell(Dravik("cat " + Quote(image)) + " >> " + Quote(out) + " && tail -c +2 " + Quote(out) + " | cmp - " +
                       raw)
                  .status,
              0)
        << "appended to a file";
    EXPECT_EQ(RunShell(Dravik("cat " + Quote(image)) + " > /dev/null").status, 0);
    const std::string slice = " | cmp - <(tail -c +3145729 " + raw + " | head -c 7340033)";
    EXPECT_EQ(RunShell("bash -c " + Quote(Dravik("cat --offset 3145728 --length 7340033 " + Quote(image)) + slice)).status,
              0)
        << "a range";
  }
}

TEST(CliCatOutputTest, WriteFailuresAreReported) {
  const auto image = Quote(Fixture("vhdx-dynamic.vhdx"));
  auto result = RunShell(Dravik("cat " + image + " 2>&1 >/dev/full"));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "dravik: cannot write to standard output: No space left on device\n");
  result = RunShell(Dravik("cat " + image + " 2>&1 >&-"));
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(Contains(result.out, "dravik: cannot write to standard output: Bad file descriptor")) << result.out;
}

}  // namespace
}  // namespace dravik
