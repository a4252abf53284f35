// dravik scan quick: its listings and saves against the manifests and tools, saves that are not whole, broken images.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include "Bytes.h"
#include "ChainWriter.h"
#include "CliRun.h"
#include "ExtFixtures.h"
#include "FatFixtures.h"
#include "NtfsFixtures.h"
#include "Oracles.h"
#include "SaveFixtures.h"
#include "fs/LostBlockPlacement.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::CliRun;
using test::Has;
using test::Quote;
using test::RunCli;

std::size_t Lines(const std::string& text, const std::string& part) {  // how often part is in text
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

std::map<std::string, std::string> Saved(const fs::path& dir) {
  std::map<std::string, std::string> saved;
  for (const auto& [path, sha] : test::HashTree(dir)) saved[test::CanonicalSavedPath(path)] = sha;
  return saved;
}

void ExpectManifestSaved(const fs::path& dir, const std::string& disk) {
  const auto saved = Saved(dir);
  for (const auto& file : test::ReadManifest(disk))
    EXPECT_TRUE(file.size == 0 || (saved.count(file.key) && saved.at(file.key) == file.sha256)) << file.path;
}

CliRun Recover(const std::string& image, const fs::path& dest, const std::string& options = "") {
  return RunCli("scan quick --quiet " + image + " --recover " + Quote(dest) + " " + options);
}

TEST(ScanCliTest, ListsAsTreeLinesOrJsonAndSavesTheManifestOrWhatTheOptionsChoose) {
  const auto image = Quote(test::FatFixture("fat16.vhdx"));
  const auto json = RunCli("scan quick --quiet --json " + image);
  ASSERT_EQ(json.status, 0);
  const std::string counts = test::Py(json.out,
      "f = [o for o in d['items'] if o['kind'] == 'file']\n"
      "for o in d['items']:\n"
      "    assert o['kind'] in ('file', 'folder') and o['path'].endswith(o['name']), o\n"
      "    assert isinstance(o['deleted'], bool) and isinstance(o['id'], int) and isinstance(o['modified'], str), o\n"
      "    assert o['createdUtc'] is None and (o['modifiedUtc'] is None or o['modifiedUtc'].endswith('Z')), o\n"
      "    assert (o['kind'] == 'file') == isinstance(o.get('size'), int), o\n"
      "print(len(d['items']), len(f), sum(o['deleted'] for o in f), "
      "sum(o['name'].lower().endswith('.txt') for o in f))\n");
  std::istringstream in(counts);
  std::size_t items = 0, files = 0, deleted = 0, txt = 0;
  ASSERT_TRUE(in >> items >> files >> deleted >> txt && deleted > 10) << counts;
  const auto list = RunCli("scan quick --quiet --list " + image);
  EXPECT_EQ(Lines(list.out, "\n"), items);
  EXPECT_TRUE(Has(list.out, "file\tlive\t700\t2001-02-03T07:13:02Z\tREADME.TXT\n")
      && Has(list.out, "folder\tlive\t-\t"));
  EXPECT_TRUE(Has(json.err, "select Extensive Scan")) << "the scan's closing message goes to standard error";
  const auto tree = RunCli("scan quick --quiet " + image);
  EXPECT_EQ(tree.out.rfind("Root/\n  README.TXT  (700 bytes)\n", 0), 0u) << tree.out;
  EXPECT_EQ(Lines(tree.out, "  [deleted]"), Lines(list.out, "\tdeleted\t")) << "deleted files and folders are marked";
  test::TempDir dir;
  const auto saved = Recover(image, dir / "out");  // the folder is made
  ASSERT_EQ(saved.status, 0) << saved.err;
  EXPECT_EQ(saved.out, std::to_string(Saved(dir / "out").size()) + " files saved into " + (dir / "out").string()
      + "\n");
  ExpectManifestSaved(dir / "out", "fat16");
  // --deleted and --filter reach the save; the count line says what the filters left out.
  const std::string left = "; the filters left out ";
  const struct { std::string options; int status; std::size_t saved; std::string said, err; } rows[] = {
      {"--deleted only", 0, deleted, "\n", ""}, {"--deleted exclude", 0, files - deleted, "\n", ""},
      {"--filter '*.TXT'", 0, txt, left + std::to_string(files - txt) + " checked files\n", ""},
      {"--filter '*.nomatch'", 1, 0, left + std::to_string(files) + " checked files\n",
       "dravik: nothing was saved: the filters left out all " + std::to_string(files) + " files checked\n"}};
  for (const auto& row : rows) {
    const auto dest = dir / std::to_string(&row - rows);
    const auto run = Recover(image, dest, row.options);
    EXPECT_EQ(run.status, row.status) << row.options;
    EXPECT_EQ(run.out, std::to_string(row.saved) + " files saved into " + dest.string() + row.said);
    EXPECT_TRUE(Has(run.err, row.err)) << run.err;
  }
  // --select: a folder is recreated with its path, a file written into the folder itself.
  std::map<std::string, std::string> sha;
  for (const auto& f : test::ReadManifest("fat16")) sha[f.path] = f.sha256;
  EXPECT_EQ(Recover(image, dir / "a", "--select 'Docs/Sub Folder'").out.rfind("1 files saved into ", 0), 0u);
  const std::string deeper = "Docs/Sub Folder/Deep/deeper file.txt";
  EXPECT_EQ(test::HashTree(dir / "a"), (std::map<std::string, std::string>{{deeper, sha[deeper]}}));
  Recover(image, dir / "b", "--select /Docs/Report.txt --select 'Docs/日本.txt' --select README.TXT");
  EXPECT_EQ(test::HashTree(dir / "b"), (std::map<std::string, std::string>{{"Report.txt", sha["Docs/Report.txt"]},
                                                                           {"日本.txt", sha["Docs/日本.txt"]},
                                                                           {"README.TXT", sha["README.TXT"]}}));
  const auto missing = Recover(image, dir / "c", "--select Docs/absent.txt");
  EXPECT_TRUE(missing.status == 1 && Has(missing.err, "dravik: --select Docs/absent.txt: no such folder or file in the "
                                                      "scan result\n"));
}

fs::path LargeFixture(const std::string& name) { return test::FixtureIn("large", name); }

// Live files below the volume's root as fls lists them, without the NTFS metadata files and named streams.
std::set<std::string> FlsFiles(std::uint64_t start) {
  std::set<std::string> files;
  for (const test::FlsItem& item : test::Fls(LargeFixture("large.raw"), start))
    if (!item.folder && !item.deleted && !item.virtualEntry && item.path[0] != '$' &&
        item.path.find(':') == std::string::npos && item.path.find("(Volume Label Entry)") == std::string::npos)
      files.insert(item.path);
  return files;
}

// Live files of --list, without the NTFS metadata files.
std::set<std::string> ListedFiles(const fs::path& image, std::size_t partition) {
  const auto listed = RunCli("scan quick --quiet --list --partition " + std::to_string(partition) + " " + Quote(image));
  EXPECT_EQ(listed.status, 0);
  std::set<std::string> files;
  std::istringstream lines(listed.out);
  for (std::string line; std::getline(lines, line);) {
    const auto f = test::Split(line, '\t');
    if (f.size() == 5 && f[0] == "file" && f[1] == "live" && f[4][0] != '$') files.insert(f[4]);
  }
  return files;
}

// The manifests of the large disk hold "SHA256 SIZE PATH" lines.
TEST(ScanCliTest, PartitionsPastTwoTebibytesListAsMmlsAndFlsSaveAsTheirManifestsAndAreFoundWithoutTheTable) {
  const fs::path image = LargeFixture("large.vhdx");
  const auto mmls = test::Mmls(LargeFixture("large.raw"));
  ASSERT_EQ(mmls.size(), 2u);
  ASSERT_GT(mmls[0].start, 1ULL << 32);
  const auto text = RunCli("partitions --quiet " + Quote(image));
  EXPECT_EQ(text.status, 0);
  const char* kinds[] = {"ntfs", "fat32"};
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(kinds[i]);
    const std::uint64_t start = mmls[i].start, sectors = mmls[i].length;
    EXPECT_TRUE(Has(text.out, "Partition " + std::to_string(i) + ": " + (i ? "FAT32" : "NTFS") + ", start " +
                              std::to_string(start) + ", " + std::to_string(sectors) + " sectors, end " +
                              std::to_string(start + sectors - 1)))
        << text.out;
    EXPECT_EQ(ListedFiles(image, i), FlsFiles(mmls[i].start));
    test::TempDir out;
    const auto saved = Recover(Quote(image), out.Path(), "--partition " + std::to_string(i));
    EXPECT_EQ(saved.status, 0) << saved.err;
    std::map<std::string, std::string> got, want;
    for (const auto& [path, sha] : test::Sha256Tree(out.Path()))
      if (path[0] != '$') got[path] = sha;
    std::ifstream manifest(LargeFixture(std::string(kinds[i]) + ".manifest"));
    std::string sha, size, path;
    while (manifest >> sha >> size && std::getline(manifest >> std::ws, path)) want[path] = sha;
    EXPECT_EQ(got, want);
  }
  const auto lost = RunCli("partitions --quiet --json " + Quote(LargeFixture("lost.vhdx")));
  ASSERT_EQ(lost.status, 0) << lost.err;
  EXPECT_EQ(test::Py(lost.out, "for i, p in enumerate(d['partitions']):\n"
                               "    assert p['index'] == i and isinstance(p['type'], str), p\n"
                               "    print(p['start'])\n"),
            std::to_string(mmls[0].start) + "\n" + std::to_string(mmls[1].start) + "\n");
  EXPECT_EQ(ListedFiles(LargeFixture("lost.vhdx"), 1), FlsFiles(mmls.at(1).start));
}

