// The Extensive Scan for ext volumes on images mke2fs made: the search on bare, partitioned and overwritten disks
// against dumpe2fs's account of the volume (block size and count, where the superblock copies lie), the extraction
// and save of the volume a quick NTFS format was written over, against the source folder's digests for the files
// debugfs places beyond the overwritten start, and the search on copies damaged in memory.

#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "ExtFixtures.h"
#include "ExtensiveFixtures.h"
#include "Oracles.h"
#include "TestFiles.h"
#include "disk/ExtSignature.h"
#include "fs/ext/Superblock.h"
#include "fs/FamilyRegistry.h"
#include "fs/FileSystemFamily.h"
#include "fs/ResultTree.h"
#include "fs/extensive/ExtensiveScan.h"
#include "save/SaveDriver.h"
#include "session/ScanResult.h"
#include "snapshot/Snapshot.h"
#include "util/Diagnostics.h"
#include "util/Utf.h"
#include "vdisk/ImageFile.h"
#include "vdisk/PatchedSource.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::ExtFixture;

constexpr std::uint64_t kOverwrittenBytes = 16 * 1024 * 1024;

// What dumpe2fs says of a bare volume: its block size and count and the blocks of its superblock copies.
struct Dumpe2fsReport {
  std::uint32_t blockSize = 0;
  std::uint64_t blockCount = 0;
  std::uint32_t inodeCount = 0;
  std::vector<std::uint64_t> backups;
};

Dumpe2fsReport Dumpe2fs(const fs::path& raw) {
  const test::CommandResult run = test::RunShell("dumpe2fs " + test::Quote(raw) + " 2>/dev/null");
  EXPECT_EQ(run.status, 0) << raw;
  Dumpe2fsReport report;
  std::smatch m;
  static const std::regex blockSize(R"(Block size:\s+(\d+))"), blockCount(R"(Block count:\s+(\d+))"),
      backup(R"(Backup superblock at (\d+))"), inodeCount(R"(Inode count:\s+(\d+))");
  if (std::regex_search(run.out, m, blockSize)) report.blockSize = static_cast<std::uint32_t>(std::stoul(m[1]));
  if (std::regex_search(run.out, m, blockCount)) report.blockCount = std::stoull(m[1]);
  if (std::regex_search(run.out, m, inodeCount)) report.inodeCount = static_cast<std::uint32_t>(std::stoul(m[1]));
  for (auto it = std::sregex_iterator(run.out.begin(), run.out.end(), backup); it != std::sregex_iterator(); ++it)
    report.backups.push_back(std::stoull((*it)[1]));
  return report;
}

ExtensiveFindings SearchExt(const SectorReader& reader, unsigned threads = 0) {
  ExtensiveFindings findings;
  ScanControl control;
  RunExtensiveScan(reader, kExt4, 0, reader.SectorCount(), 128, findings, control, threads);
  return findings;
}

