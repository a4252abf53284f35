// dravik on VHDX images whose own structures were broken by a byte edit, one
// structure per case, copied from the NTFS fixture disk that qemu-img wrapped:
// the files come back as the fixture's manifest has them, `info --json`
// lists the repair, and the image's bytes are never changed. Files that
// hold no structure of their format at all are said to be no image.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <sstream>

#include "ChainWriter.h"
#include "FatFixtures.h"
#include "NtfsFixtures.h"
#include "TestFiles.h"
#include "VhdxEdit.h"

namespace dravik {
namespace {

using test::NtfsFixture;
using test::Quote;
using test::RunShell;

constexpr std::uint64_t kHeader1 = 64 * 1024;
constexpr std::uint64_t kRegionTable1 = 192 * 1024;
constexpr std::uint64_t kRegionTable2 = 256 * 1024;
constexpr std::size_t kRegionTableSize = 64 * 1024;

std::string Dravik(const std::string& args) { return "timeout 120 " + Quote(test::CliPath()) + " " + args; }

std::string Sha256File(const std::filesystem::path& path) { return test::Sha256Bytes(test::ReadFileBytes(path)); }

struct DamageCase {
  const char* name;
  std::function<void(const std::filesystem::path&)> damage;
  const char* repairsJson;  // the "repairs" member info --json must print
};

void Zero(const std::filesystem::path& image, std::uint64_t at, std::size_t length) {
  test::PatchFile(image, at, std::vector<std::uint8_t>(length, 0));
}

// The fixture's VHDX BAT entry of a block (qemu-img lays its 8 MiB blocks
// out in disk order, zero blocks marked so between them).
void SetVhdxBatEntry(const std::filesystem::path& image, std::uint64_t block, std::uint64_t value) {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  test::PatchFile(image, test::VhdxBatOffset(image) + 8 * block, bytes);
}

class SalvageCliTest : public ::testing::TestWithParam<DamageCase> {};

// Recovers the NTFS partition of image into out and expects every live file
// of the manifest under one of its names, with its checksum.
void ExpectEveryLiveFileRecovered(const std::filesystem::path& image, const std::filesystem::path& out,
                                  const std::string& options = "") {
  const auto recovered = RunShell(Dravik("scan quick --partition 0 --quiet " + options + "--recover " + Quote(out) + " " +
                                         Quote(image) + " 2>/dev/null"));
  ASSERT_EQ(recovered.status, 0) << recovered.out;
  const auto sums = test::Sha256Tree(out);
  std::map<std::uint32_t, bool> found;
  for (const auto& entry : test::ReadNtfsManifest("live.manifest")) {
    const auto it = sums.find(entry.path);
    found[entry.record] |= it != sums.end();
    if (it != sums.end()) {
      EXPECT_EQ(it->second, entry.sha256) << entry.path;
    }
  }
  ASSERT_GT(found.size(), 100u);
  for (const auto& [record, ok] : found) EXPECT_TRUE(ok) << "record " << record << " was not recovered";
}

TEST_P(SalvageCliTest, FilesAreRecoveredAndTheRepairIsListed) {
  test::TempDir dir;
  const auto image = dir / "damaged.vhdx";
  std::filesystem::copy_file(NtfsFixture("ntfs.vhdx"), image);
  GetParam().damage(image);
  const std::string damagedSum = Sha256File(image);

  const auto info = RunShell(Dravik("info --json --quiet " + Quote(image)));
  ASSERT_EQ(info.status, 0) << info.out;
  EXPECT_NE(info.out.find(std::string("\"repairs\":") + GetParam().repairsJson), std::string::npos) << info.out;
  ExpectEveryLiveFileRecovered(image, dir / "out");
  EXPECT_EQ(Sha256File(image), damagedSum) << "the image was written";
}

// A fixed VHD whose footer was zeroed: the partitioned disk in front of it
// is read as a raw disk.
TEST(SalvageCliVhdTest, FixedVhdWithoutFooterReadsAsARawDisk) {
  test::TempDir dir;
  const auto image = dir / "nofooter.vhd";
  const auto made = RunShell("qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on " +
                             Quote(NtfsFixture("ntfs.raw")) + " " + Quote(image) + " 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  Zero(image, std::filesystem::file_size(image) - 512, 512);
  const std::string sum = Sha256File(image);
  const auto info = RunShell(Dravik("info --json --quiet " + Quote(image)));
  ASSERT_EQ(info.status, 0) << info.out;
  EXPECT_NE(info.out.find(R"("repairs":[{"structure":"footer","problem":"missing at the end and at offset 0","action":"the file read as a raw disk"}])"),
            std::string::npos)
      << info.out;
  ExpectEveryLiveFileRecovered(image, dir / "out");
  EXPECT_EQ(Sha256File(image), sum) << "the image was written";
}

INSTANTIATE_TEST_SUITE_P(
    OneStructureBroken, SalvageCliTest,
    ::testing::Values(
        DamageCase{"IdentifierZeroed", [](const auto& image) { Zero(image, 0, 8); },
                   R"([{"structure":"file type identifier","problem":"missing","action":"ignored: a valid header shows the file is a VHDX"}])"},
        DamageCase{"Header1Zeroed", [](const auto& image) { Zero(image, kHeader1, 4096); },
                   R"([{"structure":"header 1","problem":"zeroed","action":"header 2 used"}])"},
        DamageCase{"RegionTable1Zeroed", [](const auto& image) { Zero(image, kRegionTable1, kRegionTableSize); },
                   R"([{"structure":"region table 1","problem":"zeroed","action":"table 2 used"}])"},
        DamageCase{"RegionTable1BadChecksumTable2Zeroed",
                   [](const auto& image) {
                     test::PatchFile(image, kRegionTable1 + 4, {0xDE, 0xAD, 0xBE, 0xEF});
                     Zero(image, kRegionTable2, kRegionTableSize);
                   },
                   R"([{"structure":"region table 1","problem":"bad checksum","action":"its entries used: they are plausible"}])"},
        DamageCase{"BothRegionTablesZeroed", [](const auto& image) { Zero(image, kRegionTable1, 2 * kRegionTableSize); },
                   R"j([{"structure":"region tables","problem":"neither is valid (table 1 zeroed; table 2 zeroed)","action":"the BAT found at 2097152 and the metadata at 3145728 by search"}])j"},
        DamageCase{"MetadataTableZeroed",
                   [](const auto& image) { Zero(image, test::VhdxMetadataOffset(image), kRegionTableSize); },
                   R"([{"structure":"metadata: block size","problem":"missing","action":"8388608 inferred from the spacing of the BAT's blocks"},{"structure":"metadata: logical sector size","problem":"missing","action":"512 assumed"},{"structure":"metadata: virtual disk size","problem":"missing")"},
        DamageCase{"BlockSizeOverwritten", [](const auto& image) { test::SetVhdxBlockSize(image, 1 << 20); },
                   R"([{"structure":"metadata: block size","problem":"1048576 disagrees with the spacing of the BAT's blocks","action":"8388608 used"}])"},
        // One present entry zeroed (it reads as absent) and one overwritten
        // with bytes that are no entry: both blocks go back where the
        // blocks around them show.
        DamageCase{"BatEntriesLost",
                   [](const auto& image) {
                     SetVhdxBatEntry(image, 1, 0);
                     SetVhdxBatEntry(image, 6, 0xDEADBEEFCAFEBABEull);
                   },
                   R"([{"structure":"BAT","problem":"1 entries hold no valid state, 2 blocks in the file are named by no entry","action":"2 blocks placed where the order of their neighbours puts them"}])"}),
    [](const auto& param) { return std::string(param.param.name); });

// A dynamic VHD whose footer and footer copy were both zeroed reads through
// the dynamic header that follows the copy.
TEST(SalvageCliVhdTest, DynamicVhdWithoutEitherFooterReadsThroughItsHeader) {
  test::TempDir dir;
  const auto image = dir / "nofooters.vhd";
  std::filesystem::copy_file(NtfsFixture("ntfs.vhd"), image);
  Zero(image, 0, 512);
  Zero(image, std::filesystem::file_size(image) - 512, 512);
  const std::string sum = Sha256File(image);
  const auto info = RunShell(Dravik("info --json --quiet " + Quote(image)));
  ASSERT_EQ(info.status, 0) << info.out;
  EXPECT_NE(info.out.find(R"("repairs":[{"structure":"footer","problem":"missing at the end and at offset 0","action":"the dynamic header at 512 used)"),
            std::string::npos)
      << info.out;
  ExpectEveryLiveFileRecovered(image, dir / "out");
  EXPECT_EQ(Sha256File(image), sum) << "the image was written";
}

// A dynamic VHD whose dynamic header was zeroed reads through its block
// table, found by its shape, and one whose header claims a block size no
// writer uses takes it from the spacing of its blocks; one whose BAT entries
// were zeroed (they then point at the footer's copy) gets its blocks back by
// their order.
TEST(SalvageCliVhdTest, DynamicVhdWithoutHeaderOrWithZeroedEntries) {
  test::TempDir dir;
  const auto ntfsVhd = NtfsFixture("ntfs.vhd");
  const std::vector<std::uint8_t> bat = test::ReadFileBytes(ntfsVhd);
  std::vector<std::uint64_t> present;
  for (std::uint64_t at = 1536; at < 1536 + 4 * 32; at += 4)
    if (bat[at] != 0xFF) present.push_back(at);
  ASSERT_GE(present.size(), 3u);
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> damage;
    const char* repair;
  } cases[] = {
      {"header", [](const auto& image) { Zero(image, 512, 1024); },
       R"j({"structure":"dynamic header","problem":"missing (no \"cxsparse\" cookie)","action":"the block table found by its shape at 1536)j"},
      {"blocksize", [](const auto& image) { test::PatchFile(image, 512 + 32, {0x00, 0x30, 0x00, 0x00}); },
       R"({"structure":"dynamic header: block size","problem":"implausible: 3145728","action":"2097152 inferred from the spacing of the table's blocks"})"},
      {"entries", [&](const auto& image) { Zero(image, present[1], 4); },
       R"({"structure":"BAT","problem":"1 entries point outside the block data, 1 blocks in the file are named by no entry","action":"1 blocks placed where the order of their neighbours puts them"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto image = dir / (std::string(c.name) + ".vhd");
    std::filesystem::copy_file(ntfsVhd, image);
    c.damage(image);
    const std::string sum = Sha256File(image);
    const auto info = RunShell(Dravik("info --json --quiet " + Quote(image)));
    ASSERT_EQ(info.status, 0) << info.out;
    EXPECT_NE(info.out.find(c.repair), std::string::npos) << info.out;
    ExpectEveryLiveFileRecovered(image, dir / c.name);
    EXPECT_EQ(Sha256File(image), sum) << "the image was written";
  }
}

// Block tables zeroed whole leave no entry to place the blocks by: the
// blocks come back where the volume inside shows they belong, for NTFS in a
// VHD and a VHDX and for FAT32 (with deleted files in its free clusters).
TEST(SalvageCliBlockTableTest, ZeroedWholeTablesArePlacedByTheVolumeInside) {
  test::TempDir dir;
  constexpr const char* kPlaced = "placed where the volume inside shows they belong";
  const auto zeroVhdTable = [](const std::filesystem::path& image) {
    const std::vector<std::uint8_t> head = test::ReadFileBytes(image);
    const auto bigEndian = [&](std::size_t at, std::size_t bytes) {
      std::uint64_t value = 0;
      for (std::size_t i = 0; i < bytes; ++i) value = value << 8 | head[at + i];
      return value;
    };
    // The dynamic header at 512: table offset at 16, entry count at 28.
    Zero(image, bigEndian(512 + 16, 8), static_cast<std::size_t>(4 * bigEndian(512 + 28, 4)));
  };
  const auto damage = [&](const std::filesystem::path& from, const std::string& name) {
    const auto image = dir / name;
    std::filesystem::copy_file(from, image);
    if (image.extension() == ".vhdx") Zero(image, test::VhdxBatOffset(image), 64 * 1024);
    else zeroVhdTable(image);
    const auto info = RunShell(Dravik("info --json --quiet " + Quote(image)));
    EXPECT_NE(info.out.find(kPlaced), std::string::npos) << info.out;
    EXPECT_EQ(info.out.find("left unplaced\"}]"), std::string::npos) << info.out;
    return image;
  };
  for (const char* name : {"ntfs.vhd", "ntfs.vhdx"}) {
    SCOPED_TRACE(name);
    const auto image = damage(NtfsFixture(name), name);
    const std::string sum = Sha256File(image);
    ExpectEveryLiveFileRecovered(image, dir / (std::string(name) + ".out"));
    EXPECT_EQ(Sha256File(image), sum) << "the image was written";
  }
  const auto fat = damage(test::FatFixture("fat32.vhd"), "fat32.vhd");
  const auto out = dir / "fat32.out";
  ASSERT_EQ(RunShell(Dravik("scan quick --quiet --recover " + Quote(out) + " " + Quote(fat) + " 2>/dev/null")).status, 0);
  std::map<std::string, std::string> saved;
  for (const auto& [path, sha] : test::HashTree(out)) saved[test::CanonicalSavedPath(path)] = sha;
  std::size_t checked = 0;
  for (const auto& file : test::ReadManifest("fat32")) {
    if (file.size == 0) continue;
    const auto it = saved.find(file.key);
    ASSERT_NE(it, saved.end()) << file.path << " not saved";
    EXPECT_EQ(it->second, file.sha256) << file.path;
    ++checked;
  }
  EXPECT_GT(checked, 850u);
}

// A FAT disk cut short loses folder listings too, and the files in them
// cannot be named: every live file of the manifest is saved whole, saved
// and named incomplete, or missing from a folder the scan names as not
// read whole, and the scan does not report success.
TEST(SalvageCliCutTest, FilesOfACutFatDiskAreSavedNamedOrInAFolderNamedAsNotReadWhole) {
  test::TempDir dir;
  const auto image = dir / "cut.vhdx";
  std::filesystem::copy_file(test::FatFixture("fat32.vhdx"), image);
  std::filesystem::resize_file(image, std::filesystem::file_size(image) * 7 / 10 / (1 << 20) * (1 << 20));
  const auto out = dir / "out";
  const auto run = RunShell(Dravik("scan quick --quiet --recover " + Quote(out) + " " + Quote(image) + " 2>&1 >/dev/null"));
  EXPECT_EQ(run.status, 1) << run.out;
  const std::string heading = "folders could not be read whole; files in them may be missing:\n";
  ASSERT_NE(run.out.find(heading), std::string::npos) << run.out;
  std::vector<std::string> unread;
  std::istringstream lines(run.out.substr(run.out.find(heading) + heading.size()));
  for (std::string line; std::getline(lines, line) && line.rfind("dravik:   /", 0) == 0;) unread.push_back(line.substr(10));
  std::map<std::string, std::string> saved;
  for (const auto& [path, sha] : test::HashTree(out)) saved[test::CanonicalSavedPath(path)] = sha;
  std::size_t whole = 0;
  std::size_t accounted = 0;
  for (const auto& file : test::ReadManifest("fat32")) {
    if (file.deleted || file.size == 0) continue;
    const auto it = saved.find(file.key);
    if (it != saved.end() && it->second == file.sha256) {
      ++whole;
      continue;
    }
    ++accounted;
    if (it != saved.end()) {
      EXPECT_NE(run.out.find("\t" + (out / file.path).string() + ":"), std::string::npos) << file.path << " differs unnamed";
      continue;
    }
    // A folder not read whole may have lost the entries of subfolders too.
    const bool inUnreadFolder = std::any_of(unread.begin(), unread.end(), [&](const std::string& folder) {
      return folder == "/" || ("/" + file.path).rfind(folder + "/", 0) == 0;
    });
    EXPECT_TRUE(inUnreadFolder) << file.path << " is missing but in no folder named";
  }
  EXPECT_GT(whole, 0u);
  EXPECT_GT(accounted, 0u) << "the cut took nothing";
}

// A disk copied byte for byte opens by its extension; any file opens as one
// with --as-raw, a fixed VHD then as the disk in front of its footer.
TEST(SalvageCliRawTest, RawDisksOpenByExtensionOrWhenAsked) {
  test::TempDir dir;
  const auto img = dir / "disk.img";
  std::filesystem::copy_file(NtfsFixture("ntfs.raw"), img);
  const auto info = RunShell(Dravik("info --quiet " + Quote(img)));
  ASSERT_EQ(info.status, 0) << info.out;
  EXPECT_NE(info.out.find("Format\t\t\t: raw"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("NTFS"), std::string::npos) << info.out;

  const auto fixed = dir / "fixed.vhd";
  const auto made = RunShell("qemu-img convert -f raw -O vpc -o subformat=fixed,force_size=on " +
                             Quote(NtfsFixture("ntfs.raw")) + " " + Quote(fixed) + " 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  ExpectEveryLiveFileRecovered(fixed, dir / "out", "--as-raw ");
}

// 100 kB of random bytes is no disk, whatever its last 512 bytes claim.
TEST(SalvageCliFailureTest, RandomFilesAreNoImages) {
  test::TempDir dir;
  std::mt19937 random(7);
  std::vector<std::uint8_t> bytes(100 * 1000);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  for (const char* kind : {"VHD", "VHDX"}) {
    SCOPED_TRACE(kind);
    const auto file = dir / (std::string("random.") + (kind[3] ? "vhdx" : "vhd"));
    test::WriteFileBytes(file, bytes);
    const auto result = RunShell(Dravik("info " + Quote(file) + " 2>&1"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.rfind("dravik: " + file.string() + ": not a " + kind + " image: no " + kind +
                                   " structure was found",
                               0),
              0u)
        << result.out;
    EXPECT_EQ(RunShell(Dravik("partitions --search --quiet " + Quote(file) + " 2>/dev/null")).status, 1);
  }
}

}  // namespace
}  // namespace dravik
