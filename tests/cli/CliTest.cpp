// The dravik command: each verb and option against its oracle; scan quick's listings and saves against the manifests
// and tools, saves that are not whole, broken images.

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "Bytes.h"
#include "ChainWriter.h"
#include "ExtFixtures.h"
#include "ExtensiveFixtures.h"
#include "FatFixtures.h"
#include "NtfsFixtures.h"
#include "Oracles.h"
#include "PartitionFixtures.h"
#include "SaveFixtures.h"
#include "TestFiles.h"
#include "fs/LostBlockPlacement.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "snapshot/SnapshotTexts.h"
#include "vdisk/VirtualDisk.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Quote;
using test::RunShell;

// Runs the dravik under test (under timeout: a hang fails) after prefix (another user, say); stdout, stderr apart.
struct CliRun { int status = -1; std::string out, err; };
CliRun RunCli(const std::string& args, const std::string& prefix = "") {
  test::TempDir dir;
  const auto run = RunShell("timeout 120 " + prefix + Quote(test::CliPath()) + " " + args + " 2>" + Quote(dir / "err"));
  const auto err = test::ReadFileBytes(dir / "err");
  return {run.status, run.out, {err.begin(), err.end()}};
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::size_t Lines(const std::string& text, const std::string& part) {  // how often part is in text
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

// What script prints of json (read by Python's json module as d), or "invalid: ..." when it fails.
std::string Py(const std::string& json, const std::string& script) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "in.json", {json.begin(), json.end()});
  const auto run = RunShell("python3 -c " + Quote("import json, sys\nd = json.load(open(sys.argv[1]))\n" + script) +
                            " " + Quote(dir / "in.json") + " 2>&1");
  return run.status == 0 ? run.out : "invalid: " + run.out;
}

std::string Fill(std::string text, const std::map<std::string, std::string>& names) {
  for (const auto& [name, value] : names)
    for (std::size_t at; (at = text.find("{" + name + "}")) != std::string::npos;) text.replace(at, name.size() + 2,
        value);
  return text;
}