// Every volume mke2fs made is found once, at its first sector, read by its primary superblock while it lives and by
// the first copy once the NTFS format took it; ext2 and ext3 are found by the search for ext4.
TEST(ExtExtensiveSearchTest, FindsEachVolumeAtItsStart) {
  struct Case {
    const char* image;
    const char* volume;  // the bare volume dumpe2fs reads
    std::uint64_t start;  // where the fixture script put it
    std::uint16_t code;
    bool primaryLost;
  };
  const Case cases[] = {
      {"ext4-gpt.vhdx", "ext4-4k.raw", 2048, kExt4, false}, {"ext4-1k.raw", "ext4-1k.raw", 0, kExt4, false},
      {"ext3-1k.vhd", "ext3-1k.raw", 0, kExt3, false},      {"ext2-4k.raw", "ext2-4k.raw", 0, kExt2, false},
      {"wsl-ext4.vhdx", "wsl-ext4.raw", 0, kExt4, false},   {"wsl-over.vhdx", "wsl-ext4.raw", 0, kExt4, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    const Dumpe2fsReport truth = Dumpe2fs(ExtFixture(c.volume));
    ASSERT_GT(truth.blockSize, 0u);
    const test::OpenedImage opened = test::OpenForSearch(ExtFixture(c.image));
    for (const unsigned threads : {1u, 0u}) {
      const ExtensiveFindings findings = SearchExt(*opened.reader, threads);
      ASSERT_EQ(findings.fileSystems.size(), 1u);
      const FoundFileSystem& found = findings.fileSystems[0];
      const std::uint32_t blockSectors = truth.blockSize / kSectorSize;
      EXPECT_EQ(found.fsType, c.code);
      EXPECT_EQ(found.Start(), c.start);
      EXPECT_EQ(found.Label(), std::string(FsName(c.code)) + " @ " + std::to_string(c.start));
      EXPECT_EQ(found.sectorsPerCluster, blockSectors);
      EXPECT_EQ(found.fsEnd, c.start + truth.blockCount * blockSectors - 1);
      if (c.primaryLost) {
        ASSERT_FALSE(truth.backups.empty());
        ASSERT_GE(truth.backups[0] * truth.blockSize, kOverwrittenBytes);  // the copy the format left
        EXPECT_EQ(found.superblockSector, c.start + truth.backups[0] * blockSectors);
      } else {
        EXPECT_EQ(found.superblockSector, c.start + ext::kSuperblockSector);
      }
    }
  }
}

struct WslFile {
  std::string path;
  std::string sha256;
  std::uint32_t inode = 0;
};

// The files of the WSL volume whose inode and every block lie past the overwritten start, by debugfs on the intact
// volume.
std::vector<WslFile> FilesBeyondOverwrite() {
  const fs::path raw = ExtFixture("wsl-ext4.raw");
  const std::uint32_t blockSize = Dumpe2fs(raw).blockSize;
  std::vector<WslFile> files;
  for (const test::ExtManifestEntry& entry : test::ReadExtManifest("wsl-manifest")) {
    if (test::InodeOffset(raw, entry.path) < kOverwrittenBytes) continue;
    std::istringstream blocks(test::Debugfs(raw, "blocks /" + entry.path));
    bool beyond = true;
    for (std::uint64_t block = 0; blocks >> block;) beyond = beyond && block * blockSize >= kOverwrittenBytes;
    if (beyond) files.push_back({entry.path, entry.sha256, test::InodeNumber(raw, entry.path)});
  }
  return files;
}

// The files behind the NTFS come back byte for byte under the lost folder, named by inode (their folders' inodes
// were in group 0), from the extraction and again from a snapshot of it, which keeps the superblock copy. The copies
// of the group descriptors are as mke2fs left them (debugfs rewrites only the primary ones, as the kernel does): they
// call groups 1 to 3 never initialised, so reading them as current would lose the files there.
TEST(ExtExtensiveExtractTest, OverwrittenVolumeGivesBackWhatLiesBeyondTheFormat) {
  const std::vector<WslFile> expected = FilesBeyondOverwrite();
  ASSERT_GE(expected.size(), 40u);  // the fixture puts most files past group 0
  const test::OpenedImage opened = test::OpenForSearch(ExtFixture("wsl-over.vhdx"));
  const SectorReader& reader = *opened.reader;
  const ExtensiveFindings findings = SearchExt(reader);
  ASSERT_EQ(findings.fileSystems.size(), 1u);
  ScanControl control;
  ScanResult result = ExtractFoundFileSystem(reader, findings, 1, test::FoundOnDisk(findings, 1, reader), control);
  ASSERT_TRUE(result.tree);
  EXPECT_EQ(result.family, FsFamily::kExt);
  EXPECT_EQ(result.params.superblockSector, findings.fileSystems[0].superblockSector);

  test::TempDir out;
  const SaveSummary summary = test::SaveEverything(reader, result.params, *result.store, *result.tree, out.Path());
  EXPECT_EQ(summary.failed, 0u);
  const auto saved = test::Sha256Tree(out.Path());
  for (const WslFile& file : expected) {
    SCOPED_TRACE(file.path);
    const auto it = saved.find(std::string(ToUtf8(kLostDirName)) + "/File" + std::to_string(file.inode));
    ASSERT_NE(it, saved.end());
    EXPECT_EQ(it->second, file.sha256);
  }

  SnapshotInfo info;
  info.mode = ScanMode::kExtensive;
  info.params = result.params;
  DecodedSnapshot decoded = DecodeSnapshot(EncodeFileSystemSnapshot(info, *result.store));
  ASSERT_TRUE(decoded.snapshot) << decoded.message;
  ScanResult kept = ResultOfSnapshot(*decoded.snapshot);
  EXPECT_EQ(kept.params.superblockSector, result.params.superblockSector);
  const FileSystemFamily& family = FamilyOf(FsFamily::kExt);
  EXPECT_TRUE(family.ResultFitsDisk(kept.params, *kept.store, reader));
  FsParams withoutCopy = kept.params;
  withoutCopy.superblockSector = 0;  // the primary is gone: without the copy the volume does not open
  EXPECT_FALSE(family.ResultFitsDisk(withoutCopy, *kept.store, reader));
  test::TempDir again;
  EXPECT_EQ(test::SaveEverything(reader, kept.params, *kept.store, *kept.tree, again.Path()).failed, 0u);
  EXPECT_EQ(test::Sha256Tree(again.Path()), saved);
}

// Copies of the intact WSL volume's superblocks damaged in memory: a copy that names the wrong group or gives
// impossible geometry adds no volume and does not hide the one the other copies show; a copy left alone is taken
// only where the folders it leads to name themselves.
TEST(ExtExtensiveSearchTest, DamagedCopiesFindNothingFalse) {
  const fs::path raw = ExtFixture("wsl-ext4.raw");
  const Dumpe2fsReport truth = Dumpe2fs(raw);
  ASSERT_EQ(truth.backups.size(), 2u);
  const std::uint64_t primary = ext::kSuperblockOffset;
  const std::uint64_t group1 = truth.backups[0] * truth.blockSize, group3 = truth.backups[1] * truth.blockSize;
  const std::uint64_t sector1 = group1 / kSectorSize;
  constexpr std::size_t kGroupOfCopy = 0x5A, kBlocksPerGroup = 0x20, kInodesCount = 0x00, kLogBlockSize = 0x18,
                        kMagic = 0x38, kWriteTime = 0x30;
  struct Patch {
    std::uint64_t offset;
    std::uint32_t value;
    std::size_t bytes;
  };
  struct Case {
    const char* name;
    std::vector<Patch> patches;
    bool zeroStart;  // the first 16 MiB zeroed, as the NTFS format leaves no superblock there
    std::vector<std::pair<std::uint64_t, std::uint64_t>> expected;  // start, superblock sector
  };
  const std::uint32_t inodes = truth.inodeCount;
  ASSERT_GT(inodes, 0u);
  const Case cases[] = {
      {"group 3's copy names group 9 of 4", {{group3 + kGroupOfCopy, 9, 2}}, false, {{0, 2}}},
      {"group 3's copy names group 2, which keeps none", {{group3 + kGroupOfCopy, 2, 2}}, false, {{0, 2}}},
      {"group 3's copy names group 1", {{group3 + kGroupOfCopy, 1, 2}}, false, {{0, 2}}},
      {"group 1's copy names group 0", {{group1 + kGroupOfCopy, 0, 2}}, false, {{0, 2}}},
      {"group 1's copy has no blocks per group", {{group1 + kBlocksPerGroup, 0, 4}}, false, {{0, 2}}},
      {"the primary gives blocks of 128 KiB", {{primary + kLogBlockSize, 7, 4}}, false, {{0, sector1}}},
      {"start zeroed", {}, true, {{0, sector1}}},
      {"the primary and group 3's copy gone: group 1's alone, taken as its folders name themselves",
       {{primary + kMagic, 0, 2}, {group3 + kMagic, 0, 2}}, false, {{0, sector1}}},
      {"the primary and group 1's copy gone, group 3's names group 1: its folders would not name themselves",
       {{primary + kMagic, 0, 2}, {group1 + kMagic, 0, 2}, {group3 + kGroupOfCopy, 1, 2}}, false, {}},
      {"start zeroed, group 1's copy with blocks of 128 KiB: group 3's alone shows no folder",
       {{group1 + kLogBlockSize, 7, 4}},
       true,
       {}},
      // A write time changed leaves a copy sound but failing its checksum.
      {"the primary's checksum fails: group 1's copy, whose holds, read in its place",
       {{primary + kWriteTime, 0x7FFFFFFF, 4}}, false, {{0, sector1}}},
      {"every copy's checksum fails: the primary read all the same",
       {{primary + kWriteTime, 0x7FFFFFFF, 4}, {group1 + kWriteTime, 1, 4}, {group3 + kWriteTime, 1, 4}},
       false,
       {{0, 2}}},
      {"every copy one inode short",
       {{primary + kInodesCount, inodes - 1, 4}, {group1 + kInodesCount, inodes - 1, 4},
        {group3 + kInodesCount, inodes - 1, 4}},
       false,
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto file = ImageFile::Open(raw);
    ASSERT_TRUE(file);
    PatchedSource disk(std::move(file));
    if (c.zeroStart) disk.Zero(0, kOverwrittenBytes);
    for (const Patch& p : c.patches) {
      std::vector<std::uint8_t> bytes(p.bytes);
      for (std::size_t i = 0; i < p.bytes; ++i) bytes[i] = static_cast<std::uint8_t>(p.value >> (8 * i));
      disk.Write(p.offset, bytes);
    }
    const SectorReader reader(disk);
    const ExtensiveFindings findings = SearchExt(reader);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> found;
    for (const FoundFileSystem& f : findings.fileSystems) found.emplace_back(f.Start(), f.superblockSector);
    EXPECT_EQ(found, c.expected);
  }
}

}  // namespace
}  // namespace dravik
