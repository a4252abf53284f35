// Differencing chains read through their parents. The images are made by
// qemu-img and qemu-io and turned into children by the test writer; the
// oracle is libvhdi's vhdimount, which merges a child with its parents, and
// the bytes that qemu-io wrote into each layer.

#include <gtest/gtest.h>

#include <iostream>

#include <fstream>

#include "ChainWriter.h"
#include "TestFiles.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::RunShell;
using test::SectorRun;

void Shell(const std::string& command) {
  const auto result = RunShell(command + " 2>&1");
  ASSERT_EQ(result.status, 0) << command << ": " << result.out;
}

// qemu-img makes a dynamic image of size bytes and qemu-io writes each
// "pattern offset length" into it.
void MakeImage(const fs::path& path, const char* format, const std::string& size, const std::vector<std::string>& writes,
               const std::string& options = "") {
  Shell("qemu-img create -q -f " + std::string(format) + (options.empty() ? "" : " -o " + options) + " " + Quote(path) +
        " " + size);
  std::string io = "qemu-io -f " + std::string(format);
  for (const std::string& w : writes) io += " -c 'write -P " + w + "'";
  if (!writes.empty()) Shell(io + " " + Quote(path) + " >/dev/null");
}

// The child merged with its parents as libvhdi sees it: vhdimount shows each
// image of the chain, the base as vhdi1 and the child last.
std::vector<std::uint8_t> Vhdimount(const fs::path& child) {
  const fs::path mount = child.parent_path() / ("mnt-" + child.filename().string());
  fs::create_directories(mount);
  const auto mounted = RunShell("vhdimount " + Quote(child) + " " + Quote(mount) + " 2>&1");
  EXPECT_EQ(mounted.status, 0) << "vhdimount could not mount " << child << ": " << mounted.out;
  std::vector<std::uint8_t> bytes;
  if (mounted.status == 0) {
    std::size_t images = 0;
    for (const auto& entry : fs::directory_iterator(mount)) images += entry.path().filename().string().rfind("vhdi", 0) == 0;
    bytes = test::ReadFileBytes(mount / ("vhdi" + std::to_string(images)));
    RunShell("fusermount -u " + Quote(mount) + " 2>&1");
  }
  fs::remove(mount);
  return bytes;
}

std::vector<std::uint8_t> ReadAll(const VirtualDisk& disk) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(disk.Size()));
  EXPECT_TRUE(disk.ReadAt(0, bytes));
  return bytes;
}

VirtualDisk OpenOrFail(const fs::path& path) {
  VirtualDisk disk;
  const OpenResult result = OpenImage(disk, path, false);
  EXPECT_TRUE(result.Usable()) << result.message;
  return disk;
}

bool HasWarning(const VirtualDisk& disk, const std::string& part) {
  for (const std::string& w : disk.Chain().warnings)
    if (w.find(part) != std::string::npos) return true;
  return false;
}

// Compares with the first differing offset named.
void ExpectSameBytes(const std::vector<std::uint8_t>& got, const std::vector<std::uint8_t>& want) {
  ASSERT_EQ(got.size(), want.size());
  const auto diff = std::mismatch(got.begin(), got.end(), want.begin());
  EXPECT_TRUE(diff.first == got.end()) << "first difference at byte " << (diff.first - got.begin());
}

// The bytes equal the child as vhdimount merges it. vhdimount needs FUSE;
// without /dev/fuse (some containers) the comparison is left out, saying so,
// and the test's own checks still run.
void ExpectSameAsVhdimount(const std::vector<std::uint8_t>& bytes, const fs::path& child) {
  if (!fs::exists("/dev/fuse")) {
    std::cerr << "note: no /dev/fuse here, so " << child.filename() << " is not compared with vhdimount\n";
    return;
  }
  ExpectSameBytes(bytes, Vhdimount(child));
}

constexpr std::uint64_t kMiB = 1024 * 1024;