TEST(CliOptionsTest, EachCaseExitsWithItsStatusAndSaysWhy) {
  test::TempDir dir;
  test::WriteFileBytes(dir / "broken.vhdx", std::vector<std::uint8_t>(4096, 0));
  std::filesystem::copy_file(dir / "broken.vhdx", dir / "zeros.dvsf");
  ASSERT_EQ(::mkfifo((dir / "pipe.vhdx").c_str(), 0600), 0);
  test::WriteFileBytes(dir / "plain", {'k'});
  fs::create_symlink(dir / "gone" / "target", dir / "dangling");
  fs::create_symlink("loop", dir / "loop");
  const auto ntfs = Quote(test::NtfsFixture("ntfs.vhdx"));
  ASSERT_EQ(RunCli("scan quick --quiet --save-snapshot " + Quote(dir / "kept.dvsf") + " " + ntfs).status, 0);
  const auto kept = test::ReadFileBytes(dir / "kept.dvsf");
  test::WriteFileBytes(dir / "cut.dvsf", {kept.begin(), kept.begin() + static_cast<long>(kept.size() / 2)});
  const std::map<std::string, std::string> names = {
      {"fat", Quote(test::FatFixture("fat16.vhd"))}, {"twin", Quote(test::ExtensiveFixture("twin.vhd"))},
      {"trace", Quote(test::FixtureIn("trace", "trace.vhdx"))}, {"dir", dir.Path().string()},
      {"sparse", Quote(test::PartitionFixture("sparse-64g.vhdx"))},
          {"1m", Quote(test::Fixture("vhdx-dynamic-1m.vhdx"))},
      {"ntfs", ntfs}};
  // text: on stdout when the status is 0, else on stderr; py: prints True of the JSON.
  const struct { std::string args; int status; std::string text, py = ""; } rows[] = {
      {"", 2, "dravik: no verb given"}, {"frobnicate x.vhd", 2, "unknown verb 'frobnicate'"}, {"--help", 0, "Verbs:"},
      {"info --help", 0, "--json"}, {"cat -h", 0, "--offset BYTES"}, {"partitions --help", 0, "--no-search"},
      {"params --help", 0, "--partition N"}, {"scan --help", 0, "--save-snapshot FILE"},
      {"snapshot --help", 0, "--info"}, {"types --help", 0, "Usage: dravik types"}, {"info", 2, "info takes one IMAGE"},
      {"info --bogus a.vhd", 2, "unknown option --bogus"}, {"info -x a.vhd", 2, "unknown option -x"},
      {"info --json=yes a.vhd", 2, "option --json takes no value"},
      {"info {dir}/broken.vhdx", 1, "dravik: {dir}/broken.vhdx: not a VHDX image: no VHDX structure was found"},
      {"scan quick {dir}/pipe.vhdx", 1, "it is a FIFO (named pipe)"}, {"cat", 2, "cat takes one IMAGE"},
      {"cat {dir}/missing.vhd", 1, "missing.vhd file does not exists."},
      {"cat --length", 2, "option --length needs a value"},
      {"cat --offset -5 a.vhd", 2, "--offset needs a byte count, not '-5'"},
      {"cat --length 12x a.vhd", 2, "--length needs a byte count, not '12x'"},
      {"cat --offset 0x10000000 --length 512 {1m}", 1, "dravik: cannot read 512 bytes at virtual offset 268435456"},
      {"partitions", 2, "partitions takes one IMAGE"},
      {"partitions --quiet --search {fat}", 0, "Partition 0: FAT16, start 2048, 129024 sectors, end 131071, 63 MB"},
      {"partitions --search --no-search {fat}", 2, "--search and --no-search exclude each other"},
      {"partitions --quiet --no-search {sparse}", 0, "No FAT16, FAT32 or NTFS partition was found.\n"},
      {"partitions --quiet {sparse}", 0, "Partition 0: "},
      {"partitions --quiet --as-raw {fat}", 0, "No FAT16, FAT32 or NTFS partition was found.\n"},
      {"params {fat}", 2, "--partition N is required"},
      {"params --partition 9 {fat}", 1, "there is no partition 9; the disk has 1 (see 'dravik partitions')"},
      {"scan", 2, "scan takes the mode 'quick', 'extensive' or 'trace' and one IMAGE"},
      {"scan quick {fat} --list --json", 2, "--list and --json exclude each other"},
      {"scan quick {fat} --select Docs", 2, "--select needs --recover DIR"},
      {"scan quick {fat} --report r.json", 2, "--report needs --recover DIR"},
      {"scan quick {fat} --recover {dir}/x --deleted maybe", 2, "--deleted takes include, only or exclude"},
      {"scan quick {fat} --recover {dir}/x --duplicates sometimes", 2, "--duplicates takes rename, overwrite or skip"},
      {"scan quick {fat} --filter " + std::string(20, 'a'), 2, "--filter " + std::string(20, 'a') + ": "},
      {"scan quick --quiet --list {fat} --filter " + std::string(19, 'a'), 0, ""},
      {"scan quick {fat} --partition x", 2, "--partition needs a number"},
      {"scan quick --quiet {fat} --partition 3", 1, "there is no partition 3; the disk has 1"},
      {"scan quick --quiet --as-raw {fat}", 1, "there is no partition 0; the disk has 0"},
      // A destination that cannot be made ends the save at once, naming the level that cannot be made.
      {"scan quick --quiet {fat} --recover {dir}/plain", 1, "dravik: cannot save into {dir}/plain: Not a directory\n"},
      {"scan quick --quiet {fat} --recover {dir}/plain/sub", 1,
          "cannot save into {dir}/plain/sub: cannot make the folder {dir}/plain: Not a directory\n"},
      {"scan quick --quiet {fat} --recover {dir}/dangling", 1, "{dir}/dangling: No such file or directory\n"},
      {"scan quick --quiet {fat} --recover {dir}/loop", 1, "{dir}/loop: Too many levels of symbolic links\n"},
      {"scan quick {fat} --replace", 2, "--replace needs --save-snapshot FILE"},
      {"scan quick {fat} --fs fat32", 2, "--fs belongs to 'scan extensive'"},
      {"scan quick {fat} --types .png", 2, "--types belongs to 'scan trace'"},
      {"scan quick --quiet {fat} --save-snapshot {dir}/no/s", 1,
          "cannot save the snapshot into {dir}/no: no such folder"},
      {"scan extensive {twin}", 2, "scan extensive needs --fs ntfs, --fs fat32, --fs fat16 or --fs ext4"},
      {"scan extensive --fs fat32 --partition 1 {twin}", 2, "--partition belongs to 'scan quick'"},
      {"scan extensive --fs fat32 --pick 0 {twin}", 2, "--pick needs a number from 1"},
      {"scan extensive --fs fat32 --recover {dir}/x {twin}", 2, "--list, --filter and --recover need --pick K"},
      {"scan extensive --fs fat32 --save-snapshot {dir}/s {twin}", 2, "it needs --pick K"},
      {"scan extensive --fs fat16 --start x1 {twin}", 2, std::string(ExtensiveTexts::kStartNotValid) + "\n"},
      {"scan extensive --fs fat16 --start 100 --end 50 {twin}", 2, std::string(ExtensiveTexts::kEndNotBigger) + "\n"},
      {"scan extensive --fs fat16 --quiet --end 2000 {twin}", 1, std::string(ExtensiveTexts::kNoneFoundMessage) + "\n"},
      {"scan extensive --fs fat32 --quiet --pick 3 {twin}", 1, "there is no file system 3; the search found 2"},
      {"scan trace {trace}", 2, "scan trace needs --types .EXT[,.EXT...]"},
      {"scan trace --types .nosuch {trace}", 2, "--types: .nosuch is not in the catalogue"},
      {"scan trace --types .png --size 51 {trace}", 2, "--size takes 1 to 50 (mebibytes)"},
      {"scan trace --types .png --whole-disk --partition 0 {trace}", 2,
          "--whole-disk and --partition exclude each other"},
      {"scan trace --quiet --types .png --partition 7 {trace}", 1, "there is no partition 7"},
      {"scan trace --quiet --json --types .png {trace}", 0, "",
          "print(len(d['items']) > 0 and all(o.keys() == {'kind', "
       "'path', 'name', 'firstSector', 'id'} and o['path'].endswith(o['name']) for o in d['items']))"},
      {"types", 0, "Graphics Files\t.png\tPNG Image\t89504E470D0A1A0A\n"},
      {"types --json", 0, "", "print(d['types'][9].keys() == {'category', 'extension', 'typeName', 'signature'})"},
      {"types extra", 2, "types takes no arguments"},
      {"snapshot", 2, "snapshot takes FILE.dvsf, or IMAGE and FILE.dvsf"},
      {"snapshot --size 0 x.dvsf", 2, "--size takes 1 to 50"},
      {"snapshot {dir}/none", 1, "{dir}/none.dvsf" + std::string(SnapshotTexts::kDoesNotExist) + "\n"},
      {"snapshot {dir}/zeros.dvsf", 1, std::string(SnapshotTexts::kInvalidSnapshot) + "\n"},
      {"snapshot --list {dir}/cut.dvsf", 1, std::string(SnapshotTexts::kMismatch) + "\n"},
      {"scan quick --quiet --save-snapshot {dir}/kept {fat}", 1, "kept.dvsf already exists (--replace writes over it)"},
      {"snapshot --quiet --recover {dir}/x {dir}/kept", 2,
          "--recover reads the files from the image: give IMAGE before"},
      {"snapshot --quiet --recover {dir}/x {twin} {dir}/kept", 1, "not the image the snapshot was made of"},
      {"scan quick --quiet --replace --save-snapshot {dir}/kept {ntfs}", 0, ""},
  };
  for (const auto& row : rows) {
    const std::string args = Fill(row.args, names), text = Fill(row.text, names);
    SCOPED_TRACE(args);
    const auto run = RunCli(args);
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_TRUE(Has(row.status == 0 ? run.out : run.err, text)) << run.out << run.err;
    EXPECT_TRUE(row.status == 0 || run.out.empty()) << run.out;
    EXPECT_TRUE(row.py.empty() || Py(run.out, row.py) == "True\n") << run.out;
  }
  EXPECT_EQ(test::ReadFileBytes(dir / "kept.dvsf"), kept) << "a snapshot is not written over without --replace";
  EXPECT_FALSE(fs::exists(dir / "x") || fs::exists(dir / "gone")) << "nothing is saved on wrong usage";
}

