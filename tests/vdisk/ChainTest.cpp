// Chains read through their parents and dirty VHDX logs replayed in memory, against qemu-io, vhdimount and qemu.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iostream>

#include "Bytes.h"
#include "ChainWriter.h"
#include "TestFiles.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::LogDescriptorPlan;
using test::LogEntryPlan;
using test::OpenOrFail;
using test::Quote;
using test::ReadAll;
using test::RunShell;
using test::SectorRun;
using Raw = std::vector<std::uint8_t>;
constexpr std::uint64_t kMiB = 1024 * 1024;

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

void ExpectSameBytes(const Raw& got, const Raw& want, const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  const auto diff = std::mismatch(got.begin(), got.end(), want.begin());
  EXPECT_TRUE(diff.first == got.end()) << what << ": first difference at byte " << (diff.first - got.begin());
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