TEST(VhdChainTest, SharedChildReadsAsVhdimountMergesIt) {
  test::TempDir dir;
  for (const char* name : {"image.vhd", "image-differential.vhd"})
    fs::copy_file(test::SharedTestData(std::string("vhd-differencing/") + name), dir / name);
  const VirtualDisk disk = OpenOrFail(dir / "image-differential.vhd");
  ASSERT_EQ(disk.Chain().images.size(), 2u);
  EXPECT_TRUE(disk.Chain().Complete());
  EXPECT_TRUE(disk.Chain().warnings.empty());
  ExpectSameAsVhdimount(ReadAll(disk), dir / "image-differential.vhd");

  // The same child with sectors 24-55 cleared in its bitmap and its own
  // copies of them spoilt: those sectors must now come from the parent. (The
  // run is whole bitmap bytes: vhdimount takes a byte whose bits are partly
  // set as the child's.)
  auto child = test::ReadFileBytes(dir / "image-differential.vhd");
  const std::size_t bitmap = 4 * 512;  // the one block's bitmap sector
  for (std::size_t s = 24; s < 56; ++s) {
    child[bitmap + s / 8] &= static_cast<std::uint8_t>(~(0x80u >> (s % 8)));
    std::fill_n(child.begin() + static_cast<std::ptrdiff_t>(bitmap + 512 + s * 512), 512, std::uint8_t{0xEE});
  }
  std::fill_n(child.begin() + static_cast<std::ptrdiff_t>(bitmap + 512 + 70 * 512), 512, std::uint8_t{0xDD});
  test::WriteFileBytes(dir / "image-differential.vhd", child);
  const VirtualDisk edited = OpenOrFail(dir / "image-differential.vhd");
  const auto bytes = ReadAll(edited);
  ExpectSameAsVhdimount(bytes, dir / "image-differential.vhd");
  EXPECT_EQ(bytes[70 * 512], 0xDD);
  EXPECT_NE(bytes[24 * 512 + 7], 0xEE);
}

// base <- mid <- top, all 8 MiB with 2 MiB blocks: each layer writes its own
// pattern; the top leaves some of its own sectors to mid through its bitmap.
// qemu-io gives a block it allocates a bitmap of all ones, so a block that a
// layer holds hides the layers below it wherever the bitmap is not cleared.
struct VhdChain {
  test::TempDir dir;

  explicit VhdChain(const test::VhdChildOptions& topOptions = {}, const std::string& midName = "mid.vhd") {
    MakeImage(dir / "base.vhd", "vpc", "8M", {"0x11 0 3M", "0x12 6M 1M"});
    MakeImage(dir / "mid.vhd", "vpc", "8M", {"0x22 2M 1M", "0x23 4M 64K"});
    MakeImage(dir / "top.vhd", "vpc", "8M", {"0x33 2560K 512K", "0x34 7M 4K"});
    test::VhdChildOptions mid;
    mid.relativeLocators = {".\\base.vhd"};
    mid.parentName = "base.vhd";
    test::MakeVhdChild(dir / "mid.vhd", dir / "base.vhd", mid);
    if (midName != "mid.vhd") fs::rename(dir / "mid.vhd", dir / midName);
    test::MakeVhdChild(dir / "top.vhd", dir / midName, topOptions);
  }
};

// Whole bitmap bytes for the comparisons with vhdimount (see above); one
// single sector otherwise.
test::VhdChildOptions TopOptions(bool singleSector = false) {
  test::VhdChildOptions top;
  top.relativeLocators = {"mid.vhd"};
  top.parentName = "mid.vhd";
  top.parentSectors = {SectorRun{2 * kMiB / 512, 64}, SectorRun{2 * kMiB / 512 + 1000, singleSector ? 1u : 8u}};
  return top;
}