// Root reads any file, so the command runs as nobody when the test runs as root.
TEST(CliOptionsTest, AnUnreadableImageSaysPermissionDenied) {
  test::TempDir dir;
  fs::permissions(dir.Path(), fs::perms::owner_all | fs::perms::others_exec);
  const auto image = dir / "locked.vhdx";
  fs::copy_file(test::Fixture("vhdx-dynamic.vhdx"), image);
  fs::permissions(image, fs::perms::none);
  const std::string as = ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
  if (!as.empty() && RunShell(as + "test -x " + Quote(test::CliPath()) + " 2>/dev/null").status != 0)
    GTEST_SKIP() << "cannot run dravik as the unprivileged user 65534";
  const auto run = RunCli("info " + Quote(image), as);
  EXPECT_EQ(std::pair(run.status, run.err), std::pair(1, image.string() + ": cannot be opened: Permission denied\n"));
}

// A VHD's capacity is its footer's geometry (qemu-img's 988 x 5 x 17 for this size).
TEST(CliInfoTest, TextAndJsonOfAVhdAndAVhdxAgreeWithQemuImg) {
  const auto vhd = RunCli("info " + Quote(test::Fixture("vhd-dynamic.vhd")));
  EXPECT_TRUE(Has(vhd.out, "Format\t\t\t: VHD\nModel\t\t\t: Virtual Hard Disk\nCapacity\t\t: 41 MB (Approx)\n"
                           "Cylinders\t\t: 988\nHead\t\t\t: 5\nSectors Per Track\t: 17\n")) << vhd.out;
  for (const char* name : {"vhdx-dynamic-32m.vhdx", "vhd-dynamic.vhd"}) {
    const auto image = test::Fixture(name);
    const test::QemuImgInfo qemu = test::QemuInfo(image);
    EXPECT_EQ(Py(RunCli("info --json " + Quote(image)).out, "s = lambda k: isinstance(d[k], str)\n"
                                 "assert all(map(s, ['model', 'capacity', 'format', 'diskType']))\n"
                                 "assert all(isinstance(d[k], list) for k in ['chain', 'warnings', 'repairs', "
                                 "'partitions'])\n"
                                 "print(d['virtualSize'], d['blockSize'])\n"),
              std::to_string(qemu.virtualSize) + " " + std::to_string(qemu.clusterSize) + "\n");
  }
}

