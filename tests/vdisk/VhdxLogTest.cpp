// Dirty VHDX logs replayed in memory. qemu-img makes the image and the test
// writer adds a log; the oracles are the disk the entries describe (qemu-img's
// raw conversion of the clean image with the writes laid over it) and qemu's
// own replay of a copy (qemu-io opens it for writing, which replays the log).

#include <gtest/gtest.h>

#include <functional>

#include "ChainWriter.h"
#include "TestFiles.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::LogDescriptorPlan;
using test::LogEntryPlan;
using test::Quote;
using test::RunShell;
using Raw = std::vector<std::uint8_t>;
constexpr std::uint64_t kMiB = 1024 * 1024;

void Shell(const std::string& command) {
  const auto result = RunShell(command + " 2>&1");
  ASSERT_EQ(result.status, 0) << command << ": " << result.out;
}

Raw QemuRaw(const fs::path& image) {
  const fs::path raw = image.string() + ".raw";
  Shell("qemu-img convert -f vhdx -O raw " + Quote(image) + " " + Quote(raw));
  return test::ReadFileBytes(raw);
}

// A 4 KiB sector whose every byte differs from its neighbours' and from every
// other sector's, so a misplaced or shifted copy cannot pass.
Raw Sector(std::uint8_t seed) {
  Raw s(4096);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
  return s;
}

void Lay(Raw& disk, std::uint64_t at, const Raw& bytes) {
  std::copy(bytes.begin(), bytes.end(), disk.begin() + static_cast<std::ptrdiff_t>(at));
}

void ExpectSameBytes(const Raw& got, const Raw& want, const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  const auto diff = std::mismatch(got.begin(), got.end(), want.begin());
  EXPECT_TRUE(diff.first == got.end()) << what << ": first difference at byte " << (diff.first - got.begin());
}

// 8 MiB, 1 MiB blocks: blocks 0, 1 and 4 written.
struct DirtyImage {
  test::TempDir dir;
  fs::path path = dir / "dirty.vhdx";
  Raw clean;
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
      // The log moves structures too: it maps absent block 2 in the BAT to a
      // new block at the end of the file (grown first: qemu does not grow it
      // when it replays) and writes its first sector.
      {"a replayed BAT sector maps a new block",
       [](DirtyImage& d, Raw& want) {
         const std::uint64_t bat = test::VhdxBatOffset(d.path);
         const std::uint64_t block = (fs::file_size(d.path) + kMiB - 1) / kMiB * kMiB;
         fs::resize_file(d.path, block + kMiB);
         Raw batSector = test::ReadFileBytes(d.path);
         batSector.erase(batSector.begin(), batSector.begin() + static_cast<std::ptrdiff_t>(bat));
         batSector.resize(4096);
         for (int i = 0; i < 8; ++i) batSector[16 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((block | 6) >> (8 * i));
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
    Shell("qemu-img create -q -f vhdx -o block_size=1M " + Quote(d.path) + " 8M");
    Shell("qemu-io -f vhdx -c 'write -P 0x11 0 2M' -c 'write -P 0x22 4M 1M' " + Quote(d.path) + " >/dev/null");
    d.clean = QemuRaw(d.path);
    d.block0 = test::VhdxBlockFileOffset(d.path, 0);
    d.block4 = test::VhdxBlockFileOffset(d.path, 4);
    ASSERT_NE(d.block0, 0u);
    ASSERT_NE(d.block4, 0u);
    Raw want = d.clean;
    c.write(d, want);
    const Raw fileBefore = test::ReadFileBytes(d.path);

    VirtualDisk disk;
    const OpenResult opened = OpenImage(disk, d.path, false);
    ASSERT_TRUE(opened.Usable()) << opened.message;
    ASSERT_NE(disk.Vhdx(), nullptr);
    EXPECT_EQ(disk.Vhdx()->LogReplayed(), c.replayed > 0);
    EXPECT_EQ(disk.Vhdx()->LogEntriesReplayed(), c.replayed);
    if (c.warning) {
      ASSERT_EQ(disk.Chain().warnings.size(), 1u);
      EXPECT_NE(disk.Chain().warnings.front().find(c.warning), std::string::npos);
    } else {
      EXPECT_TRUE(disk.Chain().warnings.empty());
    }
    Raw got(static_cast<std::size_t>(disk.Size()));
    EXPECT_TRUE(disk.ReadAt(0, got));
    ExpectSameBytes(got, want, "the entries' writes");
    if (c.replayed) {
      const fs::path copy = d.path.string() + ".qemu.vhdx";
      fs::copy_file(d.path, copy);
      Shell("qemu-io -f vhdx -c 'read 0 512' " + Quote(copy) + " >/dev/null");
      ExpectSameBytes(got, QemuRaw(copy), "qemu's replay");
    }
    EXPECT_EQ(test::ReadFileBytes(d.path), fileBefore) << "the image file was changed";
    const auto info = RunShell(Quote(test::CliPath()) + " info --quiet " + Quote(d.path) + " 2>&1");
    EXPECT_EQ(info.out.find("Log\t\t\t: replayed in memory") != std::string::npos, c.replayed > 0) << info.out;
  }
}

}  // namespace
}  // namespace dravik