TEST(VhdChainTest, ChainOfThreeReadsAsVhdimountMergesIt) {
  VhdChain chain(TopOptions());
  const VirtualDisk disk = OpenOrFail(chain.dir / "top.vhd");
  ASSERT_EQ(disk.Chain().images.size(), 3u);
  EXPECT_TRUE(disk.Chain().Complete());
  EXPECT_TRUE(disk.Chain().warnings.empty()) << disk.Chain().warnings.front();
  const auto bytes = ReadAll(disk);
  ExpectSameAsVhdimount(bytes, chain.dir / "top.vhd");
  // What each layer wrote shows where no newer layer holds the block.
  EXPECT_EQ(bytes[1 * kMiB], 0x11);
  EXPECT_EQ(bytes[4 * kMiB + 100], 0x23);
  EXPECT_EQ(bytes[2560 * 1024], 0x33);
  EXPECT_EQ(bytes[7 * kMiB], 0x34);
  EXPECT_EQ(bytes[6 * kMiB], 0);  // the top's block 3 hides base's 0x12
  // Sectors left to mid by the top's bitmap; 0x22 is mid's byte there.
  EXPECT_EQ(bytes[2 * kMiB], 0x22);
  EXPECT_EQ(bytes[2 * kMiB + 64 * 512], 0);
  EXPECT_EQ(bytes[2 * kMiB + 1007 * 512 + 511], 0x22);
  EXPECT_EQ(bytes[2 * kMiB + 1008 * 512], 0);
}

TEST(VhdChainTest, OneClearedBitLeavesOneSectorToTheParent) {
  VhdChain chain(TopOptions(true));
  const auto bytes = ReadAll(OpenOrFail(chain.dir / "top.vhd"));
  EXPECT_EQ(bytes[2 * kMiB + 999 * 512 + 511], 0);
  EXPECT_EQ(bytes[2 * kMiB + 1000 * 512], 0x22);
  EXPECT_EQ(bytes[2 * kMiB + 1000 * 512 + 511], 0x22);
  EXPECT_EQ(bytes[2 * kMiB + 1001 * 512], 0);
}

// Reads of every alignment that cross block and bitmap-run boundaries give
// the bytes of one whole read.
TEST(VhdChainTest, UnalignedReadsMatchTheWholeDisk) {
  VhdChain chain(TopOptions(true));
  const VirtualDisk disk = OpenOrFail(chain.dir / "top.vhd");
  const auto whole = ReadAll(disk);
  for (const std::uint64_t at : {2 * kMiB - 3, 2 * kMiB + 64 * 512 - 100, 2 * kMiB + 1000 * 512 + 7, 4 * kMiB - 1}) {
    std::vector<std::uint8_t> part(3000);
    ASSERT_TRUE(disk.ReadAt(at, part));
    EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + static_cast<std::ptrdiff_t>(at))) << at;
  }
}

TEST(VhdChainTest, PresentRangeCoversEveryImageOfTheChain) {
  VhdChain chain(TopOptions());
  const VirtualDisk disk = OpenOrFail(chain.dir / "top.vhd");
  // Block 3 (6-8 MiB) is held by base and top; block 0 by base and mid.
  std::vector<ByteRange> runs;
  for (auto run = disk.PresentRange(0); run; run = disk.PresentRange(run->end)) runs.push_back(*run);
  ASSERT_FALSE(runs.empty());
  EXPECT_EQ(runs.front().begin, 0u);
  EXPECT_GE(runs.back().end, 8 * kMiB);
}

TEST(VhdChainTest, ParentMovedIntoTheChildsFolderIsFoundByName) {
  test::VhdChildOptions top = TopOptions();
  top.relativeLocators = {"..\\old-place\\mid.vhd"};
  top.absoluteLocators = {"C:\\VMs\\old-place\\mid.vhd"};
  VhdChain chain(top);
  const VirtualDisk disk = OpenOrFail(chain.dir / "top.vhd");
  ASSERT_EQ(disk.Chain().images.size(), 3u);
  EXPECT_EQ(disk.Chain().images[1].path, chain.dir / "mid.vhd");
  ExpectSameAsVhdimount(ReadAll(disk), chain.dir / "top.vhd");
}