// sendfile takes pipes, files, /dev/null, not appending files: each gets qemu-img's bytes, absent blocks, a range.
TEST(CliCatTest, EveryKindOfStandardOutputGetsTheDisksBytes) {
  test::TempDir dir;
  const auto out = Quote(dir / "out.raw");
  for (const char* name : {"vhdx-dynamic-1m.vhdx", "vhd-dynamic.vhd", "vhd-fixed.vhd"}) {
    const auto image = test::Fixture(name);
    const std::string cat = test::Dravik("cat " + Quote(image)), raw = Quote(image.string() + ".raw");
    for (const std::string& shell :
         {cat + " > " + out + " && cmp " + out + " " + raw, cat + " | cmp - " + raw,
          "echo -n x > " + out + " && " + cat + " >> " + out + " && tail -c +2 " + out + " | cmp - " + raw,
          cat + " > /dev/null",
          "bash -c " + Quote(test::Dravik("cat --offset 3145728 --length 7340033 " + Quote(image)) +
                             " | cmp - <(tail -c +3145729 " + raw + " | head -c 7340033)")})
      EXPECT_EQ(RunShell(shell).status, 0) << name << ": " << shell;
  }
  // A fixed VHD whose footer claims more than the file holds: its data, then the failure.
  fs::copy_file(test::Fixture("vhd-fixed.vhd"), dir / "claims.vhd");
  test::SetVhdCurrentSize(dir / "claims.vhd", 1ULL << 40);
  const auto claims = RunCli("cat " + Quote(dir / "claims.vhd") + " >" + out);
  EXPECT_TRUE(claims.status == 1 && Has(claims.err, "dravik: cannot read ")) << claims.err;
  EXPECT_EQ(RunShell("cmp " + out + " " + Quote(test::Fixture("vhd-fixed.vhd").string() + ".raw")).status, 0);
  const auto image = Quote(test::Fixture("vhdx-dynamic.vhdx"));
  const auto full = RunCli("cat " + image + " >/dev/full");
  EXPECT_EQ(std::pair(full.status, full.err), std::pair(1, std::string("dravik: cannot write to standard output: No "
                                                                        "space left on device\n")));
  EXPECT_TRUE(Has(RunCli("cat " + image + " >&-").err, "cannot write to standard output: Bad file descriptor"));
}

