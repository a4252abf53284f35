// dravik scan extensive, scan trace, snapshot: what each lists (text, JSON shapes) and saves, once against the truth.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "CliRun.h"
#include "ExtensiveFixtures.h"
#include "FatFixtures.h"
#include "NtfsFixtures.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Has;
using test::Quote;
using test::RunCli;

TEST(ExtensiveCliTest, ListsTheVolumesFoundAndRecoversAPickedOne) {
  const auto truth = test::ReadTruth("twin");
  const auto twin = Quote(test::ExtensiveFixture("twin.vhd"));
  const auto text = test::RunShell(test::Dravik("scan extensive --fs fat32 --quiet " + twin) + " | cut -f 1-3");
  const auto json = RunCli("scan extensive --fs fat32 --quiet --json " + twin);
  ASSERT_EQ(text.status, 0);
  std::string lines, items;
  for (std::size_t i = 0; i < truth.size(); ++i) {
    const std::string at = std::to_string(i + 1) + "\t" + truth[i].type + " @ " + std::to_string(truth[i].clusterBase);
    lines += at + "\t" + std::to_string(truth[i].sectorsPerCluster * 512) + " bytes per cluster\n";
    items += at + "\t" + std::to_string(truth[i].sectorsPerCluster) + "\n";
  }
  EXPECT_EQ(text.out, lines);
  EXPECT_EQ(test::Py(json.out, "for o in d['fileSystems']:\n    assert o['end'] > o['start'], o\n"
                               "    print(o['index'], o['type'] + ' @ ' + str(o['start']), o['sectorsPerCluster'], "
                               "sep='\\t')\n"),
            items);
  // The FAT32 volume of twin has lost its boot sectors; searched from its start.
  test::TempDir dir;
  const auto saved = RunCli("scan extensive --fs fat32 --quiet --start " + std::to_string(truth[1].start) +
                            " --pick 1 --recover " + Quote(dir / "out") + " " + twin);
  EXPECT_EQ(saved.status, 0) << saved.err;
  EXPECT_EQ(test::HashTree(dir / "out"), test::VolumeFiles("twin", 2));
  // $MFTMirr holds copies of the first four records; each file is one item.
  const auto ntfs = RunCli("scan extensive --quiet --fs ntfs --pick 1 --list " + Quote(test::NtfsFixture("ntfs.vhdx")));
  std::map<std::string, int> paths;
  std::istringstream list(ntfs.out);
  for (std::string line; std::getline(list, line);) ++paths[line.substr(line.rfind('\t') + 1)];
  for (const auto& [path, count] : paths) EXPECT_EQ(count, 1) << path;
  EXPECT_EQ(paths["$MFTMirr"], 1);
}

// A boot sector set aside: the volume is found, and only --verbose says why.
TEST(ExtensiveCliTest, VerboseNamesWhyABootSectorWasSetAside) {
  const std::uint64_t fat = test::ReadFatLayout("fat16-32k").start, ntfs = test::NtfsStart();
  const auto f16 = test::FatFixture("fat16-32k.raw");
  const std::string off = std::to_string(fat + 8 + 128);  // 72 reserved sectors, not 64, move cluster 0 by 8
  const struct { fs::path from; std::string fs; std::uint64_t boot,
      at; std::vector<std::uint8_t> bytes; std::string why; } rows[] = {
      {f16, "fat16", fat, 13, {3}, "a FAT boot sector set aside: its sectors per cluster 3 is not a power of two"},
      {f16, "fat16", fat, 14, {72, 0}, "no folder found lies where its layout puts folders (cluster 0 at sector "
          + off},
      {test::NtfsFixture("ntfs.raw"), "ntfs", ntfs, 0x44, {0},
          "an NTFS boot sector set aside: the size of its index records is 0"}};
  test::TempDir dir;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    const auto image = dir / (std::to_string(&row - rows) + ".raw");
    fs::copy_file(row.from, image);
    test::PatchFile(image, row.boot * 512 + row.at, row.bytes);
    const std::string scan = "scan extensive --quiet --fs " + row.fs + " " + Quote(image);
    const auto verbose = RunCli(scan + " --verbose");
    EXPECT_EQ(verbose.status, 0) << "the volume is found all the same";
    EXPECT_TRUE(Has(verbose.err, "dravik: sector " + std::to_string(row.boot) + ": ") && Has(verbose.err, row.why))
        << verbose.err;
    EXPECT_FALSE(Has(RunCli(scan).err, "set aside"));
  }
}