TEST(VhdChainTest, ParentFoundThroughItsRelativeLocator) {
  test::VhdChildOptions top = TopOptions();
  top.relativeLocators = {"layers\\mid-disk.vhd"};
  top.parentName = "something-else.vhd";
  VhdChain chain(top);
  fs::create_directories(chain.dir / "layers");
  // mid names base as ".\base.vhd", so base goes along with it.
  fs::rename(chain.dir / "mid.vhd", chain.dir / "layers" / "mid-disk.vhd");
  fs::rename(chain.dir / "base.vhd", chain.dir / "layers" / "base.vhd");
  const VirtualDisk disk = OpenOrFail(chain.dir / "top.vhd");
  ASSERT_EQ(disk.Chain().images.size(), 3u);
  EXPECT_TRUE(disk.Chain().Complete());
  EXPECT_EQ(ReadAll(disk)[2 * kMiB], 0x22);
}

TEST(VhdChainTest, WrongParentIsReportedAndUsed) {
  test::VhdChildOptions top = TopOptions();
  top.wrongParentId = true;
  VhdChain chain(top);
  const VirtualDisk disk = OpenOrFail(chain.dir / "top.vhd");
  EXPECT_TRUE(HasWarning(disk, "expects")) << "no id mismatch reported";
  ASSERT_EQ(disk.Chain().images.size(), 3u);
  EXPECT_EQ(ReadAll(disk)[2 * kMiB], 0x22);
}

TEST(VhdChainTest, MissingParentReadsAsZerosAndIsNamed) {
  VhdChain chain(TopOptions());
  fs::remove(chain.dir / "mid.vhd");
  const VirtualDisk disk = OpenOrFail(chain.dir / "top.vhd");
  ASSERT_EQ(disk.Chain().images.size(), 2u);
  EXPECT_FALSE(disk.Chain().images[1].found);
  EXPECT_EQ(disk.Chain().images[1].path, "mid.vhd");
  EXPECT_TRUE(HasWarning(disk, "not found"));
  const auto bytes = ReadAll(disk);
  EXPECT_EQ(bytes[0], 0);
  EXPECT_EQ(bytes[2 * kMiB], 0);  // left to the parent by the bitmap
  EXPECT_EQ(bytes[2560 * 1024], 0x33);

  const auto info = RunShell(Quote(test::CliPath()) + " info --quiet " + Quote(chain.dir / "top.vhd") + " 2>&1");
  EXPECT_EQ(info.status, 0);
  EXPECT_NE(info.out.find("missing parent\tmid.vhd"), std::string::npos) << info.out;
}

TEST(VhdChainTest, ParentLoopEndsWithAWarning) {
  test::TempDir dir;
  MakeImage(dir / "a.vhd", "vpc", "4M", {"0x41 0 1M"});
  MakeImage(dir / "b.vhd", "vpc", "4M", {"0x42 2M 1M"});
  test::VhdChildOptions toB, toA;
  toB.parentName = "b.vhd";
  toA.parentName = "a.vhd";
  test::MakeVhdChild(dir / "a.vhd", dir / "b.vhd", toB);
  test::MakeVhdChild(dir / "b.vhd", dir / "a.vhd", toA);
  const VirtualDisk disk = OpenOrFail(dir / "a.vhd");
  EXPECT_TRUE(HasWarning(disk, "loop"));
  ASSERT_EQ(disk.Chain().images.size(), 3u);
  const auto bytes = ReadAll(disk);
  EXPECT_EQ(bytes[0], 0x41);
  EXPECT_EQ(bytes[2 * kMiB], 0x42);
}