TEST(CliParamsTest, JsonShapeTextAndWhy) {
  const auto layout = test::ListedEntries(test::ReadLayout("mbr"));
  const auto image = Quote(test::PartitionFixture("mbr.vhdx"));
  // The values are the engine's (the container matrix holds them against fsstat): here the JSON's shape.
  const auto json = RunCli("params --quiet --json --partition 0 " + image);
  EXPECT_EQ(Py(json.out, "assert isinstance(d.pop('type'), str) and all(isinstance(v, int) for v in d.values())\n"
                               "print(len(d), d['fsType'], d['partitionSectors'], d['lastSector'])\n"),
            "16 " + std::to_string(layout[0].code) + " " + std::to_string(layout[0].sectors) + " " +
                std::to_string(layout[0].start + layout[0].sectors - 1) + "\n");
  const auto text = RunCli("params --quiet --partition 0 " + image);
  EXPECT_TRUE(Has(text.out, "Partition Start       : " + std::to_string(layout[0].start) + "\n")) << text.out;
  // A lost FAT16 boot sector: the parameters are calculated; --verbose says why.
  test::DiskCopy copy("mbr");
  copy.ZeroSector(layout[0].start);
  const auto lost = Quote(copy.Wrapped("vhdx"));
  const auto calculated = RunCli("params --quiet --partition 0 " + lost);
  EXPECT_TRUE(Has(calculated.out, "File System          : FAT16\n")) << calculated.out;
  const std::string why = "dravik: sector " + std::to_string(layout[0].start) + ": no boot sector";
  EXPECT_TRUE(!Has(calculated.err, why) && Has(RunCli("params --quiet --verbose --partition 0 " + lost).err, why));
}

TEST(ExtensiveCliTest, ListsTheVolumesFoundAndRecoversAPickedOne) {
  const auto truth = test::ReadTruth("twin");
  const auto twin = Quote(test::ExtensiveFixture("twin.vhd"));
  const auto text = RunShell(test::Dravik("scan extensive --fs fat32 --quiet " + twin) + " | cut -f 1-3");
  const auto json = RunCli("scan extensive --fs fat32 --quiet --json " + twin);
  std::string lines, items;
  for (std::size_t i = 0; i < truth.size(); ++i) {
    const std::string at = std::to_string(i + 1) + "\t" + truth[i].type + " @ " + std::to_string(truth[i].clusterBase);
    lines += at + "\t" + std::to_string(truth[i].sectorsPerCluster * 512) + " bytes per cluster\n";
    items += at + "\t" + std::to_string(truth[i].sectorsPerCluster) + "\n";
  }
  EXPECT_EQ(text.out, lines);
  EXPECT_EQ(Py(json.out, "for o in d['fileSystems']:\n    assert o['end'] > o['start'], o\n"
                               "    print(o['index'], o['type'] + ' @ ' + str(o['start']), o['sectorsPerCluster'], "
                               "sep='\\t')\n"),
            items);
  // The FAT32 volume of twin has lost its boot sectors; searched from its start.
  test::TempDir dir;
  const auto saved = RunCli("scan extensive --fs fat32 --quiet --start " + std::to_string(truth[1].start) +
                            " --pick 1 --recover " + Quote(dir / "out") + " " + twin);
  EXPECT_EQ(saved.status, 0) << saved.err;
  EXPECT_EQ(test::Sha256Tree(dir / "out"), test::VolumeFiles("twin", 2));
  // $MFTMirr holds copies of the first four records; each file is one item.
  const auto ntfs = RunCli("scan extensive --quiet --fs ntfs --pick 1 --list " + Quote(test::NtfsFixture("ntfs.vhdx")));
  std::map<std::string, int> paths;
  std::istringstream list(ntfs.out);
  for (std::string line; std::getline(list, line);) ++paths[line.substr(line.rfind('\t') + 1)];
  for (const auto& [path, count] : paths) EXPECT_EQ(count, 1) << path;
  EXPECT_EQ(paths["$MFTMirr"], 1);
}

TEST(ExtensiveCliTest, VerboseNamesWhyABootSectorWasSetAside) {
  const std::uint64_t fat = test::FatStart("fat16-32k"), ntfs = test::NtfsStart();
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
  const auto made = RunShell(
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
  for (const auto& [path, sha] : test::Sha256Tree(dir / "out"))
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
    EXPECT_EQ(test::Sha256File(carved), f.sha256) << "every format traced here records its end";
  }
  // The whole disk holds the icon before the partition too: found first, saved whole (or untrimmed).
  const auto whole = RunCli("scan trace --quiet --whole-disk --list --types .png,.ico " + image);
  EXPECT_EQ(whole.out.rfind("file\t" + std::to_string(early.sector) + "\tWindows Icon/.ico/1.ico\n", 0), 0u)
      << whole.out;
  const std::string ico = "scan trace --quiet --whole-disk --types .ico --select 1.ico --recover ";
  EXPECT_EQ(RunCli(ico + Quote(dir / "ico") + " " + image).status, 0);
  EXPECT_EQ(test::Sha256File(dir / "ico" / "1.ico"), early.sha256);
  EXPECT_EQ(RunCli(ico + Quote(dir / "full") + " --no-trim --size 1 " + image).status, 0);
  EXPECT_EQ(fs::file_size(dir / "full" / "1.ico"), 1048576u);
}

