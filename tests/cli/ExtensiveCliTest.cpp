// dravik scan extensive on the damaged FAT and NTFS disks: the list of the
// volumes found (text and JSON), recovery of a picked volume byte for byte,
// and the messages of a bad range and of a range where nothing is found.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "ExtensiveFixtures.h"
#include "FatFixtures.h"
#include "NtfsFixtures.h"
#include "TestFiles.h"
#include "fs/extensive/ExtensiveTexts.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::RunShell;

using test::Dravik;

std::string Image(const std::string& name) { return Quote(test::ExtensiveFixture(name)); }

TEST(ExtensiveCliTest, ListsTheVolumesFoundAsTextAndJson) {
  const auto truth = test::ReadTruth("twin");
  const auto text = RunShell(Dravik("scan extensive --fs fat32 --quiet " + Image("twin.vhd")));
  ASSERT_EQ(text.status, 0);
  std::string expected;
  for (std::size_t i = 0; i < truth.size(); ++i)
    expected += std::to_string(i + 1) + "\t" + truth[i].type + " @ " + std::to_string(truth[i].clusterBase) + "\t" +
                std::to_string(truth[i].sectorsPerCluster * 512) + " bytes per cluster\t";
  std::string listed;
  std::size_t from = 0;
  // The sizes follow the last tab of each line; the rest is compared whole.
  while (from < text.out.size()) {
    const std::size_t end = text.out.find('\n', from);
    const std::string line = text.out.substr(from, end - from);
    listed += line.substr(0, line.rfind('\t') + 1);
    from = end + 1;
  }
  EXPECT_EQ(listed, expected);

  const std::string reader =
      "import json, sys\n"
      "for o in json.load(sys.stdin)['fileSystems']:\n"
      "    print(o['index'], o['type'], o['start'], o['sectorsPerCluster'], o['end'] > o['start'])\n";
  const auto json =
      RunShell(Dravik("scan extensive --fs fat32 --json --quiet " + Image("twin.vhd")) + " | python3 -c " + Quote(reader));
  ASSERT_EQ(json.status, 0);
  std::string wanted;
  for (std::size_t i = 0; i < truth.size(); ++i)
    wanted += std::to_string(i + 1) + " " + truth[i].type + " " + std::to_string(truth[i].clusterBase) + " " +
              std::to_string(truth[i].sectorsPerCluster) + " True\n";
  EXPECT_EQ(json.out, wanted);
}

TEST(ExtensiveCliTest, RecoversAPickedVolumeByteForByte) {
  // The FAT32 volume of twin has lost its boot sectors; searched from its start.
  const auto truth = test::ReadTruth("twin");
  test::TempDir dir;
  const auto saved = RunShell(Dravik("scan extensive --fs fat32 --quiet --start " + std::to_string(truth[1].start) +
                                     " --pick 1 --recover " + Quote(dir / "out") + " " + Image("twin.vhd")));
  EXPECT_EQ(saved.status, 0);
  EXPECT_EQ(test::HashTree(dir / "out"), test::VolumeFiles("twin", 2));

  // noroot's files below its lost root come back under "Dir" + cluster.
  const auto folders = test::LostRootFolders();
  std::map<std::string, std::string> expected;
  for (const auto& [path, sum] : test::VolumeFiles("noroot", 1)) {
    const auto slash = path.find('/');
    if (slash != std::string::npos)
      expected["Dir" + std::to_string(folders.at(path.substr(0, slash))) + path.substr(slash)] = sum;
  }
  const auto lost = RunShell(Dravik("scan extensive --fs fat16 --quiet --pick 1 --recover " + Quote(dir / "lost") +
                                    " " + Image("noroot.vhd")));
  EXPECT_EQ(lost.status, 0);
  EXPECT_EQ(test::HashTree(dir / "lost"), expected);
}