// base.vhdx <- mid.avhdx <- top.AVHDX with 1 MiB blocks: the checkpoint
// extensions choose the VHDX reader, and partly present blocks read through
// their sector bitmaps. (libvhdi 20210425 cannot open a VHDX's parent, so
// the bytes qemu-io wrote into each layer are the oracle here.)
struct VhdxChain {
  test::TempDir dir;
  explicit VhdxChain(const test::VhdxChildOptions& topOptions) {
    const std::string options = "block_size=1M";
    MakeImage(dir / "base.vhdx", "vhdx", "8M", {"0x11 0 3M", "0x12 6M 1M"}, options);
    MakeImage(dir / "mid.avhdx", "vhdx", "8M", {"0x22 2M 1M", "0x23 4M 64K"}, options);
    MakeImage(dir / "top.AVHDX", "vhdx", "8M", {"0x33 2560K 512K", "0x34 7M 4K"}, options);
    test::VhdxChildOptions mid;
    mid.relativePath = ".\\base.vhdx";
    mid.absoluteWin32Path = "D:\\Hyper-V\\base.vhdx";
    test::MakeVhdxChild(dir / "mid.avhdx", dir / "base.vhdx", mid);
    test::MakeVhdxChild(dir / "top.AVHDX", dir / "mid.avhdx", topOptions);
  }
};

test::VhdxChildOptions VhdxTopOptions() {
  test::VhdxChildOptions top;
  top.relativePath = "mid.avhdx";
  top.parentSectors = {SectorRun{2 * kMiB / 512, 64}, SectorRun{2 * kMiB / 512 + 1000, 1}};
  return top;
}

TEST(VhdxChainTest, ChainOfThreeReadsThroughBitmapsAndParents) {
  VhdxChain chain(VhdxTopOptions());
  const VirtualDisk disk = OpenOrFail(chain.dir / "top.AVHDX");
  ASSERT_NE(disk.Vhdx(), nullptr);
  EXPECT_EQ(disk.DiskTypeText(), "Differencing Disk");
  ASSERT_EQ(disk.Chain().images.size(), 3u);
  EXPECT_TRUE(disk.Chain().Complete());
  EXPECT_TRUE(disk.Chain().warnings.empty()) << disk.Chain().warnings.front();
  const auto bytes = ReadAll(disk);
  EXPECT_EQ(bytes[0], 0x11);
  EXPECT_EQ(bytes[1 * kMiB], 0x11);
  EXPECT_EQ(bytes[6 * kMiB], 0x12);
  EXPECT_EQ(bytes[4 * kMiB + 100], 0x23);
  EXPECT_EQ(bytes[2560 * 1024], 0x33);
  EXPECT_EQ(bytes[7 * kMiB], 0x34);
  EXPECT_EQ(bytes[5 * kMiB], 0);
  // Block 2 is partly present in the top: its cleared sectors are mid's.
  EXPECT_EQ(bytes[2 * kMiB], 0x22);
  EXPECT_EQ(bytes[2 * kMiB + 64 * 512], 0);
  EXPECT_EQ(bytes[2 * kMiB + 999 * 512 + 511], 0);
  EXPECT_EQ(bytes[2 * kMiB + 1000 * 512], 0x22);
  EXPECT_EQ(bytes[2 * kMiB + 1001 * 512], 0);
}

TEST(VhdxChainTest, WrongParentLinkageIsReportedAndMissingParentNamed) {
  test::VhdxChildOptions top = VhdxTopOptions();
  top.wrongLinkage = true;
  VhdxChain chain(top);
  const VirtualDisk wrong = OpenOrFail(chain.dir / "top.AVHDX");
  EXPECT_TRUE(HasWarning(wrong, "expects"));
  EXPECT_EQ(ReadAll(wrong)[2 * kMiB], 0x22);

  fs::remove(chain.dir / "base.vhdx");
  const VirtualDisk missing = OpenOrFail(chain.dir / "top.AVHDX");
  ASSERT_EQ(missing.Chain().images.size(), 3u);
  EXPECT_FALSE(missing.Chain().images[2].found);
  EXPECT_EQ(missing.Chain().images[2].path, "base.vhdx");
  EXPECT_EQ(ReadAll(missing)[0], 0);
}

}  // namespace
}  // namespace dravik