// text.tar holds picture.png behind its header: two hits left out and counted unless asked for.
TEST(TraceCliTest, TheTreeAndTheHitsInsideAFoundFile) {
  const std::string image = Quote(test::FixtureIn("trace", "trace.vhdx"));
  const auto left = RunCli("scan trace --list --types .tar,.png " + image);
  const auto every = RunCli("scan trace --quiet --list --keep-inner-hits --types .tar,.png " + image);
  ASSERT_EQ(left.status, 0);
  EXPECT_EQ(Lines(every.out, "\n"), Lines(left.out, "\n") + 2);
  EXPECT_TRUE(Has(left.err, " hits found, 2 of them inside a file found before them and not listed\n")) << left.err;
  const auto tree = RunCli("scan trace --quiet --types .png " + image);
  EXPECT_EQ(tree.out.rfind("Root/\n  PNG Image/\n    .png/\n      1.png  (sector ", 0), 0u) << tree.out;
}

// A result kept with --save-snapshot lists and saves (files and times) as the scan did.
void ExpectSnapshotActsAsTheScan(const std::string& scan, const fs::path& image, const fs::path& dir) {
  const std::string snapshot = Quote(dir / "kept");
  const auto listed = RunCli(scan + " --quiet --list --save-snapshot " + snapshot + " " + Quote(image));
  ASSERT_EQ(listed.status, 0);
  EXPECT_EQ(RunCli("snapshot --quiet --list " + snapshot).out, listed.out);
  ASSERT_EQ(RunCli(scan + " --quiet --recover " + Quote(dir / "scan") + " " + Quote(image)).status, 0);
  ASSERT_EQ(RunCli("snapshot --quiet --recover " + Quote(dir / "snap") + " " + Quote(image) + " " + snapshot).status,
      0);
  const auto times = [](const fs::path& at) {
    return RunShell("cd " + Quote(at) + " && find . -type f ! -name '*$*' -printf '%P %s %T@\\n' | sort").out;
  };
  EXPECT_EQ(times(dir / "snap"), times(dir / "scan"));
  EXPECT_EQ(test::Sha256Tree(dir / "snap"), test::Sha256Tree(dir / "scan"));
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

std::map<std::string, std::string> Saved(const fs::path& dir) {
  std::map<std::string, std::string> saved;
  for (const auto& [path, sha] : test::Sha256Tree(dir)) saved[test::CanonicalSavedPath(path)] = sha;
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
  const std::string counts = Py(json.out,
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
  EXPECT_EQ(test::Sha256Tree(dir / "a"), (std::map<std::string, std::string>{{deeper, sha[deeper]}}));
  Recover(image, dir / "b", "--select /Docs/Report.txt --select 'Docs/日本.txt' --select README.TXT");
  EXPECT_EQ(test::Sha256Tree(dir / "b"), (std::map<std::string, std::string>{{"Report.txt", sha["Docs/Report.txt"]},
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
  EXPECT_EQ(Py(lost.out, "for i, p in enumerate(d['partitions']):\n"
                               "    assert p['index'] == i and isinstance(p['type'], str), p\n"
                               "    print(p['start'])\n"),
            std::to_string(mmls[0].start) + "\n" + std::to_string(mmls[1].start) + "\n");
  EXPECT_EQ(ListedFiles(LargeFixture("lost.vhdx"), 1), FlsFiles(mmls.at(1).start));
}

TEST(ScanCliTest, AVolumeWithNoFileToSaveIsNoSuccess) {
  test::TempDir dir;
  const auto made = RunShell("cd " + Quote(dir.Path()) + " && truncate -s 8M e.raw && mkfs.fat -F 16 -s 1 e.raw "
                                   ">/dev/null && qemu-img convert -f raw -O vpc e.raw e.vhd 2>&1");
  ASSERT_EQ(made.status, 0) << made.out;
  const auto empty = Recover(Quote(dir / "e.vhd"), dir / "a");
  EXPECT_TRUE(empty.status == 1 && empty.out == "0 files saved into " + (dir / "a").string() + "\n") << empty.out;
  EXPECT_TRUE(Has(empty.err, "dravik: nothing was saved: there are no files to save\n")) << empty.err;
}

// A tmpfs of the given size ("2m") mounted at a fresh folder, unmounted and removed with the object; without root
// Mounted() is false, Problem() says why.
class SmallTmpfs {
 public:
  SmallTmpfs(const fs::path& at, const std::string& size) : path_(at) {
    fs::create_directories(path_);
    const std::string options = "size=" + size + ",mode=0755";
    if (::mount("tmpfs", path_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0)
      mounted_ = true;
    else
      problem_ = "cannot mount a tmpfs at " + path_.string() + ": " + std::strerror(errno) + " (mounting needs root)";
  }
  ~SmallTmpfs() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;
  bool Mounted() const { return mounted_; }
  const std::string& Problem() const { return problem_; }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
  bool mounted_ = false;
  std::string problem_;
};

// The path of paths a saved relative path stands for, each level equal or shortened faithfully; "" when none fits.
std::string OriginalPath(const std::string& saved, const std::map<std::string, std::string>& paths) {
  const auto savedLevels = test::Split(saved, '/');
  for (const auto& [path, value] : paths) {
    const auto levels = test::Split(path, '/');
    if (levels.size() != savedLevels.size()) continue;
    bool fits = true;
    for (std::size_t i = 0; i < levels.size() && fits; ++i) fits = test::IsFaithfulShortening(savedLevels[i], levels[i]);
    if (fits) return path;
  }
  return "";
}

TEST(RecoverFailureCliTest, AFullDestinationNamesTheFirstFilesAndEndsWithStatusOne) {
  test::TempDir dir;
  SmallTmpfs small(dir / "small", "2m");
  if (!small.Mounted()) GTEST_SKIP() << small.Problem();
  const fs::path dest = small.Path() / "out";
  const auto run = Recover(Quote(test::SaveFixture("fill.vhd")), dest);
  const auto saved = test::Sha256Tree(dest);  // the count is of the files saved whole
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
    const std::string original = OriginalPath(path, manifest);
    EXPECT_TRUE(!original.empty() && sha == manifest.at(original)) << path << " is not a whole file of the disk";
  }
  EXPECT_TRUE(fs::exists(dest / "README.TXT") && test::Sha256Tree(dest / "names").size() == 1u) << "later files fit";
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
  std::istringstream report(Py({bytes.begin(), bytes.end()},
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
    const std::string sum = test::Sha256File(image);
    const auto info = RunCli("info --json --quiet " + Quote(image));
    EXPECT_TRUE(Has(info.out, row.repair)) << info.out;
    EXPECT_TRUE(&row != rows
        || Has(RunCli("info " + Quote(image)).out, "Repairs\t\t\t: (in memory only; the image is not changed)\n  "));
    const auto out = dir / (std::string(row.name) + ".out");
    EXPECT_EQ(Recover(Quote(image), out).status, row.allFiles ? 0 : 1);
    const auto sums = test::Sha256Tree(out);
    if (row.blocksRead != 0) {
      EXPECT_EQ(BlocksReadAsIntact(image, test::ExtFixture("wsl-ext4.raw")), row.blocksRead);
      for (const test::ExtManifestEntry& e : test::ReadExtManifest("wsl-manifest"))
        EXPECT_TRUE(!row.allFiles || (sums.count(e.path) && sums.at(e.path) == e.sha256)) << e.path;
    } else if (row.from.filename() == "fat32.vhd") {
      ExpectManifestSaved(out, "fat32");
    } else {
      std::map<std::uint32_t, bool> found;  // a record is saved under one of its names
      for (const auto& e : test::ReadNtfsManifest("live.manifest")) {
        const auto it = sums.find(e.path);
        found[e.record] |= it != sums.end();
        EXPECT_TRUE(it == sums.end() || it->second == e.sha256) << e.path;
      }
      for (const auto& [record, ok] : found) EXPECT_TRUE(ok) << "record " << record << " was not recovered";
    }
    EXPECT_EQ(test::Sha256File(image), sum) << "the image was written";
  }
}

}  // namespace
}  // namespace dravik