// A boot sector with its family's label that the identification cannot
// use: the volume is still found (FAT through its folders, NTFS through the
// backup boot sector), and --verbose says, at the boot sector, which check
// set it aside; without --verbose nothing is said.
TEST(ExtensiveCliTest, VerboseNamesWhyADamagedBootSectorWasSetAside) {
  const std::uint64_t fat = test::ReadFatLayout("fat16-32k").start;
  const std::uint64_t ntfs = test::NtfsStart();
  const struct {
    const char* name;
    fs::path from;
    const char* fs;
    std::uint64_t boot;
    std::uint64_t offset;
    std::vector<std::uint8_t> bytes;
    std::string why;
  } cases[] = {
      {"cluster.raw", test::FatFixture("fat16-32k.raw"), "fat16", fat, 13, {3},
       "a FAT boot sector set aside: its sectors per cluster 3 is not a power of two"},
      // 72 reserved sectors instead of 64 move cluster 0 (128 sectors into
      // the volume) 8 sectors off the folders.
      {"reserved.raw", test::FatFixture("fat16-32k.raw"), "fat16", fat, 14, {72, 0},
       "a FAT boot sector set aside: no folder found lies where its layout puts folders (cluster 0 at sector " +
           std::to_string(fat + 8 + 128) + ", 64 sectors per cluster)"},
      // Clusters per index record 0.
      {"index.raw", test::NtfsFixture("ntfs.raw"), "ntfs", ntfs, 0x44, {0},
       "an NTFS boot sector set aside: the size of its index records is 0"},
  };
  test::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto image = dir / c.name;
    fs::copy_file(c.from, image);
    test::PatchFile(image, c.boot * 512 + c.offset, c.bytes);
    const std::string scan = "scan extensive --fs " + std::string(c.fs) + " --quiet ";
    const auto verbose = RunShell(Dravik(scan + "--verbose " + Quote(image)) + " 2>&1");
    EXPECT_EQ(verbose.status, 0) << "the volume is found all the same";
    const std::string said = "dravik: sector " + std::to_string(c.boot) + ": " + c.why;
    EXPECT_NE(verbose.out.find(said), std::string::npos) << verbose.out;
    EXPECT_NE(verbose.out.find("likely cause: a damaged boot sector"), std::string::npos) << verbose.out;
    const auto plain = RunShell(Dravik(scan + Quote(image)) + " 2>&1");
    EXPECT_EQ(plain.out.find("set aside"), std::string::npos) << plain.out;
  }
  // An intact volume's boot sectors, the FAT32 backup among them, are not
  // set aside.
  const auto intact =
      RunShell(Dravik("scan extensive --fs fat32 --quiet --verbose " + Quote(test::FatFixture("fat32.vhdx"))) + " 2>&1");
  EXPECT_EQ(intact.out.find("set aside"), std::string::npos) << intact.out;
}

TEST(ExtensiveCliTest, FindsAnNtfsVolumeWithAndWithoutBootSectorsAndRecoversItsFiles) {
  const auto truth = test::ReadTruth("ntfslost");
  const std::string found = std::to_string(truth[0].start);
  const std::string cluster = std::to_string(truth[0].sectorsPerCluster * 512);
  const auto intact = RunShell(Dravik("scan extensive --fs ntfs --quiet " + Image("ntfsok.vhd")));
  ASSERT_EQ(intact.status, 0);
  EXPECT_EQ(intact.out, "1\tNTFS @ " + found + "\t" + cluster + " bytes per cluster\t49152 sectors\n");

  const std::string reader =
      "import json, sys\n"
      "for o in json.load(sys.stdin)['fileSystems']:\n"
      "    print(o['index'], o['type'], o['start'], o['sectorsPerCluster'], o['end'] > o['start'])\n";
  const auto json = RunShell(Dravik("scan extensive --fs ntfs --json --quiet " + Image("ntfslost.vhd")) +
                             " | python3 -c " + Quote(reader));
  ASSERT_EQ(json.status, 0);
  EXPECT_EQ(json.out, "1 NTFS " + found + " " + std::to_string(truth[0].sectorsPerCluster) + " True\n");

  test::TempDir dir;
  const auto saved = RunShell(Dravik("scan extensive --fs ntfs --quiet --pick 1 --recover " + Quote(dir / "out") +
                                     " --select Alpha --select Beta --select " + Quote("top file.txt") + " " +
                                     Image("ntfslost.vhd")));
  EXPECT_EQ(saved.status, 0);
  EXPECT_EQ(test::HashTree(dir / "out"), test::VolumeFiles("ntfslost", 1));

  const auto none = RunShell(Dravik("scan extensive --fs ntfs --quiet --end " + std::to_string(truth[0].start - 1) +
                                    " " + Image("ntfslost.vhd")) + " 2>&1 >/dev/null");
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, std::string(ExtensiveTexts::kNoneFoundMessage) + "\n");
}

