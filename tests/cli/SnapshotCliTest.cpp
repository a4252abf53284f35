// dravik scan ... --save-snapshot and dravik snapshot: a result kept and read
// back lists and recovers as the scan did (the same files, sizes and
// modification times), for the Quick Scan of FAT and NTFS and for an
// Extensive Scan's picked volume; and what is refused.

#include <gtest/gtest.h>

#include "ExtensiveFixtures.h"
#include "FatFixtures.h"
#include "NtfsFixtures.h"
#include "TestFiles.h"
#include "snapshot/SnapshotTexts.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::RunShell;

using test::Dravik;

// Path, size and modification time of the files below dir, one a line
// (folders take the time of saving; so do NTFS system files, which are
// still being written while the volume is mounted).
std::string TreeWithTimes(const fs::path& dir) {
  const auto listed =
      RunShell("cd " + Quote(dir) + " && find . -type f ! -name '*$*' -printf '%P %s %T@\\n' | sort");
  EXPECT_EQ(listed.status, 0);
  return listed.out;
}

// Scans with --save-snapshot, then checks that the snapshot lists the same
// and recovers the same as the scan itself.
void ExpectSnapshotActsAsTheScan(const std::string& scan, const fs::path& image) {
  test::TempDir dir;
  const std::string snapshot = Quote(dir / "kept");
  const auto listed = RunShell(Dravik(scan + " --quiet --list --save-snapshot " + snapshot + " " + Quote(image)));
  ASSERT_EQ(listed.status, 0);
  ASSERT_TRUE(fs::exists(dir / "kept.dvsf")) << "\".dvsf\" is appended";
  const auto relisted = RunShell(Dravik("snapshot --quiet --list " + snapshot));
  EXPECT_EQ(relisted.status, 0);
  EXPECT_EQ(relisted.out, listed.out);

  ASSERT_EQ(RunShell(Dravik(scan + " --quiet --recover " + Quote(dir / "scan") + " " + Quote(image))).status, 0);
  ASSERT_EQ(RunShell(Dravik("snapshot --quiet --recover " + Quote(dir / "snap") + " " + Quote(image) + " " + snapshot))
                .status,
            0);
  EXPECT_EQ(TreeWithTimes(dir / "snap"), TreeWithTimes(dir / "scan"));
  EXPECT_EQ(test::HashTree(dir / "snap"), test::HashTree(dir / "scan"));
}

TEST(SnapshotCliTest, AQuickScanKeptListsAndRecoversAsTheScan) {
  ExpectSnapshotActsAsTheScan("scan quick", test::FatFixture("fat32.vhdx"));
  ExpectSnapshotActsAsTheScan("scan quick", test::FatFixture("fat16.vhd"));
  ExpectSnapshotActsAsTheScan("scan quick", test::NtfsFixture("ntfs.vhdx"));
}

// The second volume of ntfspair has no boot sector; its files are read at
// the records the search found.
TEST(SnapshotCliTest, AnExtensiveScanKeptRecoversThePickedVolume) {
  ExpectSnapshotActsAsTheScan("scan extensive --fs ntfs --pick 2", test::ExtensiveFixture("ntfspair.vhd"));
  ExpectSnapshotActsAsTheScan("scan extensive --fs fat16 --pick 1", test::ExtensiveFixture("noroot.vhd"));

  test::TempDir dir;
  const auto image = Quote(test::ExtensiveFixture("ntfspair.vhd"));
  ASSERT_EQ(RunShell(Dravik("scan extensive --fs ntfs --pick 2 --quiet --save-snapshot " + Quote(dir / "x.dvsf") +
                            " " + image + " >/dev/null")).status,
            0);
  const auto info = RunShell(Dravik("snapshot --info " + Quote(dir / "x.dvsf")));
  EXPECT_EQ(info.status, 0);
  const auto truth = test::ReadTruth("ntfspair");
  EXPECT_NE(info.out.find("Mode:                 Extensive Scan\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("cluster 0 at sector " + std::to_string(truth[1].start) + "\n"), std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("Found file system:    2,"), std::string::npos) << info.out;
}

TEST(SnapshotCliTest, WhatCannotBeDoneIsRefusedAndNothingIsWritten) {
  test::TempDir dir;
  const auto ntfs = Quote(test::NtfsFixture("ntfs.vhdx"));
  const fs::path kept = dir / "kept.dvsf";
  ASSERT_EQ(RunShell(Dravik("scan quick --quiet --save-snapshot " + Quote(kept) + " " + ntfs + " >/dev/null")).status,
            0);
  const auto before = test::ReadFileBytes(kept);

  // An existing snapshot is not written over without --replace.
  const auto again = RunShell(Dravik("scan quick --quiet --save-snapshot " + Quote(kept) + " " + ntfs + " 2>&1"));
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.out.find("already exists"), std::string::npos) << again.out;
  EXPECT_EQ(test::ReadFileBytes(kept), before);
  EXPECT_EQ(RunShell(Dravik("scan quick --quiet --replace --save-snapshot " + Quote(kept) + " " + ntfs +
                            " >/dev/null")).status,
            0);

  // Recovering needs the image, and the right one: a small FAT disk does
  // not hold the sectors an NTFS snapshot names.
  EXPECT_EQ(RunShell(Dravik("snapshot --quiet --recover " + Quote(dir / "out") + " " + Quote(kept) + " 2>/dev/null"))
                .status,
            2);
  const auto wrong = RunShell(Dravik("snapshot --quiet --recover " + Quote(dir / "out") + " " +
                                     Quote(test::ExtensiveFixture("twin.vhd")) + " " + Quote(kept) + " 2>&1"));
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.out.find("not the image the snapshot was made of"), std::string::npos) << wrong.out;
  EXPECT_FALSE(fs::exists(dir / "out"));

  // Files that are no snapshot, or are cut short.
  const auto missing = RunShell(Dravik("snapshot " + Quote(dir / "none") + " 2>&1"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, (dir / "none.dvsf").string() + SnapshotTexts::kDoesNotExist + "\n");
  test::WriteFileBytes(dir / "image.dvsf", test::ReadFileBytes(test::FatFixture("fat16.vhd")));
  EXPECT_EQ(RunShell(Dravik("snapshot " + Quote(dir / "image.dvsf") + " 2>&1")).out,
            std::string(SnapshotTexts::kInvalidSnapshot) + "\n");
  std::vector<std::uint8_t> cut = before;
  cut.resize(cut.size() / 2);
  test::WriteFileBytes(dir / "cut.dvsf", cut);
  const auto half = RunShell(Dravik("snapshot --list " + Quote(dir / "cut.dvsf") + " 2>&1"));
  EXPECT_EQ(half.status, 1);
  EXPECT_EQ(half.out, std::string(SnapshotTexts::kMismatch) + "\n");

  // An Extensive Scan keeps one picked file system.
  EXPECT_EQ(RunShell(Dravik("scan extensive --fs ntfs --save-snapshot " + Quote(dir / "e") + " " + ntfs +
                            " 2>/dev/null")).status,
            2);
}

}  // namespace
}  // namespace dravik