TEST(ScanCliTest, AVolumeWithNoFileToSaveIsNoSuccess) {
  test::TempDir dir;
  const auto made = test::RunShell("cd " + Quote(dir.Path()) + " && truncate -s 8M e.raw && mkfs.fat -F 16 -s 1 e.raw "
                                   ">/dev/null && qemu-img convert -f raw -O vpc e.raw e.vhd 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  const auto empty = Recover(Quote(dir / "e.vhd"), dir / "a");
  EXPECT_TRUE(empty.status == 1 && empty.out == "0 files saved into " + (dir / "a").string() + "\n") << empty.out;
  EXPECT_TRUE(Has(empty.err, "dravik: nothing was saved: there are no files to save\n")) << empty.err;
}

TEST(RecoverFailureCliTest, AFullDestinationNamesTheFirstFilesAndEndsWithStatusOne) {
  test::TempDir dir;
  test::SmallTmpfs small(dir / "small", "2m");
  if (!small.Mounted()) GTEST_SKIP() << small.Problem();
  const fs::path dest = small.Path() / "out";
  const auto run = Recover(Quote(test::SaveFixture("fill.vhd")), dest);
  const auto saved = test::HashTree(dest);  // the count is of the files saved whole
  EXPECT_TRUE(run.status == 1 && run.out == std::to_string(saved.size()) + " files saved into " + dest.string() + "\n");
  const auto manifest = test::ReadFillManifest();
  const std::size_t failed = manifest.size() - saved.size();
  ASSERT_GT(failed, 20u);
  EXPECT_TRUE(Has(run.err, "dravik: " + std::to_string(failed) + " files could not be saved:\n")) << run.err;
  EXPECT_EQ(Lines(run.err, "dravik:   failed\t" + (dest / "fill").string() + "/part-"), 20u) << run.err;
  EXPECT_EQ(Lines(run.err, ": " + std::string(std::strerror(ENOSPC))), 20u);
  EXPECT_TRUE(Has(run.err, "dravik:   ... and " + std::to_string(failed - 20)
      + " more (--report FILE lists them all)"));
  for (const auto& [path, sha] : saved) {  // no part of a file that failed is left
    const std::string original = test::OriginalPath(path, manifest);
    EXPECT_TRUE(!original.empty() && sha == manifest.at(original)) << path << " is not a whole file of the disk";
  }
  EXPECT_TRUE(fs::exists(dest / "README.TXT") && test::HashTree(dest / "names").size() == 1u) << "later files fit";
  EXPECT_EQ(test::ListTree(small.Path()).front(), "out") << "nothing is written beside the destination";
}

// Files with bytes a cut image cannot give: saved, zeros standing in, named in the report and (20) on stderr.
TEST(RecoverFailureCliTest, AnImageCutShortNamesEveryIncompleteFileInTheReport) {
  test::TempDir dir;
  fs::copy_file(test::SaveFixture("fill.vhd"), dir / "cut.vhd");
  fs::resize_file(dir / "cut.vhd", fs::file_size(dir / "cut.vhd") * 7 / 10);
  const auto run = Recover(Quote(dir / "cut.vhd"), dir / "out", "--report " + Quote(dir / "report.json"));
  ASSERT_EQ(run.status, 1);
  const auto bytes = test::ReadFileBytes(dir / "report.json");
  std::istringstream report(test::Py({bytes.begin(), bytes.end()},
      "assert all(f.keys() == {'path', 'status', 'reason', 'missingBytes'} and f['status'] == 'incomplete' and "
      "f['missingBytes'] > 0 for f in d['files'])\n"
      "print(d['saved'], d['failed'], d['incomplete'], len(d['files']))\n"));
  std::size_t saved = 0, failed = 0, incomplete = 0, named = 0;
  ASSERT_TRUE(report >> saved >> failed >> incomplete >> named) << report.str();
  EXPECT_TRUE(failed == 0u && named == incomplete && saved + incomplete == test::ReadFillManifest().size());
  EXPECT_EQ(Lines(run.err, "dravik:   incomplete\t"), std::min<std::size_t>(incomplete, 20)) << run.err;
  EXPECT_TRUE(Has(run.err, "dravik: " + std::to_string(incomplete)
      + " files saved with parts the image could not give"));
}

// Folders a cut disk cannot list are named (their files cannot be), no success; every live file not saved is in one.
TEST(RecoverFailureCliTest, FoldersACutDiskCannotListAreNamed) {
  test::TempDir dir;
  fs::copy_file(test::FatFixture("fat32.vhdx"), dir / "cut.vhdx");
  fs::resize_file(dir / "cut.vhdx", fs::file_size(dir / "cut.vhdx") * 7 / 10 / (1 << 20) * (1 << 20));
  const auto run = Recover(Quote(dir / "cut.vhdx"), dir / "out");
  const std::string heading = "folders could not be read whole; files in them may be missing:\n";
  ASSERT_TRUE(run.status == 1 && Has(run.err, heading)) << run.err;
  const auto one = Recover(Quote(dir / "cut.vhdx"), dir / "one", "--select README.TXT");  // saved whole: still status 1
  EXPECT_TRUE(one.status == 1 && Has(one.out, "1 files saved") && Has(one.err, heading)) << one.err;
  std::vector<std::string> unread;
  std::istringstream lines(run.err.substr(run.err.find(heading) + heading.size()));
  for (std::string line; std::getline(lines, line) && line.rfind("dravik:   /", 0)
      == 0;) unread.push_back(line.substr(10));
  const auto saved = Saved(dir / "out");
  std::size_t missing = 0;
  for (const auto& file : test::ReadManifest("fat32")) {
    if (file.deleted || file.size == 0 || saved.count(file.key)) continue;
    ++missing;
    EXPECT_TRUE(std::any_of(unread.begin(), unread.end(), [&](const std::string& folder) {
      return folder == "/" || ("/" + file.path).rfind(folder + "/", 0) == 0;
    })) << file.path << " is missing but in no folder named";
  }
  EXPECT_GT(missing, 0u) << "the cut took no listing";
}

void Zero(const fs::path& i, std::uint64_t at, std::size_t n) { test::PatchFile(i, at, std::vector<std::uint8_t>(n)); }

std::uint64_t BigEndian(const fs::path& file, std::uint64_t at, std::size_t bytes) {
  return test::GetInt(test::BytesAt(file, at, bytes), 0, bytes, true);
}

// The 1 MiB blocks of the image's disk that read once its lost blocks are placed; each one that reads must read as
// the intact raw disk holds it (a block placed where it does not belong reads otherwise).
std::size_t BlocksReadAsIntact(const fs::path& image, const fs::path& intact) {
  VirtualDisk disk;
  EXPECT_TRUE(OpenImage(disk, image, true).Usable());
  PlaceLostBlocks(disk);
  const std::vector<std::uint8_t> truth = test::ReadFileBytes(intact);
  EXPECT_EQ(disk.Size(), truth.size());
  constexpr std::size_t kBlock = std::size_t{1} << 20;
  std::vector<std::uint8_t> block(kBlock);
  std::size_t read = 0;
  for (std::size_t at = 0; at + kBlock <= std::min<std::size_t>(truth.size(), disk.Size()); at += kBlock) {
    if (!disk.ReadAt(at, block)) continue;
    ++read;
    EXPECT_TRUE(std::equal(block.begin(), block.end(), truth.begin() + static_cast<std::ptrdiff_t>(at)))
        << "the disk's block " << at / kBlock << " does not read as the intact disk holds it";
  }
  return read;
}

// The live files of the WSL ext4 volume, saved byte-exact.
void ExpectWslFilesSaved(const fs::path& dir) {
  const auto sums = test::Sha256Tree(dir);
  for (const test::ExtManifestEntry& entry : test::ReadExtManifest("wsl-manifest")) {
    const auto it = sums.find(entry.path);
    EXPECT_TRUE(it != sums.end() && it->second == entry.sha256) << entry.path;
  }
}

// Swaps the data of the VHDX's disk blocks a and b in the file, so that the file no longer keeps them in disk order.
void SwapVhdxBlocks(const fs::path& image, std::uint64_t a, std::uint64_t b) {
  const std::uint64_t at = test::VhdxBlockFileOffset(image, a), bt = test::VhdxBlockFileOffset(image, b);
  const auto blockA = test::BytesAt(image, at, 1 << 20), blockB = test::BytesAt(image, bt, 1 << 20);
  test::PatchFile(image, at, blockB);
  test::PatchFile(image, bt, blockA);
}

// Broken structures of the NTFS (one FAT32, some ext4) disk, a raw disk: info --json lists the repair, all live files
// come back. Where the intact disk is known, every block placed reads as it holds it.
TEST(SalvageCliTest, FilesComeBackFromImagesWithBrokenStructures) {
  test::TempDir dir;
  const auto vhdEntry = [](const fs::path& image, int present) {  // the file offset of a present BAT entry
    std::uint64_t at = 1536;
    for (int seen = -1; seen < present; at += 4) seen += BigEndian(image, at, 4) != 0xFFFFFFFF;
    return at - 4;
  };
  const auto vhdTable = [](const fs::path& image) {  // the dynamic header: table offset at 16, entry count at 28
    Zero(image, BigEndian(image, 512 + 16, 8), 4 * BigEndian(image, 512 + 28, 4));
  };
  constexpr const char* kPlaced = "placed where the volume inside shows they belong";
  const auto vhdxTable = [](const fs::path& i) { Zero(i, test::VhdxBatOffset(i), 64 * 1024); };
  const struct {
    const char* name; fs::path from; std::function<void(const fs::path&)> damage; std::string repair;
    std::size_t blocksRead = 0;  // for an ext4 image: how many of its 64 blocks read once placed
    bool allFiles = true;        // every live file comes back whole (the save ends with status 0)
  } rows[] = {
      {"vhdx entries", test::NtfsFixture("ntfs.vhdx"), [](const auto& i) {  // entry 1 zeroed, 6 no entry
         Zero(i, test::VhdxBatOffset(i) + 8, 8);
         test::PatchFile(i, test::VhdxBatOffset(i) + 48, {0xBE, 0xBA, 0xFE, 0xCA, 0xEF, 0xBE, 0xAD, 0xDE});
       },
       "1 entries hold no valid state, 2 blocks in the file are named by no entry\",\"action\":\"2 blocks placed where "
       "the order of their neighbours puts them"},
      {"vhdx table", test::NtfsFixture("ntfs.vhdx"), vhdxTable, kPlaced},
      {"vhd footers", test::NtfsFixture("ntfs.vhd"),
          [](const auto& i) { Zero(i, 0, 512), Zero(i, fs::file_size(i) - 512, 512); },
       R"("problem":"missing at the end and at offset 0","action":"the dynamic header at 512 used)"},
      {"vhd block size", test::NtfsFixture("ntfs.vhd"),
          [](const auto& i) { test::PatchFile(i, 512 + 32, {0, 0x30, 0, 0}); },
       R"("problem":"implausible: 3145728","action":"2097152 inferred from the spacing of the table's blocks")"},
      {"vhd entry", test::NtfsFixture("ntfs.vhd"), [&](const auto& i) { Zero(i, vhdEntry(i, 1), 4); },
       R"("problem":"1 entries point outside the block data, 1 blocks in the file are named by no entry")"},
      {"vhd table", test::NtfsFixture("ntfs.vhd"), vhdTable, kPlaced},
      {"fat32 vhd table", test::FatFixture("fat32.vhd"), vhdTable, kPlaced},
      // The 4 blocks that stay lost were all zeros (the journal), never stored; the 36 free ones read as zeros.
      {"ext4 vhdx table", test::ExtFixture("wsl-ext4.vhdx"), vhdxTable, kPlaced, 60},
      // Out of order in the file, what names its place is placed: the first block (its superblock), the folders'
      // block, the superblock copies of groups 1 and 3, the journal's superblock with group 2's bitmap; and the 5
      // blocks after group 1's copy, as many as its bitmap holds before the journal. Nothing else.
      {"ext4 vhdx table, out of order", test::ExtFixture("wsl-ext4.vhdx"),
          [&](const auto& i) { SwapVhdxBlocks(i, 5, 14), vhdxTable(i); }, kPlaced, 10, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto image = dir / (std::string(row.name) + row.from.extension().string());
    fs::copy_file(row.from, image);
    row.damage(image);
    const std::string sum = test::Sha256Bytes(test::ReadFileBytes(image));
    const auto info = RunCli("info --json --quiet " + Quote(image));
    EXPECT_TRUE(Has(info.out, row.repair)) << info.out;
    EXPECT_TRUE(&row != rows
        || Has(RunCli("info " + Quote(image)).out, "Repairs\t\t\t: (in memory only; the image is not changed)\n  "));
    const auto out = dir / (std::string(row.name) + ".out");
    EXPECT_EQ(Recover(Quote(image), out).status, row.allFiles ? 0 : 1);
    if (row.blocksRead != 0) {
      EXPECT_EQ(BlocksReadAsIntact(image, test::ExtFixture("wsl-ext4.raw")), row.blocksRead);
      if (row.allFiles) ExpectWslFilesSaved(out);
    } else if (row.from.filename() == "fat32.vhd") {
      ExpectManifestSaved(out, "fat32");
    } else {
      const auto sums = test::Sha256Tree(out);
      std::map<std::uint32_t, bool> found;  // a record is saved under one of its names
      for (const auto& e : test::ReadNtfsManifest("live.manifest")) {
        const auto it = sums.find(e.path);
        found[e.record] |= it != sums.end();
        EXPECT_TRUE(it == sums.end() || it->second == e.sha256) << e.path;
      }
      for (const auto& [record, ok] : found) EXPECT_TRUE(ok) << "record " << record << " was not recovered";
    }
    EXPECT_EQ(test::Sha256Bytes(test::ReadFileBytes(image)), sum) << "the image was written";
  }
}

}  // namespace
}  // namespace dravik