// ntfspair: a volume whose MFT record 0 and its copy are gone, with a
// deleted folder, and one without boot sectors; each picked in turn from
// one search's list.
TEST(ExtensiveCliTest, RecoversBothVolumesOfADiskDeletedFilesIncluded) {
  const auto truth = test::ReadTruth("ntfspair");
  const auto listed = RunShell(Dravik("scan extensive --fs ntfs --quiet " + Image("ntfspair.vhd")) + " | cut -f1,2");
  ASSERT_EQ(listed.status, 0);
  EXPECT_EQ(listed.out, "1\tNTFS @ " + std::to_string(truth[0].start) + "\n2\tNTFS @ " +
                            std::to_string(truth[1].start) + "\n");
  // The files of "Gone" were deleted last, so nothing took their clusters.
  std::map<std::string, std::string> first = test::VolumeFiles("ntfspair", 1);
  std::ifstream deleted(test::ExtensiveFixture("ntfspair.deleted"));
  for (std::string volume, path, size, sum; deleted >> std::ws && std::getline(deleted, volume, '\t') &&
                                            std::getline(deleted, path, '\t') && std::getline(deleted, size, '\t') &&
                                            std::getline(deleted, sum);)
    first[path] = sum;
  test::TempDir dir;
  const auto one = RunShell(Dravik("scan extensive --fs ntfs --quiet --pick 1 --select Kept --select Gone --recover " +
                                   Quote(dir / "one") + " " + Image("ntfspair.vhd")));
  EXPECT_EQ(one.status, 0);
  EXPECT_EQ(test::HashTree(dir / "one"), first);
  const auto two = RunShell(Dravik("scan extensive --fs ntfs --quiet --pick 2 --select North --select South --recover " +
                                   Quote(dir / "two") + " " + Image("ntfspair.vhd")));
  EXPECT_EQ(two.status, 0);
  EXPECT_EQ(test::HashTree(dir / "two"), test::VolumeFiles("ntfspair", 2));
}

TEST(ExtensiveCliTest, BadRangesAndEmptyRangesSayWhy) {
  const auto none = RunShell(Dravik("scan extensive --fs fat16 --quiet --end 2000 " + Image("twin.vhd")) +
                             " 2>&1 >/dev/null");
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, std::string(ExtensiveTexts::kNoneFoundMessage) + "\n");

  const auto start = RunShell(Dravik("scan extensive --fs fat16 --start x1 " + Image("twin.vhd")) + " 2>&1");
  EXPECT_EQ(start.status, 2);
  EXPECT_EQ(start.out, std::string(ExtensiveTexts::kStartNotValid) + "\n");
  const auto order = RunShell(Dravik("scan extensive --fs fat16 --start 100 --end 50 " + Image("twin.vhd")) + " 2>&1");
  EXPECT_EQ(order.status, 2);
  EXPECT_EQ(order.out, std::string(ExtensiveTexts::kEndNotBigger) + "\n");

  EXPECT_EQ(RunShell(Dravik("scan extensive " + Image("twin.vhd")) + " 2>/dev/null").status, 2) << "no --fs";
  EXPECT_EQ(RunShell(Dravik("scan extensive --fs fat32 --recover /tmp/x " + Image("twin.vhd")) + " 2>/dev/null").status,
            2)
      << "--recover without --pick";
  EXPECT_EQ(RunShell(Dravik("scan quick --fs fat32 " + Image("twin.vhd")) + " 2>/dev/null").status, 2);
  EXPECT_EQ(RunShell(Dravik("scan extensive --fs fat32 --quiet --pick 3 " + Image("twin.vhd")) + " 2>/dev/null").status,
            1);
}

