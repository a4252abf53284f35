// The dravik command's front end: each option case a row (exit status; its text on stdout, or for a failure on stderr
// with stdout empty; its JSON's shape), then one run of info, cat, partitions and params against their oracles.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "CliRun.h"
#include "ExtensiveFixtures.h"
#include "FatFixtures.h"
#include "NtfsFixtures.h"
#include "PartitionFixtures.h"
#include "VhdWriter.h"
#include "fs/extensive/ExtensiveTexts.h"
#include "snapshot/SnapshotTexts.h"

namespace dravik {
namespace {

namespace fs = std::filesystem;
using test::Has;
using test::Quote;
using test::RunCli;
using test::RunShell;

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
      {"info {dir}/missing.vhd", 1, "{dir}/missing.vhd file does not exists.\n"},
      {"info {dir}/broken.vhdx", 1, "dravik: {dir}/broken.vhdx: not a VHDX image: no VHDX structure was found"},
      {"info {dir}/pipe.vhdx", 1, "{dir}/pipe.vhdx: cannot be opened: it is a FIFO (named pipe), not an image file\n"},
      {"scan quick {dir}/pipe.vhdx", 1, "it is a FIFO (named pipe)"}, {"cat", 2, "cat takes one IMAGE"},
      {"cat {dir}/missing.vhd", 1, "missing.vhd file does not exists."},
      {"cat --length", 2, "option --length needs a value"},
      {"cat --offset -5 a.vhd", 2, "--offset needs a byte count, not '-5'"},
      {"cat --length 12x a.vhd", 2, "--length needs a byte count, not '12x'"},
      {"cat --offset 0x10000000 --length 512 {1m}", 1, "dravik: cannot read 512 bytes at virtual offset 268435456"},
      {"partitions", 2, "partitions takes one IMAGE"},
      {"partitions {dir}/missing.vhd", 1, "missing.vhd file does not exists."},
      {"partitions --quiet --search {fat}", 0, "Partition 0: FAT16, start 2048, 129024 sectors, end 131071, 63 MB"},
      {"partitions --search --no-search {fat}", 2, "--search and --no-search exclude each other"},
      {"partitions --quiet --no-search {sparse}", 0, "No FAT16, FAT32 or NTFS partition was found.\n"},
      {"partitions --quiet {sparse}", 0, "Partition 0: "},
      {"partitions --quiet --as-raw {fat}", 0, "No FAT16, FAT32 or NTFS partition was found.\n"},
      {"params {fat}", 2, "--partition N is required"},
      {"params --partition 9 {fat}", 1, "there is no partition 9; the disk has 1 (see 'dravik partitions')"},
      {"scan", 2, "scan takes the mode 'quick', 'extensive' or 'trace' and one IMAGE"},
      {"scan quick {fat} --bogus", 2, "unknown option --bogus"},
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
    EXPECT_TRUE(row.py.empty() || test::Py(run.out, row.py) == "True\n") << run.out;
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
  EXPECT_TRUE(Has(RunCli("info " + Quote(test::Fixture("vhdx-10g.vhdx"))).out,
      "Log\t\t\t: clean (nothing to replay)\n"));
  for (const char* name : {"vhdx-dynamic-32m.vhdx", "vhd-dynamic.vhd"}) {
    const auto image = test::Fixture(name);
    const test::QemuImgInfo qemu = test::QemuInfo(image);
    EXPECT_EQ(test::Py(RunCli("info --json " + Quote(image)).out, "s = lambda k: isinstance(d[k], str)\n"
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

TEST(CliPartitionsTest, JsonListsTheLayoutAndParamsItsShapeTextAndWhy) {
  std::string expected;
  for (const auto& e : test::ListedEntries(test::ReadLayout("extended")))
    expected += std::to_string(e.start) + " " + std::to_string(e.sectors) + " " + std::to_string(e.code) + "\n";
  const auto listed = RunCli("partitions --quiet --json " + Quote(test::PartitionFixture("extended.vhdx")));
  ASSERT_EQ(listed.status, 0);
  EXPECT_EQ(test::Py(listed.out, "for i, p in enumerate(d['partitions']):\n"
                                 "    assert p['index'] == i and isinstance(p['type'], str), p\n"
                                 "    print(p['start'], p['sectors'], p['code'])\n"),
            expected);
  const auto layout = test::ListedEntries(test::ReadLayout("mbr"));
  const auto image = Quote(test::PartitionFixture("mbr.vhdx"));
  // The values are the engine's (BootSectorTest holds them against fsstat): here the JSON's shape.
  const auto json = RunCli("params --quiet --json --partition 0 " + image);
  EXPECT_EQ(test::Py(json.out, "assert isinstance(d.pop('type'), str) and all(isinstance(v, int) for v in d.values())\n"
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

}  // namespace
}  // namespace dravik