// loopy's ".." names loopy's own cluster: loopy's subtree comes back under Lost Dir.
TEST(ExtensiveCliTest, AFolderWhoseParentEntryNamesItselfComesBackUnderLostDir) {
  test::TempDir dir;
  const auto made = test::RunShell(
      "export MTOOLS_SKIP_CHECK=1 && cd " + Quote(dir.Path()) +
      " && truncate -s 40M v.raw && echo 'start=2048, type=c' | sfdisk -q v.raw"
      " && mkfs.fat -F 32 -s 1 --offset 2048 v.raw 39936 >/dev/null && i=v.raw@@1048576"
      " && mmd -i $i ::/top ::/top/loopy ::/top/loopy/inner && echo loopy-data > d.txt"
      " && mcopy -i $i d.txt ::/top/loopy/file.txt && mcopy -i $i d.txt ::/top/loopy/inner/deep.txt"
      " && inode=$(fls -r -p -o 2048 v.raw"
      " | awk -F'\t' '$2 == \"top/loopy\" { split($1, a, \" \"); print a[2] }' | tr -d :)"
      " && sector=$(istat -o 2048 v.raw $inode | awk '/^Sectors:/ { getline; print $1 }')"
      " && python3 -c \"import sys; at = (2048 + int(sys.argv[1])) * 512; f = open('v.raw', 'r+b'); f.seek(at);"
      " d = bytearray(f.read(64)); d[52:54] = d[20:22]; d[58:60] = d[26:28]; f.seek(at); f.write(d)\" $sector"
      " && qemu-img convert -f raw -O vpc v.raw v.vhd 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  const auto run = RunCli("scan extensive --quiet --fs fat32 --pick 1 " + Quote(dir / "v.vhd") + " --recover "
      + Quote(dir / "out"));
  EXPECT_EQ(run.status, 0) << run.err;
  int found = 0;
  for (const auto& [path, sha] : test::HashTree(dir / "out"))
    if (path.ends_with("/file.txt") || path.ends_with("/inner/deep.txt"))
      found += path.rfind("Lost Dir/", 0) == 0 && test::ReadFileBytes(dir / "out" / path)
          == test::ReadFileBytes(dir / "d.txt");
  EXPECT_EQ(found, 2) << "loopy's two files, with their bytes, under Lost Dir";
}

// place 3: before the partition.
struct TracedFile { std::string extension; std::uint64_t sector = 0, place = 0, size = 0; std::string sha256, name; };

// Each file is found at its first sector under its type's extension and saved as itself (trimmed at the end its format
// records; --no-trim: at the carve size).
TEST(TraceCliTest, FindsEveryFileAtItsFirstSectorAndSavesItTrimmed) {
  std::ifstream in(test::FixtureIn("trace", "trace.manifest"));
  std::vector<TracedFile> files;
  for (TracedFile t; in >> t.extension >> t.sector >> t.place >> t.size >> t.sha256 >> t.name;) files.push_back(t);
  ASSERT_GE(files.size(), 80u);
  const auto early = *std::find_if(files.begin(), files.end(), [](const auto& f) { return f.place == 3; });
  std::erase_if(files, [](const TracedFile& f) { return f.place == 3; });
  std::string types = ".doc";  // first: a compound file takes the first type of its signature that it is
  for (const auto& f : files) types += f.extension == ".doc" ? "" : "," + f.extension;
  const std::string image = Quote(test::FixtureIn("trace", "trace.vhdx"));
  test::TempDir dir;
  const auto listed = RunCli("scan trace --quiet --list --types " + types + " --save-snapshot " + Quote(dir / "kept")
      + " " + image);
  ASSERT_EQ(listed.status, 0);
  std::map<std::uint64_t, std::string> found;  // sector -> listed path
  std::istringstream lines(listed.out);
  for (std::string kind, sector, path; lines >> kind >> sector && std::getline(lines >> std::ws, path);)
    EXPECT_TRUE(found.emplace(std::stoull(sector), path).second) << path << " listed twice";
  EXPECT_EQ(RunCli("snapshot --quiet --list " + Quote(dir / "kept")).out, listed.out) << "the snapshot lists the same";
  EXPECT_TRUE(Has(RunCli("snapshot --info " + Quote(dir / "kept.dvsf")).out, "Found files:          "
      + std::to_string(found.size())));
  const auto saved = RunCli("scan trace --quiet --size 1 --types " + types + " --recover " + Quote(dir / "out") + " "
      + image);
  ASSERT_EQ(saved.status, 0);
  for (const auto& f : files) {
    SCOPED_TRACE(f.name + " at " + std::to_string(f.sector));
    ASSERT_TRUE(found.count(f.sector));
    const std::string& path = found[f.sector];
    EXPECT_TRUE(path.ends_with(f.extension)) << path;
    const fs::path carved = dir / "out" / path.substr(path.rfind('/') + 1);
    EXPECT_EQ(fs::file_size(carved), f.size) << "every format traced here records its end";
    EXPECT_EQ(test::RunShell("head -c " + std::to_string(f.size) + " " + Quote(carved) + " | sha256sum").out.substr(0,
        64), f.sha256);
  }
  // The whole disk holds the icon before the partition too: found first, saved whole (or untrimmed).
  const auto whole = RunCli("scan trace --quiet --whole-disk --list --types .png,.ico " + image);
  EXPECT_EQ(whole.out.rfind("file\t" + std::to_string(early.sector) + "\tWindows Icon/.ico/1.ico\n", 0), 0u)
      << whole.out;
  const std::string ico = "scan trace --quiet --whole-disk --types .ico --select 1.ico --recover ";
  EXPECT_EQ(RunCli(ico + Quote(dir / "ico") + " " + image).status, 0);
  EXPECT_EQ(test::Sha256Bytes(test::ReadFileBytes(dir / "ico" / "1.ico")), early.sha256);
  EXPECT_EQ(RunCli(ico + Quote(dir / "full") + " --no-trim --size 1 " + image).status, 0);
  EXPECT_EQ(fs::file_size(dir / "full" / "1.ico"), 1048576u);
}