TEST(ExtensiveCliTest, AFolderWhoseParentEntryNamesItselfComesBackUnderLostDir) {
  // mtools makes top/loopy/{file.txt, inner/deep.txt}; then loopy's ".."
  // entry is made to name loopy's own cluster, as some damaged volumes have it.
  test::TempDir dir;
  const auto made = RunShell(
      "export MTOOLS_SKIP_CHECK=1 && cd " + Quote(dir.Path()) +
      " && truncate -s 40M v.raw && echo 'start=2048, type=c' | sfdisk -q v.raw"
      " && mkfs.fat -F 32 -s 1 --offset 2048 v.raw 39936 >/dev/null && i=v.raw@@1048576"
      " && mmd -i $i ::/top ::/top/loopy ::/top/loopy/inner && echo loopy-data > d.txt"
      " && mcopy -i $i d.txt ::/top/loopy/file.txt && mcopy -i $i d.txt ::/top/loopy/inner/deep.txt"
      " && inode=$(fls -r -p -o 2048 v.raw | awk -F'\t' '$2 == \"top/loopy\" { split($1, a, \" \"); print a[2] }' | tr -d :)"
      " && sector=$(istat -o 2048 v.raw $inode | awk '/^Sectors:/ { getline; print $1 }')"
      " && python3 -c \"import sys; at = (2048 + int(sys.argv[1])) * 512; f = open('v.raw', 'r+b'); f.seek(at);"
      " d = bytearray(f.read(64)); d[52:54] = d[20:22]; d[58:60] = d[26:28]; f.seek(at); f.write(d)\" $sector"
      " && qemu-img convert -f raw -O vpc v.raw v.vhd 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  const auto run = RunShell(Dravik("scan extensive --quiet --fs fat32 --pick 1 " + Quote(dir / "v.vhd") +
                                   " --recover " + Quote(dir / "out")) + " 2>&1");
  EXPECT_EQ(run.status, 0) << run.out;
  const auto saved = test::HashTree(dir / "out");
  int found = 0;
  for (const auto& [path, sha] : saved) {
    const bool file = path.size() > 9 && path.compare(path.size() - 9, 9, "/file.txt") == 0;
    const bool deep = path.size() > 15 && path.compare(path.size() - 15, 15, "/inner/deep.txt") == 0;
    if (!file && !deep) continue;
    EXPECT_EQ(path.rfind("Lost Dir/", 0), 0u) << path;
    EXPECT_EQ(test::ReadFileBytes(dir / "out" / path), test::ReadFileBytes(dir / "d.txt")) << path;
    ++found;
  }
  EXPECT_EQ(found, 2) << "the folder's subtree is not saved";
}

TEST(ExtensiveCliTest, NtfsRecordsMirroredInMftMirrAreListedOnce) {
  // $MFTMirr holds copies of the first four records; each file is one item.
  const auto run = RunShell(Dravik("scan extensive --quiet --fs ntfs --pick 1 --list " +
                                   Quote(test::NtfsFixture("ntfs.vhdx"))) + " 2>/dev/null");
  ASSERT_EQ(run.status, 0);
  std::map<std::string, int> paths;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);)
    if (const auto tab = line.rfind('\t'); tab != std::string::npos) ++paths[line.substr(tab + 1)];
  for (const char* system : {"$MFT", "$MFTMirr", "$LogFile", "$Volume"}) EXPECT_EQ(paths[system], 1) << system;
  for (const auto& [path, count] : paths) EXPECT_EQ(count, 1) << path;
}

}  // namespace
}  // namespace dravik