// text.tar holds picture.png behind its header: two hits left out and counted unless asked for.
TEST(TraceCliTest, TheTreeAndTheHitsInsideAFoundFile) {
  const std::string image = Quote(test::FixtureIn("trace", "trace.vhdx"));
  const auto left = RunCli("scan trace --list --types .tar,.png " + image);
  const auto every = RunCli("scan trace --quiet --list --keep-inner-hits --types .tar,.png " + image);
  ASSERT_EQ(left.status, 0);
  EXPECT_EQ(std::count(every.out.begin(), every.out.end(), '\n'), std::count(left.out.begin(), left.out.end(), '\n')
      + 2);
  EXPECT_TRUE(Has(left.err, " hits found, 2 of them inside a file found before them and not listed\n")) << left.err;
  const auto tree = RunCli("scan trace --quiet --types .png " + image);
  EXPECT_EQ(tree.out.rfind("Root/\n  PNG Image/\n    .png/\n      1.png  (sector ", 0), 0u) << tree.out;
}

// A result kept with --save-snapshot lists and saves (files and times) as the scan did.
void ExpectSnapshotActsAsTheScan(const std::string& scan, const fs::path& image, const fs::path& dir) {
  const std::string snapshot = Quote(dir / "kept");
  const auto listed = RunCli(scan + " --quiet --list --save-snapshot " + snapshot + " " + Quote(image));
  ASSERT_EQ(listed.status, 0);
  ASSERT_TRUE(fs::exists(dir / "kept.dvsf")) << "\".dvsf\" is appended";
  EXPECT_EQ(RunCli("snapshot --quiet --list " + snapshot).out, listed.out);
  ASSERT_EQ(RunCli(scan + " --quiet --recover " + Quote(dir / "scan") + " " + Quote(image)).status, 0);
  ASSERT_EQ(RunCli("snapshot --quiet --recover " + Quote(dir / "snap") + " " + Quote(image) + " " + snapshot).status,
      0);
  const auto times = [](const fs::path& at) {
    return test::RunShell("cd " + Quote(at) + " && find . -type f ! -name '*$*' -printf '%P %s %T@\\n' | sort").out;
  };
  EXPECT_EQ(times(dir / "snap"), times(dir / "scan"));
  EXPECT_EQ(test::HashTree(dir / "snap"), test::HashTree(dir / "scan"));
}

TEST(SnapshotCliTest, AKeptResultListsAndRecoversAsTheScan) {
  test::TempDir quick, extensive;
  ExpectSnapshotActsAsTheScan("scan quick", test::FatFixture("fat16.vhd"), quick.Path());
  // The second volume of ntfspair has no boot sector.
  ExpectSnapshotActsAsTheScan("scan extensive --fs ntfs --pick 2", test::ExtensiveFixture("ntfspair.vhd"),
      extensive.Path());
  const auto info = RunCli("snapshot --info " + Quote(extensive / "kept.dvsf"));
  EXPECT_TRUE(Has(info.out, "Mode:                 Extensive Scan\n") && Has(info.out, "Found file system:    2,") &&
              Has(info.out, "cluster 0 at sector " + std::to_string(test::ReadTruth("ntfspair")[1].start) + "\n"))
      << info.out;
}

}  // namespace
}  // namespace dravik
